#!/usr/bin/env python3
"""The server against the watch-folder loop a user would write instead, on the same clips.

Makes one ProRes 4444 movie of WIDTH x HEIGHT x FRAMES (testsrc2 with a moving alpha channel)
and copies it CLIPS times. Then, in turn on the same copies:

- the server: a private installation (application mode, WORKERS workers) whose source watches a
  folder and delivers LMVC AVI files into another. All clips are renamed into the watch folder
  at once; the time runs until the last source file has reached the completed folder.
- the loop: inotifywait on a folder feeding `ffmpeg -i CLIP -c:v utvideo CLIP.avi` (ffmpeg's
  default threading), one file at a time, and the same loop two files at a time; the time runs
  from the drop until the last clip is converted.

Prints files per minute of each, the processor time per clip, and the ratio of the server's
files per minute to the better loop's (goal >= 1.3).

Usage: lmvm_vs_ffmpeg_loop.py BUILD-DIR [--clips 20] [--frames 50] [--width 1920]
                              [--height 1080] [--workers 2] [--keep]
BUILD-DIR is a build folder holding stage/ (lmVidmill, bin/, codecs/, lmvmdemoconfig).
Needs ffmpeg and inotifywait (inotify-tools) on the path.
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from lmvm_bench_server import install_server, process_cpu_seconds, running_server, \
    wait_until_filed

# The user's loop: every file that lands in the watch folder is converted, PARALLEL at a time,
# and moved to the done folder afterwards. It ends by itself after COUNT files.
LOOP_SCRIPT = r"""
watch=$1; out=$2; done=$3; parallel=$4; count=$5
inotifywait -m -e moved_to -e close_write --format '%f' "$watch" |
  head -n "$count" |
  xargs -d '\n' -P "$parallel" -I{} sh -c \
    'ffmpeg -nostdin -v error -y -i "$1/$0" -c:v utvideo "$2/${0%.*}.avi" && mv "$1/$0" "$3/$0"' \
    {} "$watch" "$out" "$done"
"""


def make_clip(path, width, height, frames):
    """ProRes 4444 with alpha: testsrc2 colour, the alpha from a second, moving pattern."""
    subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-y",
         "-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate=25",
         "-f", "lavfi", "-i", f"testsrc=size={width}x{height}:rate=25",
         "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge",
         "-frames:v", str(frames), "-c:v", "prores_ks", "-profile:v", "4444",
         "-pix_fmt", "yuva444p10le", path], check=True)


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def wait_for_count(folder, count, what, alive):
    limit = time.monotonic() + 7200
    while True:
        done = len(os.listdir(folder)) if os.path.isdir(folder) else 0
        if done >= count:
            return
        if time.monotonic() > limit or not alive():
            sys.exit(f"{what}: {done} of {count} done")
        time.sleep(0.02)


def stage_clips(clip, folder, clips):
    names = [f"clip{i:02d}.mov" for i in range(clips)]
    for name in names:
        shutil.copyfile(clip, os.path.join(folder, name))
    # The copies are the uploads that came before the drop; their write-back is nobody's work.
    os.sync()
    return names


def run_server(stage, work, clip, clips, workers):
    """(wall seconds, processor seconds) of one drop."""
    install = os.path.join(work, "install")
    watch, out, incoming = install_server(stage, install, workers)
    names = stage_clips(clip, incoming, clips)

    with running_server(install) as server:
        cpu_before = process_cpu_seconds(server.pid)
        start = time.monotonic()
        for name in names:
            os.rename(os.path.join(incoming, name), os.path.join(watch, name))
        done, lost = wait_until_filed(server, watch, clips, 7200)
        if done + lost < clips:
            sys.exit(f"server: {done} of {clips} done")
        elapsed = time.monotonic() - start
        cpu = process_cpu_seconds(server.pid) - cpu_before
        if lost:
            sys.exit(f"server: {lost} clip(s) failed")
        delivered = [n for n in os.listdir(out) if n.endswith(".avi")]
        if len(delivered) != clips:
            sys.exit(f"server: {len(delivered)} AVI files delivered")
    shutil.rmtree(install, ignore_errors=True)
    return elapsed, cpu


def run_loop(work, clip, clips, parallel):
    """(wall seconds, processor seconds) of the inotifywait loop converting one drop."""
    folder = os.path.join(work, f"loop-{parallel}")
    watch, out, done, incoming = (os.path.join(folder, n)
                                  for n in ("watch", "out", "done", "incoming"))
    for f in (watch, out, done, incoming):
        os.makedirs(f)
    names = stage_clips(clip, incoming, clips)
    cpu_before = children_cpu_seconds()
    loop = subprocess.Popen(["bash", "-c", LOOP_SCRIPT, "loop", watch, out, done, str(parallel),
                             str(clips)], stderr=subprocess.PIPE, text=True)
    # inotifywait says so once it watches.
    while "Watches established" not in loop.stderr.readline():
        if loop.poll() is not None:
            sys.exit("the loop ended before it watched the folder")
    start = time.monotonic()
    for name in names:
        os.rename(os.path.join(incoming, name), os.path.join(watch, name))
    wait_for_count(done, clips, f"loop, {parallel} at a time", lambda: loop.poll() is None)
    elapsed = time.monotonic() - start
    # One more event lets inotifywait notice that its reader has gone, so the loop ends.
    open(os.path.join(watch, "end"), "w").close()
    loop.wait()
    cpu = children_cpu_seconds() - cpu_before
    if len([n for n in os.listdir(out) if n.endswith(".avi")]) != clips:
        sys.exit(f"loop, {parallel} at a time: not every clip was converted")
    shutil.rmtree(folder, ignore_errors=True)
    return elapsed, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--clips", type=int, default=20)
    parser.add_argument("--frames", type=int, default=50)
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    stage = os.path.join(args.build, "stage")
    for needed in ("lmVidmill", "lmvmdemoconfig", "codecs", "bin"):
        if not os.path.exists(os.path.join(stage, needed)):
            sys.exit(f"missing {os.path.join(stage, needed)}: build the server and its tools")
    for program in ("ffmpeg", "inotifywait"):
        if shutil.which(program) is None:
            sys.exit(f"{program} is not installed (scripts/setup.sh installs it)")

    work = tempfile.mkdtemp(prefix="lmvm-loop-")
    try:
        clip = os.path.join(work, "clip.mov")
        make_clip(clip, args.width, args.height, args.frames)
        print(f"{args.clips} ProRes 4444 clips of {args.width}x{args.height}x{args.frames} "
              f"({os.path.getsize(clip) / 2**20:.1f} MiB each)")
        runs = [(f"server, {args.workers} workers", lambda: run_server(
                    stage, work, clip, args.clips, args.workers)),
                ("loop, one at a time", lambda: run_loop(work, clip, args.clips, 1)),
                ("loop, two at a time", lambda: run_loop(work, clip, args.clips, 2))]
        results = {}
        for label, run in runs:
            elapsed, cpu = run()
            results[label] = args.clips / elapsed * 60
            print(f"{label}: {results[label]:.2f} files/min, {elapsed / args.clips:.3f} s per "
                  f"clip wall, {cpu / args.clips:.3f} s processor per clip", flush=True)
        ours = results[runs[0][0]]
        better = max(results[runs[1][0]], results[runs[2][0]])
        print(f"files per minute, server / better loop: {ours / better:.2f}   (goal >= 1.3)")
    finally:
        if args.keep:
            print("work folder:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
