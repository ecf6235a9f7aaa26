#!/usr/bin/env python3
"""LMVC beside FFmpeg's lossless encoders on the same 1920 x 1080 BGRA frames.

Makes two clips of raw BGRA frames with ffmpeg's own sources and filters:
  photo     a photo-like picture (a soft fractal, colour gradients and a blurred noise texture,
            with fresh sensor noise on every frame) panned across the frame;
  graphics  broadcast motion graphics over a transparent background: a sliding semi-opaque
            lower-third bar, a tag box, anti-aliased text and a disc with a soft alpha edge.
Then, single-threaded (-threads 1), it times FFmpeg's UT Video (-pred median, gbrap), QOI and
FFV1 encoders and decoders with `ffmpeg -benchmark` (user time, less the user time of the same
run without the codec) and LMVC with lmvc_frames_bench (processor time, one and two threads
timed in turn within every pass, medians over the passes), and prints one table per clip with frames per second, size as a share of raw BGRA, the ratios
against UT Video and whether each goal is met:
  LMVC encodes and decodes at least 2x as fast as UT Video on both clips;
  LMVC is no larger than UT Video on the photo and no larger than QOI on the graphics;
  with 2 threads LMVC runs at least 1.8x its own one-thread speed (wall clock: needs a second
  idle core to say anything).
Frames are converted to each encoder's native layout beforehand, so no encoder pays for a
pixel-format conversion. Decoders are run on the files their encoder wrote.

Run by hand (nothing wires it into CI), after building the frame tool:
  cmake --build BUILD --target lmvc_frames_bench
  python3 tests/bench/lmvc_vs_ffmpeg.py --build BUILD [--frames 25] [--passes 3] [--keep DIR]
Needs ffmpeg and ffprobe on PATH (with drawtext and a DejaVu or Lato font for the text; without
a font the text is left out). The exit status is 0 whether goals are met or not; 1 on errors.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

WIDTH, HEIGHT, RATE = 1920, 1080, 25
RAW_FRAME = WIDTH * HEIGHT * 4


def run(cmd):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), result.stderr[-2000:]))
    return result


def ffmpeg(args):
    return run(["ffmpeg", "-hide_banner", "-nostdin", "-y", "-v", "error"] + args)


def utime(args):
    """User seconds that `ffmpeg -benchmark` reports for one run."""
    out = run(["ffmpeg", "-hide_banner", "-nostdin", "-y", "-benchmark"] + args)
    found = re.findall(r"utime=([0-9.]+)s", out.stdout + out.stderr)
    if not found:
        sys.exit("no benchmark line from: ffmpeg %s" % " ".join(args))
    return float(found[-1])


def font():
    for pattern in ("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
                    "/usr/share/fonts/truetype/lato/Lato-Bold.ttf",
                    "/usr/share/fonts/truetype/*/*.ttf"):
        hits = sorted(glob.glob(pattern))
        if hits:
            return hits[0]
    return None


def make_photo(work, frames):
    still = os.path.join(work, "photo.png")
    ffmpeg(["-filter_complex",
            "mandelbrot=s=2560x1440:maxiter=96:start_scale=2.5:end_scale=2.5:"
            "outer=normalized_iteration_count,gblur=sigma=1.2,format=rgb24[m];"
            "gradients=s=2560x1440:n=4:speed=0.00001,format=rgb24[g];"
            "[m][g]blend=all_mode=softlight:all_opacity=0.7,format=rgb24[p];"
            "color=gray:s=2560x1440,format=rgb24,noise=alls=100:allf=u,gblur=sigma=2.5,"
            "eq=contrast=4[t];"
            "[p][t]blend=all_mode=overlay:all_opacity=0.6,format=rgb24",
            "-frames:v", "1", still])
    raw = os.path.join(work, "photo.bgra")
    ffmpeg(["-loop", "1", "-i", still, "-vf",
            "crop=%d:%d:x='min(n*16,640)':y='min(n*8,360)',noise=alls=4:allf=t,format=bgra"
            % (WIDTH, HEIGHT), "-frames:v", str(frames), "-f", "rawvideo", raw])
    return raw


def make_graphics(work, frames):
    size = "%dx%d" % (WIDTH, HEIGHT)
    graph = (
        "color=c=black@0.0:s=%s:r=%d,format=bgra[bg];"
        "color=c=0x1E3C78@0.85:s=1300x150:r=%d,format=bgra[bar];"
        "color=c=0xC81E1E:s=360x90:r=%d,format=bgra[tag];"
        "color=c=black@0.0:s=400x400:r=%d,format=rgba,"
        "geq=r=255:g=200:b=40:a='255*clip((170-hypot(X-200\\,Y-200))/14\\,0\\,1)'[disc];"
        "[bg][bar]overlay=x='-1300+min(n*80\\,1420)':y=820:format=auto[a];"
        "[a][tag]overlay=x=1500:y=60:format=auto" % (size, RATE, RATE, RATE, RATE))
    face = font()
    if face:
        graph += (
            ",drawtext=fontfile=%s:text='LMVC NEWS 24 - Breaking headline over a lower third':"
            "fontsize=56:fontcolor=white:borderw=3:bordercolor=black@0.6:"
            "x='-1200+min(n*80\\,1340)':y=860"
            ",drawtext=fontfile=%s:text='LIVE':fontsize=64:fontcolor=white:x=1610:y=75"
            % (face, face))
    else:
        print("note: no font found, the graphics clip has no text", file=sys.stderr)
    graph += "[b];[b][disc]overlay=x='200+n*12':y=250:format=auto,format=bgra"
    raw = os.path.join(work, "graphics.bgra")
    ffmpeg(["-filter_complex", graph, "-frames:v", str(frames), "-f", "rawvideo", raw])
    return raw


def convert(raw, pix_fmt):
    """The clip in another raw layout, so that the encoders get their native input."""
    if pix_fmt == "bgra":
        return raw
    out = raw + "." + pix_fmt
    ffmpeg(["-f", "rawvideo", "-pix_fmt", "bgra", "-s", "%dx%d" % (WIDTH, HEIGHT), "-i", raw,
            "-f", "rawvideo", "-pix_fmt", pix_fmt, out])
    return out


# name, pixel format fed to the encoder, encoder options, container (muxer, demuxer or None)
CODECS = [
    ("UT Video", "gbrap", ["-c:v", "utvideo", "-pred", "median"], ("nut", None)),
    ("QOI", "rgba", ["-c:v", "qoi"], ("image2pipe", "qoi_pipe")),
    ("FFV1", "bgra", ["-c:v", "ffv1", "-level", "3", "-slices", "4"], ("nut", None)),
]


def measure_ffmpeg(raw, frames, passes, work, tag):
    results = {}
    for name, pix_fmt, options, (muxer, demuxer) in CODECS:
        source = convert(raw, pix_fmt)
        raw_in = ["-threads", "1", "-stream_loop", str(passes - 1), "-f", "rawvideo",
                  "-pix_fmt", pix_fmt, "-s", "%dx%d" % (WIDTH, HEIGHT), "-r", str(RATE),
                  "-i", source]
        coded = os.path.join(work, "%s-%s.%s" % (tag, name.replace(" ", ""), muxer))
        # The same run without the encoder: reading and passing on the raw frames.
        base = utime(raw_in + ["-c:v", "rawvideo", "-f", "null", "-"])
        enc = utime(raw_in + options + ["-threads", "1", "-f", muxer, coded])
        # The coded file already holds every pass.
        dec_in = ["-threads", "1"] + (["-f", demuxer] if demuxer else []) + ["-i", coded]
        demux = utime(dec_in + ["-c:v", "copy", "-f", "null", "-"])
        dec = utime(dec_in + ["-f", "null", "-"])
        sizes = run(["ffprobe", "-v", "error"] + (["-f", demuxer] if demuxer else []) +
                    ["-select_streams", "v:0", "-show_entries", "packet=size", "-of", "csv=p=0",
                     coded]).stdout.split()
        n = frames * passes
        results[name] = {
            "enc": n / max(enc - base, 1e-6),
            "dec": n / max(dec - demux, 1e-6),
            "size": sum(int(s) for s in sizes) / (len(sizes) * RAW_FRAME),
        }
    return results


def measure_lmvc(tool, raw, passes):
    out = run([tool, raw, str(WIDTH), str(HEIGHT), str(passes)]).stdout
    rows = {}
    speedup = {}
    for line in out.splitlines():
        words = line.split()
        fields = dict(kv.split("=", 1) for kv in words[1:])
        if words[0] == "lmvc":
            rows[int(fields["threads"])] = fields
        elif words[0] == "speedup":
            speedup = fields
    if rows[1]["lossless"] != "yes" or rows[2]["lossless"] != "yes":
        sys.exit("LMVC did not restore every frame exactly")
    one, two = rows[1], rows[2]
    frames = int(one["frames"])
    return {
        "enc": float(one["encode_cpu_fps"]),
        "dec": float(one["decode_cpu_fps"]),
        "size": int(one["bytes"]) / (frames * RAW_FRAME),
        # Medians of the per-pass ratios: each pass times both thread counts back to back.
        "enc_speedup": float(speedup["encode_wall"]),
        "dec_speedup": float(speedup["decode_wall"]),
    }


def report(tag, peers, lmvc):
    ut = peers["UT Video"]
    print("\n%s (1920x1080 BGRA, one thread; fps per second of processor time)" % tag)
    print("  %-9s %10s %10s %9s %11s %11s" % ("codec", "encode fps", "decode fps", "size",
                                              "enc vs UT", "dec vs UT"))
    for name, r in list(peers.items()) + [("LMVC", lmvc)]:
        print("  %-9s %10.1f %10.1f %8.2f%% %10.2fx %10.2fx" % (
            name, r["enc"], r["dec"], 100 * r["size"], r["enc"] / ut["enc"],
            r["dec"] / ut["dec"]))
    goals = [
        ("encode >= 2x UT Video", lmvc["enc"] / ut["enc"], 2.0),
        ("decode >= 2x UT Video", lmvc["dec"] / ut["dec"], 2.0),
        ("2 threads encode >= 1.8x 1 thread (wall)", lmvc["enc_speedup"], 1.8),
        ("2 threads decode >= 1.8x 1 thread (wall)", lmvc["dec_speedup"], 1.8),
    ]
    if tag == "photo":
        goals.append(("size <= UT Video", ut["size"] / lmvc["size"], 1.0))
    else:
        goals.append(("size <= QOI", peers["QOI"]["size"] / lmvc["size"], 1.0))
    met = True
    for text, value, need in goals:
        ok = value >= need
        met = met and ok
        print("  %-42s %6.2f  %s" % (text, value, "met" if ok else "NOT MET"))
    return met


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="build folder with bench/")
    parser.add_argument("--frames", type=int, default=25)
    parser.add_argument("--passes", type=int, default=3, help="times each clip is coded")
    parser.add_argument("--keep", help="folder for the clips and coded files (kept)")
    args = parser.parse_args()
    tool = os.path.join(args.build, "bench", "lmvc_frames_bench")
    if not os.access(tool, os.X_OK):
        sys.exit("%s not found: build the lmvc_frames_bench target first" % tool)
    with tempfile.TemporaryDirectory(prefix="lmvc-bench-") as scratch:
        work = args.keep or scratch
        os.makedirs(work, exist_ok=True)
        all_met = True
        for tag, make in (("photo", make_photo), ("graphics", make_graphics)):
            raw = make(work, args.frames)
            peers = measure_ffmpeg(raw, args.frames, args.passes, work, tag)
            lmvc = measure_lmvc(tool, raw, args.passes)
            all_met = report(tag, peers, lmvc) and all_met
        print("\nall goals met" if all_met else "\nsome goals not met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
