#!/usr/bin/env bash
# The analytics road, twice: starts the content-service and analytics log-service stand-ins on
# 127.0.0.1 and runs the app (lunavexa run) through two launches over one home, with the log host
# mapped to the stand-in. The first launch's activation uploads the activation message; the app
# resigns and becomes active again, which uploads the closed session. The second launch uploads the
# session the first one archived at its last resign. Prints what the service decoded from each upload.
# LV_DEMO_BUILD names a build folder that already holds lunavexa and the two stand-ins (CTest uses
# it); otherwise they are built in build-demo. LV_DEMO_KEEP keeps the work folder (logs, home).
# Exits non-zero when an upload does not arrive or the service refuses one.
set -euo pipefail
cd "$(dirname "$0")/.."

demo_name="analytics demo"
source scripts/demo-lib.sh
demo_build lunavexa content-service lv-analytics-service

content_port=${LV_DEMO_CONTENT_PORT:-18767}

"$build/tools/content-service/content-service" --port "$content_port" >"$work/content.log" 2>&1 &
pids+=($!)
"$build/tools/analytics-service/lv-analytics-service" --port 0 >"$work/analytics.log" 2>&1 &
pids+=($!)

wait_for "$work/analytics.log" "^lv-analytics-service on "
(exec 3<>"/dev/tcp/127.0.0.1/$content_port") 2>/dev/null || wait_for "$work/content.log" "."
analytics_port=$(sed -n 's|^lv-analytics-service on http://127.0.0.1:||p' "$work/analytics.log")

# Waits until a file whose name ends in the suffix is in the folder (twenty seconds at most).
wait_for_file() {
  for _ in $(seq 200); do
    compgen -G "$1/*$2" >/dev/null && return 0
    compgen -G "$1/.*$2" >/dev/null && return 0
    sleep 0.1
  done
  echo "analytics demo: no *$2 in $1" >&2
  return 1
}

# One launch of the app fed control lines; "wait N" waits until the service has decoded N uploads,
# "archived" until the app has written its cache archive (the session a resign closes is archived by
# queued work, which a terminate arriving at once would not wait for). Each other line is given half a
# second, so the work it queues runs before the next line.
launch() {
  {
    for line in "$@"; do
      case "$line" in
        wait\ *) wait_for "$work/analytics.log" ": upload " "${line#wait }" || true ;;
        archived) wait_for_file "$work/home/Library/Caches" "_tallyCache.plist" || true ;;
        *) echo "$line"; sleep 0.5 ;;
      esac
    done
    echo "terminate"
  } | "$build/src/app/lunavexa" --home "$work/home" --service "$content_port" \
        --map "tally-log.invalid=127.0.0.1:$analytics_port" --network on run 2>>"$work/app.log" >/dev/null || true
}
# The first activation uploads the activation message; after a resign, the next activation uploads
# the closed session; a last resign archives the open session before the end. The second launch
# uploads that session.
launch "wait 1" resign activate "wait 2" resign archived
launch "wait 3"

echo "== analytics service =="
cat "$work/analytics.log"
[ "$(grep -c ": upload " "$work/analytics.log")" -ge 3 ]
grep -q ": upload .*activat" "$work/analytics.log"
! grep -q -- "-> 400" "$work/analytics.log"
echo "analytics demo: two launches uploaded, the service decoded every upload"
