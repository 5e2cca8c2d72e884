#!/usr/bin/env bash
# The analytics road, twice: starts the content-service and analytics log-service stand-ins on
# 127.0.0.1 and runs the app (lunavexa run) through two launches over one home, with the log host
# mapped to the stand-in. The first launch's activation uploads the activation message; the app
# resigns and becomes active again, which uploads the closed session; its terminate closes the last
# session (the app enters the background and its queued work runs first). The second launch uploads
# that session. Then the analytics probe (the client alone under the headless app, driven by lines)
# shows the same for a page and events, and a fault: a launch with a page, two events and a
# terminate, whose session the next launch uploads with its page and events; that launch records
# three events and dies by SIGSEGV, and the launch after it uploads those events, the crashed session
# and the crash report stamped with the crash's own time. Prints what the service decoded from each
# upload.
# LV_DEMO_BUILD names a build folder that already holds lunavexa, the probe and the two stand-ins
# (CTest uses it); otherwise they are built in build-demo. LV_DEMO_KEEP keeps the work folder (logs,
# home). Exits non-zero when an upload does not arrive, the service refuses one, or one lacks what it
# should carry.
set -euo pipefail
cd "$(dirname "$0")/.."

demo_name="analytics demo"
source scripts/demo-lib.sh
demo_build lunavexa content-service lv-analytics-service lv-analytics-probe

content_port=${LV_DEMO_CONTENT_PORT:-18767}

"$build/tools/content-service/content-service" --port "$content_port" >"$work/content.log" 2>&1 &
pids+=($!)
"$build/tools/analytics-service/lv-analytics-service" --port 0 >"$work/analytics.log" 2>&1 &
pids+=($!)

wait_for "$work/analytics.log" "^lv-analytics-service on "
(exec 3<>"/dev/tcp/127.0.0.1/$content_port") 2>/dev/null || wait_for "$work/content.log" "."
analytics_port=$(sed -n 's|^lv-analytics-service on http://127.0.0.1:||p' "$work/analytics.log")

# One launch of the app fed control lines; "wait N" waits until the service has decoded N uploads.
# Each other line is given half a second, so the work it queues runs before the next line. The last
# line is "terminate": the app enters the background, its queued work (the session end a resign
# queues) and its background tasks finish, then it ends.
launch() {
  {
    for line in "$@"; do
      case "$line" in
        wait\ *) wait_for "$work/analytics.log" ": upload " "${line#wait }" || true ;;
        *) echo "$line"; sleep 0.5 ;;
      esac
    done
    echo "terminate"
  } | "$build/src/app/lunavexa" --home "$work/home" --service "$content_port" \
        --map "tally-log.invalid=127.0.0.1:$analytics_port" --network on run 2>>"$work/app.log" >/dev/null || true
}
# The first activation uploads the activation message; after a resign, the next activation uploads
# the closed session; the terminate closes the open one. The second launch uploads that session.
launch "wait 1" resign activate "wait 2"
launch "wait 3"

# One launch of the probe over its own home: lines as above ("sleep S" waits S seconds); the probe
# ends at "terminate" or by a fault.
probe() {
  {
    for line in "$@"; do
      case "$line" in
        wait\ *) wait_for "$work/analytics.log" ": upload " "${line#wait }" || true ;;
        sleep\ *) sleep "${line#sleep }" ;;
        *) echo "$line"; sleep 0.2 ;;
      esac
    done
  } | "$build/tools/analytics-service/lv-analytics-probe" --home "$work/probe-home" \
        --map "tally-log.invalid=127.0.0.1:$analytics_port" 2>>"$work/probe.log" || true
}
now_ms() { date +%s%3N; }
# A page of a second and more, two events, a terminate: the next launch uploads that session.
probe "wait 4" "page-begin NewsViewController" "sleep 1.2" "page-end NewsViewController" \
  "event newsTab kpop" "event newsTab drama" terminate
# That launch's upload, then three events and a fault.
probe "wait 5" "event newsTab one" "event newsTab two" "event newsTab three" "sleep 0.3" "fault segv"
crashed_by=$(now_ms)
# The next launch uploads the three events, the crashed session and the report.
probe "wait 6" terminate

echo "== analytics service =="
cat "$work/analytics.log"
fail() { echo "analytics demo: $1" >&2; exit 1; }
check() { grep -q -- "$1" "$work/analytics.log" || fail "no upload with $2"; }
[ "$(grep -c ": upload " "$work/analytics.log")" -ge 6 ] || fail "fewer than 6 uploads"
grep -q ": upload .*activat" "$work/analytics.log" || fail "no upload with an activation"
! grep -q -- "-> 400" "$work/analytics.log" || fail "an upload was refused (400)"
# The app's terminated launch: its session reached the service at the next launch.
[ "$(grep -c ": upload .*session of " "$work/analytics.log")" -ge 3 ] || fail "fewer than 3 uploaded sessions"
check "session of [0-9]* ms \[NewsViewController 1000 ms\]; 0 error(s), events \[newsTab, newsTab\]" \
  "the terminated probe launch's session, page and events"
check "events \[newsTab, newsTab, newsTab\]; 1 error(s) (at [0-9]* ms: Application received signal SIGSEGV)" \
  "the crashed probe launch's events and report"
crash_ms=$(sed -n 's/.*1 error(s) (at \([0-9]*\) ms: Application received signal SIGSEGV).*/\1/p' "$work/analytics.log" | head -1)
# The report carries the crash's time: before the probe was seen gone, not at the relaunch.
[ "$crash_ms" -le "$crashed_by" ] || fail "the crash time $crash_ms is after $crashed_by"
echo "analytics demo: every launch's session, page and events uploaded, the crash with its own time"
