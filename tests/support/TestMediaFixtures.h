#pragma once

// Media files for the tests of the FFmpeg-based plug-ins, made with the ffmpeg command line into
// the build tree the first time a test asks for one and shared by every test after that. A
// fixture's file name carries a digest of the command that makes it, so a changed recipe makes
// a new file. Also the reference readings the tests compare with: the command line's decode of
// a file converted to BGRA, and its sound resampled to 48 kHz.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestProcess.h"

namespace testing_support {

using TMediaBytes = std::vector<uint8_t>;

inline std::filesystem::path MediaFixtureFolder() {
    return LMV_MEDIA_FIXTURE_DIR;
}

inline TMediaBytes ReadMediaFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return TMediaBytes(std::istreambuf_iterator<char>(in), {});
}

// Runs ffmpeg with `arguments` to write `output`; false (and a test failure) when it fails.
inline bool RunFFmpeg(const std::vector<std::string>& arguments, const std::string& output) {
    std::vector<std::string> command = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.push_back(output);
    const TProcessResult result = RunProcess(command);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return result.ExitCode == 0;
}

// The fixture `name` ("clip.mov") made by ffmpeg with `arguments` (everything before the output
// file), once.
inline std::filesystem::path MakeMediaFixture(const std::string& name,
                                              const std::vector<std::string>& arguments) {
    namespace fs = std::filesystem;
    std::string recipe;
    for (const std::string& argument : arguments)
        recipe += argument + '\x1f';
    const fs::path file(name);
    const std::string digest = std::to_string(std::hash<std::string>{}(recipe) % 1000000007u);
    const fs::path target =
        MediaFixtureFolder() / (file.stem().string() + "-" + digest + file.extension().string());
    if (fs::exists(target))
        return target;
    fs::create_directories(MediaFixtureFolder());
    // Tests run side by side: each writes its own file, the rename makes one appear whole.
    const fs::path partial = MediaFixtureFolder() / ("partial-" + std::to_string(getpid()) + "-" +
                                                     target.filename().string());
    if (RunFFmpeg(arguments, partial.string()))
        fs::rename(partial, target);
    return target;
}

// A 1 kHz tone at 48 kHz whose peak is 0.1 in the first second, 0.2 in the next, and so on.
inline constexpr const char* kRisingTone = "aevalsrc=0.1*(1+floor(t))*sin(2*PI*1000*t):s=48000";

// Twelve seconds at 25 frames per second without the pictures of 2 s to 7.96 s (frames 0 to 49,
// then 200 to 299 keep their time stamps), with the rising tone all through.
inline std::vector<std::string> GapRecipe(const std::string& container) {
    return {"-f",        "lavfi",       "-i",   "testsrc2=size=96x64:rate=25",
            "-f",        "lavfi",       "-i",   kRisingTone,
            "-t",        "12",          "-vf",  "select='not(between(t,2,7.99))'",
            "-fps_mode", "passthrough", "-c:v", "libx264",
            "-preset",   "veryfast",    "-bf",  "2",
            "-g",        "12",          "-c:a", "pcm_s16le",
            "-f",        container};
}

