#!/usr/bin/env bash
# Installs what the build needs, builds the server with every plug-in and codec module, lays out
# a demo installation with a ready configuration, runs the server in application mode until
# Ctrl+C, drops a sample LVF clip and a sample H.264 movie with sound, and starts the manager
# where there is a display.
# Usage: scripts/demo.sh [demo-folder]   (default: build/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
demo=${1:-$root/build/demo}

scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
targets=(lmVidmill kxSIMDLib lmVideoSourceLVF lmVideoSourceQT lmVideoSourceBroadcast
  lmVideoSourceImage lmVideoSourceAVI lmvc_module lvftool lmvctool lmvmdemoconfig lmVidmillCtl)
if cmake --build build --target help | grep -q '^lmVidmillManager:'; then
  targets+=(lmVidmillManager)
fi
cmake --build build --target "${targets[@]}"

rm -rf "$demo/server"
mkdir -p "$demo/server" "$demo/watch" "$demo/output"
cp -a build/stage/lmVidmill build/stage/bin "$demo/server/"
[ -d build/stage/codecs ] && cp -a build/stage/codecs "$demo/server/"
[ -d build/stage/EmailTemplates ] && cp -a build/stage/EmailTemplates "$demo/server/"

# Samples to drop in once the server runs: two seconds of a test pattern as an LVF clip, and
# three seconds of another with a tone as an H.264 and AAC movie, what a newcomer drops first.
sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
ffmpeg -loglevel error -f lavfi -i testsrc2=size=640x360:rate=25 -frames:v 50 "$sample/f%03d.png"
build/stage/lvftool create "$sample/Demo clip.lvf" "$sample"/f*.png >/dev/null
ffmpeg -loglevel error -f lavfi -i testsrc=size=1280x720:rate=25 -f lavfi \
  -i sine=frequency=440:sample_rate=48000 -t 3 -c:v libx264 -pix_fmt yuv420p -c:a aac \
  "$sample/Demo movie.mp4"

# A free control port, chosen by the kernel.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
build/stage/lmvmdemoconfig "$demo/server/config.dat" "$demo/watch" "$demo/output" "$port"

cat <<MSG

lmVidmill demo installation: $demo/server
  watch folder:  $demo/watch    (drop clips here; LVF clips are made with
                 build/stage/lvftool create CLIP.lvf FRAME*.png)
  output folder: $demo/output   (LMVC AVI files; build/stage/lmvctool info FILE.avi)
  control port:  $port
  log:           $demo/server/logs/
Two samples, "Demo clip.lvf" and "Demo movie.mp4", are dropped into the watch folder; they
end as "Demo clip.avi" and "Demo movie.avi" in $demo/output/ and the sources move to
$demo/watch/Completed/. The command-line client follows them until they are done; afterwards
  build/stage/lmVidmillCtl --port $port status   (or tasks, watch, --help)
talks to the running server. Press Ctrl+C to stop the server.

MSG
# The manager, where there is a display to show it on; elsewhere how to run it.
start_manager() {
  local manager=build/stage/lmVidmillManager
  if [ ! -x "$manager" ]; then
    echo "(The Qt manager is not built here; the command-line client follows the clips.)"
  elif [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    # An engine list of its own, holding the demo server, so the desktop's list stays as it is.
    cat >"$demo/ManagerConfig.dat" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config><engines><engine><name>Demo</name><loc/><desc/><host>127.0.0.1</host><port>$port</port></engine></engines></config>
XML
    echo "Starting the manager on the demo engine (127.0.0.1, port $port)."
    "$manager" --config "$demo/ManagerConfig.dat" >"$demo/manager.log" 2>&1 &
  else
    echo "No display here: on a desktop run $manager and add the engine 127.0.0.1, port $port."
  fi
}

"$demo/server/lmVidmill" -NOSERVICE &
server=$!
trap 'kill -TERM "$server" 2>/dev/null' INT TERM
sleep 1
start_manager
cp "$sample/Demo clip.lvf" "$sample/Demo movie.mp4" "$demo/watch/"
# Follow the samples until they have been converted (the folder monitor takes each within a
# few seconds), then leave the server running.
for _ in $(seq 30); do
  tasks=$(build/stage/lmVidmillCtl --port "$port" tasks 2>/dev/null || true)
  grep -q "Demo clip" <<<"$tasks" && grep -q "Demo movie" <<<"$tasks" && break
  sleep 1
done
build/stage/lmVidmillCtl --port "$port" watch --until-done || true
wait "$server" || true
wait "$server" 2>/dev/null || true
