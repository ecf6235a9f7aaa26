#!/usr/bin/env bash
# Installs what the build needs, builds the server, lays out a demo installation with a ready
# configuration and runs the server in application mode until Ctrl+C.
# Usage: scripts/demo.sh [demo-folder]   (default: build/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
demo=${1:-$root/build/demo}

scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lmVidmill kxSIMDLib lmVideoSourceLVF lmvc_module lvftool \
  lmvctool lmvmdemoconfig lmVidmillCtl

rm -rf "$demo/server"
mkdir -p "$demo/server" "$demo/watch" "$demo/output"
cp -a build/stage/lmVidmill build/stage/bin "$demo/server/"
[ -d build/stage/codecs ] && cp -a build/stage/codecs "$demo/server/"
[ -d build/stage/EmailTemplates ] && cp -a build/stage/EmailTemplates "$demo/server/"

# A sample clip to drop in once the server runs: two seconds of a test pattern as an LVF clip.
sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
ffmpeg -loglevel error -f lavfi -i testsrc2=size=640x360:rate=25 -frames:v 50 "$sample/f%03d.png"
build/stage/lvftool create "$sample/Demo clip.lvf" "$sample"/f*.png >/dev/null

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
A sample clip, "Demo clip.lvf", is dropped into the watch folder; it ends as
"$demo/output/Demo clip.avi" and the source moves to $demo/watch/Completed/.
The command-line client follows the clip until it is done; afterwards
  build/stage/lmVidmillCtl --port $port status   (or tasks, watch, --help)
talks to the running server. Press Ctrl+C to stop the server.

MSG
"$demo/server/lmVidmill" -NOSERVICE &
server=$!
trap 'kill -TERM "$server" 2>/dev/null' INT TERM
sleep 1
cp "$sample/Demo clip.lvf" "$demo/watch/"
# Follow the sample clip until it has been converted (the folder monitor takes it within a
# few seconds), then leave the server running.
for _ in $(seq 20); do
  build/stage/lmVidmillCtl --port "$port" tasks 2>/dev/null | grep -q "Demo clip" && break
  sleep 1
done
build/stage/lmVidmillCtl --port "$port" watch --until-done || true
wait "$server" || true
wait "$server" 2>/dev/null || true
