#!/usr/bin/env bash
# The push road, once: starts the content-service and push-service stand-ins on 127.0.0.1, launches the
# app (lunavexa run) with the push server host mapped to the stand-in, a device token and a phone's
# machine name. The launch registers the token (frame 4); a message queued at the push service for that
# token arrives at the app as a remote notification. The app is active when it comes, so the app
# reports it as received while active, not as clicked: a click report of kind 2 (frames 6 and 16) and
# the line "[pnpush success]receive message, but not alarm".
# LV_DEMO_BUILD names a build folder that already holds lunavexa and the two stand-ins (CTest uses
# it); otherwise they are built in build-demo. Exits non-zero when a step does not happen.
set -euo pipefail
cd "$(dirname "$0")/.."

demo_name="push demo"
source scripts/demo-lib.sh
demo_build lunavexa content-service lunavexa-push-service

token=deadbeef0a0b0c0d
content_port=${LV_DEMO_CONTENT_PORT:-18766}

"$build/tools/content-service/content-service" --port "$content_port" >"$work/content.log" 2>&1 &
pids+=($!)
"$build/tools/push-service/lunavexa-push-service" --http-port 0 --frame-port 0 \
  --push "$token:88:1400000100" >"$work/push.log" 2>&1 &
pids+=($!)

wait_for "$work/push.log" "^payload "
(exec 3<>"/dev/tcp/127.0.0.1/$content_port") 2>/dev/null || wait_for "$work/content.log" "."
payload=$(sed -n 's/^payload //p' "$work/push.log")
frame_port=$(sed -n 's/^push service frames on 127.0.0.1://p' "$work/push.log")

# The user's part: once the launch has registered, the pushed message arrives; once its receipt has
# been reported, the app ends.
{
  wait_for "$work/push.log" "frame 4 " || true
  echo "remote-notification $payload"
  wait_for "$work/push.log" "frame 16 " || true
  echo "terminate"
} | "$build/src/app/lunavexa" --home "$work/home" --service "$content_port" \
      --map "push.lunavexa.net=127.0.0.1:$frame_port" --device-token "$token" --machine "iPhone7,2" \
      --network on run 2>"$work/app.log" >/dev/null || true

echo "== push service ==" && grep -E "frame (4|6|16) |payload|queued" "$work/push.log"
echo "== app ==" && grep -E "\[PNPush\]|deviceTokenStr|pnpush success" "$work/app.log"
grep -q "frame 4 " "$work/push.log"
grep -q "frame 6 " "$work/push.log"
grep -q "frame 16 " "$work/push.log"
grep -q "\[PNPush\]register successBlock" "$work/app.log"
grep -qF "[pnpush success]receive message, but not alarm" "$work/app.log"
echo "push demo: registered, pushed, receipt reported"
