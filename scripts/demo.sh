#!/usr/bin/env bash
# The main job on a fresh Debian machine: installs the missing packages, builds the lunavexa command
# and the content-service stand-in, starts the stand-in with its fixtures on 127.0.0.1, and runs the
# app through a first launch (fresh home folder) and one refresh of every page, printing what the
# screens would show. LV_DEMO_PORT picks the stand-in's port (default 18765); LV_DEMO_HOME keeps the
# home folder somewhere of your choosing (default: a new temporary folder).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config
          libgtest-dev libgmock-dev
          libsqlite3-dev zlib1g-dev libcurl4-openssl-dev libssl-dev libicu-dev
          rapidjson-dev libexpat1-dev libstb-dev libjpeg-dev libasio-dev libcpp-httplib-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "Building lunavexa and the content-service stand-in…" >&2
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DLV_BUILD_BENCH=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target lunavexa content-service >/dev/null

port=${LV_DEMO_PORT:-18765}
home=${LV_DEMO_HOME:-$(mktemp -d)}
service_log=$(mktemp)
build-demo/tools/content-service/content-service --port "$port" >"$service_log" 2>&1 &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  grep -q . "$service_log" 2>/dev/null && break
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

app=(build-demo/src/app/lunavexa --home "$home" --service "$port")
page() {
  echo
  echo "== $* =="
  "${app[@]}" "$@"
}
echo "Home folder: $home" >&2
page launch
page news --cat ent
page news --cat ent  # the second load sends the newest shown time and gets nothing newer
page chart --site melon
page check-update --site melon
page shop --store beauty --type new
page feed --gap hot
page video --type teach
page drama --type tv --ended no
page novel --title 岚朵
page settings