// The fixtures the tests share, by name.
inline std::filesystem::path MediaFixture(const std::string& name) {
    const std::string stereo44k = "aevalsrc=0.4*sin(440*2*PI*t)|0.3*sin(660*2*PI*t):s=44100";
    static const std::map<std::string, std::vector<std::string>> recipes = {
        // H.264 with B-frames and open GOPs, stereo AAC at 44.1 kHz.
        {"h264_aac.mp4",
         {"-f",       "lavfi",    "-i",           "testsrc2=size=192x108:rate=25",
          "-f",       "lavfi",    "-i",           stereo44k,
          "-t",       "3",        "-c:v",         "libx264",
          "-preset",  "veryfast", "-bf",          "3",
          "-g",       "12",       "-x264-params", "open-gop=1:keyint_min=12:scenecut=0",
          "-pix_fmt", "yuv420p",  "-c:a",         "aac",
          "-b:a",     "96k",      "-shortest"}},
        {"prores4444.mov",
         {"-f", "lavfi", "-i",
          "testsrc2=size=160x120:rate=25,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='X*"
          "255/W'",
          "-t", "1", "-c:v", "prores_ks", "-profile:v", "4444", "-pix_fmt", "yuva444p10le"}},
        {"deep444full.mkv",
         {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-t", "0.4", "-c:v", "ffv1",
          "-pix_fmt", "yuv444p12le", "-color_range", "pc", "-colorspace", "bt709"}},
        {"deep444bt2020.mkv",
         {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-t", "0.4", "-c:v", "ffv1",
          "-pix_fmt", "yuva444p16le", "-color_range", "tv", "-colorspace", "bt2020nc"}},
        {"tff2997.mov", {"-f",   "lavfi",      "-i",     "testsrc2=size=320x240:rate=30000/1001",
                         "-f",   "lavfi",      "-i",     "sine=f=500:r=48000",
                         "-t",   "2",          "-vf",    "setfield=tff",
                         "-c:v", "mpeg2video", "-flags", "+ildct+ilme",
                         "-top", "1",          "-c:a",   "pcm_s16le"}},
        {"bff2997.mov",
         {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30000/1001", "-t", "1", "-vf",
          "setfield=bff", "-c:v", "mpeg2video", "-flags", "+ildct+ilme", "-top", "0"}},
        {"p5994.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=160x90:rate=60000/1001", "-f", "lavfi", "-i",
          stereo44k, "-t", "2", "-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac",
          "-shortest"}},
        // Six channels of 16-bit PCM.
        {"six.mov",
         {"-f", "lavfi", "-i", "testsrc2=size=128x72:rate=25", "-f", "lavfi", "-i",
          "aevalsrc=0.1*sin(200*t)|0.2*sin(300*t)|0.3*sin(400*t)|0.4*sin(500*t)|0.5*sin(600*t)|"
          "0.6*sin(700*t):s=48000",
          "-t", "2", "-c:v", "mpeg4", "-q:v", "3", "-c:a", "pcm_s16le", "-shortest"}},
        // XDCAM-like MPEG-2 4:2:2 interlaced with eight mono tracks and a start time code.
        {"mpeg2_422.mxf",
         {"-f",
          "lavfi",
          "-i",
          "testsrc2=size=720x576:rate=25",
          "-f",
          "lavfi",
          "-i",
          "aevalsrc=0.5*sin(100*(1+floor(t*8))*t):s=48000",
          "-t",
          "2",
          "-filter_complex",
          "[1:a]asplit=8[a0][a1][a2][a3][a4][a5][a6][a7]",
          "-map",
          "0:v",
          "-map",
          "[a0]",
          "-map",
          "[a1]",
          "-map",
          "[a2]",
          "-map",
          "[a3]",
          "-map",
          "[a4]",
          "-map",
          "[a5]",
          "-map",
          "[a6]",
          "-map",
          "[a7]",
          "-c:v",
          "mpeg2video",
          "-pix_fmt",
          "yuv422p",
          "-b:v",
          "8M",
          "-g",
          "12",
          "-bf",
          "2",
          "-flags",
          "+ildct+ilme",
          "-top",
          "1",
          "-c:a",
          "pcm_s16le",
          "-timecode",
          "10:00:00:00",
          "-shortest"}},
        {"dnxhr.mxf",
         {"-f", "lavfi", "-i", "testsrc2=size=256x144:rate=25", "-t", "1", "-c:v", "dnxhd",
          "-profile:v", "dnxhr_lb", "-pix_fmt", "yuv422p"}},
        {"h264.ts", {"-f",       "lavfi",    "-i",   "testsrc2=size=192x108:rate=25",
                     "-f",       "lavfi",    "-i",   "sine=f=700:r=48000",
                     "-t",       "2",        "-c:v", "libx264",
                     "-preset",  "veryfast", "-bf",  "2",
                     "-g",       "10",       "-c:a", "mp2",
                     "-shortest"}},
        // BT.709 full range.
        {"bt709full.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=192x108:rate=25", "-t", "1", "-vf",
          "scale=out_color_matrix=bt709:out_range=full", "-c:v", "libx264", "-preset", "veryfast",
          "-pix_fmt", "yuvj420p", "-colorspace", "bt709", "-color_range", "pc"}},
        // DNxHR in an OP-Atom file of its own.
        {"opatom.mxf",
         {"-f", "lavfi", "-i", "testsrc2=size=256x144:rate=25", "-t", "1", "-c:v", "dnxhd",
          "-profile:v", "dnxhr_lb", "-pix_fmt", "yuv422p", "-f", "mxf_opatom"}},
        // AVC-Intra 100 at 720p50, the smallest size the class allows.
        {"avcintra.mxf",
         {"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=50", "-frames:v", "4", "-c:v",
          "libx264", "-avcintra-class", "100", "-pix_fmt", "yuv422p10le", "-f", "mxf"}},
        // PAL DV with stereo PCM and a start time code.
        {"pal.dv",
         {"-f", "lavfi", "-i", "testsrc2=size=720x576:rate=25", "-f", "lavfi", "-i",
          "sine=f=600:r=48000", "-t", "0.4", "-target", "pal-dv", "-ac", "2", "-timecode",
          "01:02:03:04"}},
        {"h264_opus.mkv",
         {"-f", "lavfi", "-i", "testsrc2=size=160x90:rate=25", "-f", "lavfi", "-i",
          "sine=f=800:r=48000", "-t", "1", "-c:v", "libx264", "-preset", "veryfast", "-bf", "2",
          "-c:a", "libopus", "-shortest"}},
        // Lossless video with 48 kHz PCM in an AVI.
        {"utvideo.avi",
         {"-f", "lavfi", "-i", "testsrc2=size=160x90:rate=25", "-f", "lavfi", "-i",
          "sine=f=900:r=48000", "-t", "1", "-c:v", "utvideo", "-pix_fmt", "gbrp", "-ac", "2",
          "-c:a", "pcm_s16le", "-shortest"}},
        // Variable rate: 25 frames per second with no pictures from 2 s to 8 s, and sound all
        // through whose level rises each second. H.264 with B-frames, 16-bit PCM.
        {"gap.mkv", GapRecipe("matroska")},
        {"gap.mov", GapRecipe("mov")},
        // Variable rate the other way: 50 pictures a second in the first second, then 25.
        {"burst.mkv",
         {"-f",        "lavfi",       "-i",   "testsrc2=size=96x64:rate=50",
          "-f",        "lavfi",       "-i",   kRisingTone,
          "-t",        "4",           "-vf",  "select='lt(t,1)+not(lt(t,1))*not(mod(n,2))'",
          "-fps_mode", "passthrough", "-c:v", "libx264",
          "-preset",   "veryfast",    "-bf",  "2",
          "-g",        "12",          "-c:a", "pcm_s16le"}},
        // Pictures all through, and sound with no samples from 2 s to 4 s.
        {"audiogap.mkv",
         {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi", "-i", kRisingTone,
          "-t", "8", "-af", "aselect='not(between(t,2,3.999))'", "-c:v", "libx264", "-preset",
          "veryfast", "-c:a", "pcm_s16le"}},
        {"rgb.png", {"-f", "lavfi", "-i", "testsrc2=size=80x60", "-frames:v", "1"}},
        {"rgba.png",
         {"-f", "lavfi", "-i",
          "testsrc2=size=80x60,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,"
          "Y)':a='Y*4'",
          "-frames:v", "1"}},
        {"rgba64.png",
         {"-f", "lavfi", "-i", "testsrc2=size=80x60,format=rgba64le", "-frames:v", "1", "-pix_fmt",
          "rgba64be"}},
        {"photo.jpg", {"-f", "lavfi", "-i", "testsrc2=size=80x60", "-frames:v", "1"}},
        {"rgba.tga",
         {"-f", "lavfi", "-i",
          "testsrc2=size=80x60,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,"
          "Y)':a='X*3'",
          "-frames:v", "1"}},
        {"rgb.tga",
         {"-f", "lavfi", "-i", "testsrc2=size=80x60", "-frames:v", "1", "-pix_fmt", "bgr24"}},
        {"rgb.tif",
         {"-f", "lavfi", "-i", "testsrc2=size=80x60", "-frames:v", "1", "-pix_fmt", "rgb24"}},
        {"rgba.tif",
         {"-f", "lavfi", "-i", "testsrc2=size=80x60,format=rgba", "-frames:v", "1", "-pix_fmt",
          "rgba"}},
    };
    const auto recipe = recipes.find(name);
    EXPECT_NE(recipe, recipes.end()) << name;
    return recipe == recipes.end() ? std::filesystem::path()
                                   : MakeMediaFixture(name, recipe->second);
}

