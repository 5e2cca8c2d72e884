# What the stand-in demos share, sourced after `set -euo pipefail` and the `cd` to the project root:
# the build, a work folder whose background processes end with the script, and the wait for a line.
# demo_name names the demo in failure messages. LV_DEMO_KEEP keeps the work folder (logs, home).

# Sets $build: LV_DEMO_BUILD when it names a build that holds the targets (CTest gives it), otherwise
# build-demo, where the targets are built first.
demo_build() {
  build=${LV_DEMO_BUILD:-}
  if [ -z "$build" ]; then
    echo "Building lunavexa and the stand-ins…" >&2
    cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DLV_BUILD_BENCH=OFF >/dev/null
    cmake --build build-demo -j"$(nproc)" --target "$@" >/dev/null
    build=build-demo
  fi
}

work=$(mktemp -d)
pids=()  # background processes to end at exit
demo_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if [ -n "${LV_DEMO_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap demo_cleanup EXIT

# Waits until the file has at least N (default 1) lines matching the pattern (twenty seconds at most).
wait_for() {
  local count=${3:-1}
  for _ in $(seq 200); do
    [ "$(grep -c -- "$2" "$1" 2>/dev/null || true)" -ge "$count" ] && return 0
    sleep 0.1
  done
  echo "$demo_name: no \"$2\" (×$count) in $1" >&2
  cat "$1" >&2
  return 1
}
