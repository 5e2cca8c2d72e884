#!/usr/bin/env bash
# Runs lunavexa many times against the content-service stand-in on 127.0.0.1, a few at a time (a
# launch, then a page command, in a fresh home folder), and fails when any process fails or dies. A fault at exit (a
# worker meeting state that exit destroyed, or a library torn down under it) shows as a signal after
# complete output in a small share of runs, so only many runs catch it.
# In a sanitizer build a run that reports (a leak, a use after exit destroyed something) fails too.
#   scripts/exit-stress.sh [BUILD] [RUNS] [SERVICE_BUILD]
#   defaults: build, $LV_EXIT_STRESS_RUNS or 1000, BUILD (the sanitizer builds have no stand-in program)
# LV_EXIT_STRESS_KEEP=DIR keeps the output of each failed run there.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-${LV_EXIT_STRESS_RUNS:-1000}}
app=$build/src/app/lunavexa
service=${3:-$build}/tools/content-service/content-service

work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$service" --port 0 >"$work/service.log" 2>&1 &
service_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^content-service on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/service.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "exit-stress: the content service did not start" >&2; cat "$work/service.log" >&2; exit 1; }

# One run: in its own home, a first launch, then a page command chosen by the run's number (the second
# process finds the store, settings and registrations the first one left); a failure keeps its output.
run_one() {
  local i=$1 home=$work/home-$1 command
  local pages=("news --cat ent" "chart --site melon" "check-update --site melon" "video --type teach"
               "drama --type tv --ended no")
  for command in launch "${pages[i % ${#pages[@]}]}"; do
    # shellcheck disable=SC2086
    if ! "$app" --home "$home" --service "$port" --bundle bundle $command >"$work/out-$i" 2>&1 ||
       grep -qE "Sanitizer|runtime error" "$work/out-$i"; then
      echo "failed: $command" >>"$work/out-$i"
      mv "$work/out-$i" "$work/failed-$i"
      break
    fi
  done
  rm -rf "$home" "$work/out-$i"
  if [ -n "${LV_EXIT_STRESS_KEEP:-}" ] && [ -e "$work/failed-$i" ]; then cp "$work/failed-$i" "$LV_EXIT_STRESS_KEEP/"; fi
}
export -f run_one
export app port work

start=$(date +%s)
seq "$runs" | xargs -P "$(nproc)" -I{} bash -c 'run_one {}'
seconds=$(( $(date +%s) - start ))
failed=$(find "$work" -name 'failed-*' | wc -l)
for f in $(find "$work" -name 'failed-*' | head -3); do tail -n 20 "$f"; done
echo "exit-stress: $runs runs in ${seconds}s"
echo "$((runs - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