// Caption lines of an SCC file: at 00:00:00:00, 00:00:01:00 (frame 30 at 29.97) and
// 00:00:01:15 (frame 45), where the muxer needs a line after the last one it is to keep.
inline constexpr const char* kFixtureSccLines[] = {
    "9420 9420 94ae 94ae 9452 9452 97a1 97a1 c845 cccc 4f80 942c 942c 942f 942f",
    "9420 9420 94ae 94ae 9452 9452 5b4f 5252 4c44 942c 942c 942f 942f", "942c 942c"};

// A 29.97 MOV with a "c608" caption track made from the SCC lines above.
inline std::filesystem::path CaptionFixture() {
    std::ostringstream text;
    text << "Scenarist_SCC V1.0\n\n00:00:00:00\t" << kFixtureSccLines[0] << "\n\n00:00:01:00\t"
         << kFixtureSccLines[1] << "\n\n00:00:01:15\t" << kFixtureSccLines[2] << "\n\n";
    // Named by its content, so that the movie's recipe changes with it.
    const std::filesystem::path scc =
        MediaFixtureFolder() /
        ("captions-" + std::to_string(std::hash<std::string>{}(text.str()) % 1000000007u) + ".scc");
    std::filesystem::create_directories(MediaFixtureFolder());
    if (!std::filesystem::exists(scc)) {
        const std::string partial = scc.string() + "." + std::to_string(getpid());
        std::ofstream(partial) << text.str();
        std::filesystem::rename(partial, scc);
    }
    return MakeMediaFixture(
        "c608.mov", {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=30000/1001", "-i", scc.string(),
                     "-t", "2", "-map", "0", "-map", "1", "-c:v", "mpeg4", "-c:s", "copy"});
}

