#!/usr/bin/env python3
"""Whole-server throughput: clips dropped at once into a watch folder, converted and delivered.

Makes one LVF clip of WIDTH x HEIGHT x FRAMES with a soft, moving alpha ramp (picture from
FFmpeg's testsrc2, written with lvftool create-raw), copies it CLIPS times, and for each worker
run starts a private installation of the server (application mode, "threads" = workers) whose
source watches one folder and delivers into another. All clips are renamed into the watch folder
at once; the time runs from then until the last source file has reached the completed folder
(after its delivery). Each run drops the clips three times (they come back from the completed
folder) and keeps the median drop. Beside it the codec alone encodes the same frames on one thread
(lmvc_frames_bench). Three runs: 1 worker confined to one processor (its codec on one thread,
nothing of the job overlapping it), 1 worker and 2 workers on every processor. Prints files per
minute of each, the ratio of 2 workers to 1 worker on one processor (goal >= 1.7: the server
keeps both cores busy) and the time per clip of 1 worker over the codec-alone time per clip
(goal <= 1.25 in wall time; the job's reading and filing overlap the codec's work on the other
core), also in processor time (the server's user + system time from /proc, the codec's from its
own clock).

Usage: lmvm_pipeline_bench.py BUILD-DIR [--clips 20] [--frames 50] [--width 1920]
                              [--height 1080] [--codec-bench PATH] [--keep]
BUILD-DIR is a build folder holding stage/ (server, bin/, codecs/, lvftool, lmvmdemoconfig)
and bench/lmvc_frames_bench (or name that program with --codec-bench).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from lmvm_bench_server import install_server, process_cpu_seconds, running_server, \
    wait_until_filed


def make_raw_frames(path, width, height, frames):
    """testsrc2 pictures with an alpha ramp that slides one step per frame."""
    picture = subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
         f"testsrc2=size={width}x{height}:rate=25", "-frames:v", str(frames),
         "-pix_fmt", "bgra", "-f", "rawvideo", "-"],
        check=True, stdout=subprocess.PIPE).stdout
    frame_size = width * height * 4
    if len(picture) != frame_size * frames:
        sys.exit("ffmpeg returned %d bytes, expected %d" % (len(picture), frame_size * frames))
    # One row of alpha: a soft ramp 0..255..0 across the width, repeated so that a slice at an
    # offset gives each frame its own position.
    ramp = bytes(min(255, abs((x % 512) - 256)) for x in range(width + frames * 8))
    with open(path, "wb") as out:
        for f in range(frames):
            frame = bytearray(picture[f * frame_size:(f + 1) * frame_size])
            row = ramp[f * 8:f * 8 + width]
            frame[3::4] = row * height
            out.write(frame)


def run_server(stage, work, clip, clips, workers, cores=None, repeats=3):
    """The median drop of repeats: (wall seconds, server processor seconds)."""
    install = os.path.join(work, f"install-{workers}-{len(cores) if cores else 'all'}")
    watch, out, incoming = install_server(stage, install, workers)
    names = [f"clip{i:02d}.lvf" for i in range(clips)]
    for name in names:
        shutil.copyfile(clip, os.path.join(incoming, name))
    # The copies are the uploads that came before the drop: their write-back to disk is not the
    # server's work and must not run beside it.
    os.sync()

    with running_server(install, cores) as server:
        completed = os.path.join(watch, "Completed")
        drops = []
        for _ in range(repeats):
            cpu_before = process_cpu_seconds(server.pid)
            start = time.monotonic()
            for name in names:
                os.rename(os.path.join(incoming, name), os.path.join(watch, name))
            done, lost = wait_until_filed(server, watch, clips, 3600)
            if done + lost < clips:
                sys.exit(f"server with {workers} worker(s): {done} of {clips} done in time")
            drops.append((time.monotonic() - start, process_cpu_seconds(server.pid) - cpu_before))
            if lost:
                sys.exit(f"server with {workers} worker(s): {lost} clip(s) failed")
            delivered = [n for n in os.listdir(out) if n.endswith(".avi")]
            if len(delivered) != clips:
                sys.exit(f"server with {workers} worker(s): {len(delivered)} AVI files delivered")
            # The same sources go in again for the next drop.
            for name in delivered:
                os.remove(os.path.join(out, name))
            for name in os.listdir(completed):
                os.rename(os.path.join(completed, name), os.path.join(incoming, name))
            os.sync()
    shutil.rmtree(install, ignore_errors=True)
    return sorted(drops)[len(drops) // 2]


def codec_alone(bench, raw, width, height, frames):
    """Encode time per clip of the codec on one thread: (wall seconds, processor seconds)."""
    output = subprocess.run([bench, raw, str(width), str(height), "3", "1", "encode"], check=True,
                            stdout=subprocess.PIPE, text=True).stdout
    for line in output.splitlines():
        if line.startswith("lmvc threads=1 "):
            values = dict(item.split("=", 1) for item in line.split()[1:])
            if values.get("lossless") != "yes":
                sys.exit("the codec did not round-trip the frames")
            return (frames / float(values["encode_wall_fps"]),
                    frames / float(values["encode_cpu_fps"]))
    sys.exit("lmvc_frames_bench printed no one-thread line:\n" + output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--clips", type=int, default=20)
    parser.add_argument("--frames", type=int, default=50)
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    parser.add_argument("--codec-bench", help="the lmvc_frames_bench program to use")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    stage = os.path.join(args.build, "stage")
    bench = args.codec_bench or os.path.join(args.build, "bench", "lmvc_frames_bench")
    for needed in ("lmVidmill", "lvftool", "lmvmdemoconfig", "codecs", "bin"):
        if not os.path.exists(os.path.join(stage, needed)):
            sys.exit(f"missing {os.path.join(stage, needed)}: build the server and its tools")
    if not os.path.exists(bench):
        sys.exit(f"missing {bench}: build lmvc_frames_bench")

    work = tempfile.mkdtemp(prefix="lmvm-pipeline-")
    try:
        raw = os.path.join(work, "frames.raw")
        clip = os.path.join(work, "clip.lvf")
        make_raw_frames(raw, args.width, args.height, args.frames)
        subprocess.run([os.path.join(stage, "lvftool"), "create-raw", clip, str(args.width),
                        str(args.height), raw], check=True, stdout=subprocess.DEVNULL)
        print(f"{args.clips} clips of {args.width}x{args.height}x{args.frames} "
              f"(LVF {os.path.getsize(clip) / 2**20:.1f} MiB each)")

        os.sync()  # the frames and the clip just written are not the codec's work either
        codec_wall, codec_cpu = codec_alone(bench, raw, args.width, args.height, args.frames)
        print(f"codec alone, one thread: {codec_wall:.3f} s per clip wall, "
              f"{codec_cpu:.3f} s processor")

        # "1 worker, one core": the server confined to one processor, so its codec runs on one
        # thread and nothing of the job overlaps it; the base of the scaling goal.
        runs = [("1 worker, one core", 1, {min(os.sched_getaffinity(0))}),
                ("1 worker", 1, None), ("2 workers", 2, None)]
        results = {}
        for label, workers, cores in runs:
            if label.startswith("2") and len(os.sched_getaffinity(0)) < 2:
                continue
            elapsed, cpu = run_server(stage, work, clip, args.clips, workers, cores)
            results[label] = (elapsed, cpu)
            print(f"server, {label}: {args.clips / elapsed * 60:.2f} files/min, "
                  f"{elapsed / args.clips:.3f} s per clip wall, "
                  f"{cpu / args.clips:.3f} s processor per clip")

        wall1, cpu1 = results["1 worker"]
        print(f"server per clip / codec alone (1 worker): wall "
              f"{wall1 / args.clips / codec_wall:.2f}, processor "
              f"{cpu1 / args.clips / codec_cpu:.2f}   (goal <= 1.25 in wall time)")
        if "2 workers" in results:
            base = results["1 worker, one core"][0]
            print(f"files per minute, 2 workers / 1 worker on one core: "
                  f"{base / results['2 workers'][0]:.2f}   (goal >= 1.7)")
            print(f"files per minute, 2 workers / 1 worker on every processor: "
                  f"{wall1 / results['2 workers'][0]:.2f}   (for reference: 1 worker already "
                  f"reads the next frame on the second processor)")
    finally:
        if args.keep:
            print("work folder:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
