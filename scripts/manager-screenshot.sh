#!/usr/bin/env bash
# Takes the manager's screenshot for the README: a demo engine with 1,500 tasks in every state
# (eight of them running and reporting progress), the manager connected to it on a virtual X
# display, and a PNG of the screen in docs/.
#
#   scripts/manager-screenshot.sh [OUT.png]     (default docs/manager.png)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/docs/manager.png}"
build="$root/build"
"$root/scripts/setup.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target lmVidmillManager lmvmdemoengine lmvmscreengrab >/dev/null

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(( 20000 + RANDOM % 20000 ))
lost=$(( port + 1 ))
"$build/stage/lmvmdemoengine" --port "$port" --tasks 1500 --running 8 --interval-ms 40 \
  >"$work/engine.log" 2>&1 &
pids+=($!)
# A second engine that goes away soon after the manager met it: shown as lost, with its age.
"$build/stage/lmvmdemoengine" --port "$lost" --tasks 40 --running 2 --name "Edit Suite" \
  --location "Building 2" >"$work/lost.log" 2>&1 &
lost_pid=$!
pids+=($lost_pid)
cat >"$work/ManagerConfig.dat" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config><engines><engine><name>Demo Engine</name><loc>Studio A</loc><desc></desc><host>127.0.0.1</host><port>$port</port></engine><engine><name>Edit Suite</name><loc>Building 2</loc><desc></desc><host>127.0.0.1</host><port>$lost</port></engine></engines></config>
XML

display=":$(( 90 + RANDOM % 100 ))"
Xvfb "$display" -screen 0 1400x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.1
done
# The window's placement and choices of this run stay in the temporary folder.
export XDG_CONFIG_HOME="$work/config"
DISPLAY="$display" "$build/stage/lmVidmillManager" --config "$work/ManagerConfig.dat" \
  >"$work/manager.log" 2>&1 &
pids+=($!)
sleep 3
kill "$lost_pid"
sleep "${LMV_SCREENSHOT_WAIT:-6}"
mkdir -p "$(dirname "$out")"
DISPLAY="$display" "$build/stage/lmvmscreengrab" "$out"
echo "wrote $out"