// The frames of the file's first video stream as the command line decodes them, converted to
// BGRA with the given matrix ("bt601", "bt709") and range ("tv", "pc") by the same scaler flags
// as the reader.
inline std::vector<TMediaBytes> ReferenceFrames(const std::filesystem::path& file,
                                                const std::string& matrix, const std::string& range,
                                                size_t frameBytes) {
    const std::string output =
        (MediaFixtureFolder() / ("reference-" + std::to_string(getpid()) + ".bgra")).string();
    const std::string filter = "scale=flags=bicubic+full_chroma_int:in_color_matrix=" + matrix +
                               ":in_range=" + range + ",format=bgra";
    std::vector<TMediaBytes> frames;
    if (!RunFFmpeg({"-i", file.string(), "-map", "0:v:0", "-fps_mode", "passthrough", "-vf", filter,
                    "-f", "rawvideo"},
                   output))
        return frames;
    const TMediaBytes all = ReadMediaFile(output);
    std::filesystem::remove(output);
    for (size_t at = 0; at + frameBytes <= all.size(); at += frameBytes)
        frames.emplace_back(all.begin() + at, all.begin() + at + frameBytes);
    return frames;
}

// All audio streams of the file, channels side by side in stream order, resampled to 48 kHz
// 16-bit by the command line.
inline std::vector<int16_t> ReferenceAudio(const std::filesystem::path& file, int streams) {
    const std::string output =
        (MediaFixtureFolder() / ("reference-" + std::to_string(getpid()) + ".pcm")).string();
    std::vector<std::string> arguments = {"-i", file.string()};
    if (streams == 1) {
        arguments.insert(arguments.end(), {"-map", "0:a:0"});
    } else {
        std::string graph;
        for (int i = 0; i < streams; ++i)
            graph += "[0:a:" + std::to_string(i) + "]";
        graph += "amerge=inputs=" + std::to_string(streams) + "[a]";
        arguments.insert(arguments.end(), {"-filter_complex", graph, "-map", "[a]"});
    }
    arguments.insert(arguments.end(), {"-ar", "48000", "-c:a", "pcm_s16le", "-f", "s16le"});
    std::vector<int16_t> samples;
    if (!RunFFmpeg(arguments, output))
        return samples;
    const TMediaBytes bytes = ReadMediaFile(output);
    std::filesystem::remove(output);
    samples.resize(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// The largest difference of two equally long byte blocks (256 when their sizes differ).
inline int LargestDifference(const uint8_t* a, const uint8_t* b, size_t size) {
    int largest = 0;
    for (size_t i = 0; i < size; ++i)
        largest = std::max(largest, std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i])));
    return largest;
}

}  // namespace testing_support
