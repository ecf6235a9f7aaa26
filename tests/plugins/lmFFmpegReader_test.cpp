// The FFmpeg reader on files the ffmpeg command line makes: properties, frame-exact reads in any
// order against the command line's own decode, the audio cadences and the resampled sound,
// captions, time code, still images and damaged files.

#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegDeepYuvConverter.h"
#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"
#include "plugins/ffmpeg/lmFFmpegReader.h"
#include "plugins/interface/lmAudioCadence.h"
#include "support/TestMediaFixtures.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

TMediaBytes ReadFrame(TFFmpegReader& reader, int32_t frame) {
    TMediaBytes pixels(static_cast<size_t>(reader.FrameBytes()));
    EXPECT_TRUE(reader.ReadFrame(frame, pixels.data(), reader.Width() * 4));
    return pixels;
}

// Opens the fixture; a failure names the reader's reason.
void OpenFixture(TFFmpegReader& reader, const fs::path& file, bool still = false) {
    ASSERT_TRUE(fs::exists(file)) << file;
    ASSERT_TRUE(reader.Open(file.string(), {still})) << reader.ErrorText();
}

// Each frame read in a shuffled order, then all frames in order, against the command line's
// decode converted with `matrix` and `range`.
void ExpectFramesMatchReference(const fs::path& file, const std::string& matrix,
                                const std::string& range, int tolerance) {
    SCOPED_TRACE(file.filename().string());
    TFFmpegReader reader;
    OpenFixture(reader, file);
    const std::vector<TMediaBytes> reference =
        ReferenceFrames(file, matrix, range, static_cast<size_t>(reader.FrameBytes()));
    ASSERT_EQ(reference.size(), static_cast<size_t>(reader.FrameCount()));
    std::vector<int32_t> order(reference.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int32_t>(i);
    std::shuffle(order.begin(), order.end(), std::mt19937(15));
    for (const int32_t frame : order) {
        const TMediaBytes pixels = ReadFrame(reader, frame);
        ASSERT_LE(LargestDifference(pixels.data(), reference[frame].data(), pixels.size()),
                  tolerance)
            << "frame " << frame << " read at random";
    }
    TFFmpegReader sequential;
    OpenFixture(sequential, file);
    for (int32_t frame = 0; frame < sequential.FrameCount(); ++frame) {
        const TMediaBytes pixels = ReadFrame(sequential, frame);
        ASSERT_LE(LargestDifference(pixels.data(), reference[frame].data(), pixels.size()),
                  tolerance)
            << "frame " << frame << " read in order";
    }
    // Reading in order positions the demuxer once, for the first frame.
    EXPECT_LE(sequential.VideoSeeks(), 1);
}

std::vector<int16_t> ReadAllAudio(TFFmpegReader& reader, std::vector<int32_t>* perFrame = nullptr) {
    std::vector<int16_t> all;
    TMediaBytes pixels(static_cast<size_t>(reader.FrameBytes()));
    std::vector<int16_t> audio(48000 * reader.AudioChannels());
    for (int32_t frame = 0; frame < reader.FrameCount(); ++frame) {
        int32_t bytes = -1;
        EXPECT_TRUE(reader.ReadFrameAudio(frame, pixels.data(), reader.Width() * 4, audio.data(),
                                          static_cast<int32_t>(audio.size() * 2), &bytes));
        if (perFrame != nullptr)
            perFrame->push_back(bytes / 2 / std::max(reader.AudioChannels(), 1));
        all.insert(all.end(), audio.begin(), audio.begin() + bytes / 2);
    }
    return all;
}

// The reader's sound equals the command line's 48 kHz resample of the same file, as far as
// both go (the clip's last block is padded with silence).
void ExpectAudioMatchesReference(const fs::path& file, int streams, int channels) {
    TFFmpegReader reader;
    OpenFixture(reader, file);
    ASSERT_EQ(reader.AudioChannels(), channels);
    const std::vector<int16_t> ours = ReadAllAudio(reader);
    const std::vector<int16_t> reference = ReferenceAudio(file, streams);
    ASSERT_GT(reference.size(), 0u);
    const size_t common = std::min(ours.size(), reference.size());
    // Within a frame's worth of samples of each other.
    EXPECT_LT(std::max(ours.size(), reference.size()) - common,
              static_cast<size_t>(2000 * channels));
    size_t differing = 0;
    for (size_t i = 0; i < common; ++i)
        differing += ours[i] != reference[i];
    EXPECT_EQ(differing, 0u) << "of " << common << " samples";
    EXPECT_LE(reader.AudioSeeks(), 1);
}

TEST(FFmpegFrameTiming, CadencesOfFiveFrameBlocks) {
    const struct {
        double Rate;
        std::vector<int32_t> Samples;
        std::vector<int32_t> Offsets;
        int32_t Block;
    } cases[] = {
        {29.97, {1602, 1602, 1601, 1602, 1601}, {0, 1602, 3204, 4805, 6407}, 8008},
        {59.94, {801, 801, 801, 801, 800}, {0, 801, 1602, 2403, 3204}, 4004},
        {25.0, {1920, 1920, 1920, 1920, 1920}, {0, 1920, 3840, 5760, 7680}, 9600},
        {23.98, {2002, 2002, 2002, 2002, 2002}, {0, 2002, 4004, 6006, 8008}, 10010},
    };
    for (const auto& c : cases) {
        for (int64_t frame = 0; frame < 10; ++frame) {
            const TFrameAudioSlot cadence = AudioCadence(c.Rate, frame);
            EXPECT_EQ(cadence.Samples, c.Samples[frame % 5]) << c.Rate << " frame " << frame;
            EXPECT_EQ(cadence.Offset, c.Offsets[frame % 5]) << c.Rate << " frame " << frame;
            EXPECT_EQ(cadence.BlockSamples, c.Block) << c.Rate;
        }
    }
    EXPECT_FLOAT_EQ(static_cast<float>(RoundedFrameRate(30000.0 / 1001.0)), 29.97f);
    EXPECT_FLOAT_EQ(static_cast<float>(RoundedFrameRate(60000.0 / 1001.0)), 59.94f);
    EXPECT_EQ(PreferredBufferCount(1920ll * 1080 * 4, 1000), 5);
    EXPECT_EQ(PreferredBufferCount(320ll * 240 * 4, 2), 4);
}

// The AVI plug-in and the movie encoder cut sound with the interface's cadence and hand other
// work to this reader, which has its own: both live in one library and must agree.
TEST(AudioCadence, AgreesWithTheFFmpegReadersCadence) {
    for (const double rate : {23.98, 24.0, 25.0, 29.97, 30.0, 50.0, 59.94, 60.0}) {
        const TAudioCadence cadence(rate);
        for (int64_t frame = 0; frame < 12; ++frame) {
            const TFrameAudioSlot slot = AudioCadence(rate, frame);
            EXPECT_EQ(cadence.Samples(frame), slot.Samples) << rate << " frame " << frame;
            EXPECT_EQ(cadence.FirstSample(frame) - cadence.FirstSample(frame - frame % 5),
                      slot.Offset)
                << rate << " frame " << frame;
        }
    }
}

// Whatever rate a file claims, a frame's share of sound stays between none and 100 seconds.
TEST(AudioCadence, RatesAFileClaimsStayInRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    for (const double rate : {4e9, 1e300, infinity, nan, -5.0, 0.0, 1e-9, 0.01}) {
        const TAudioCadence cadence(rate);
        EXPECT_GE(cadence.SamplesPerFrame(), 0) << rate;
        EXPECT_LE(cadence.SamplesPerFrame(), 4800000) << rate;
        for (const int64_t frame : {int64_t{-7}, int64_t{0}, int64_t{3}, int64_t{2147483647}}) {
            EXPECT_GE(cadence.Samples(frame), 0) << rate << " frame " << frame;
            EXPECT_LE(cadence.Samples(frame), 4800000) << rate << " frame " << frame;
        }
    }
    EXPECT_EQ(TAudioCadence(nan).SamplesPerFrame(), 1920);
    EXPECT_EQ(TAudioCadence(4e9).SamplesPerFrame(), 0);
}

TEST(FFmpegReader, H264WithBFramesReadsEveryFrameExactlyInAnyOrder) {
    const fs::path file = MediaFixture("h264_aac.mp4");
    TFFmpegReader reader;
    OpenFixture(reader, file);
    EXPECT_EQ(reader.Width(), 192);
    EXPECT_EQ(reader.Height(), 108);
    EXPECT_EQ(reader.FrameCount(), 75);
    EXPECT_FLOAT_EQ(static_cast<float>(reader.FrameRate()), 25.0f);
    EXPECT_EQ(reader.BitDepth(), 24);
    EXPECT_FALSE(reader.Interlaced());
    EXPECT_EQ(reader.AudioChannels(), 2);
    EXPECT_FALSE(reader.HasCaptions());
    // Small frames that the stream does not declare a matrix for are BT.601, limited range.
    ExpectFramesMatchReference(file, "bt601", "tv", 1);
}

TEST(FFmpegReader, StereoAACIsResampledTo48kHzInTheCadenceOf25) {
    const fs::path file = MediaFixture("h264_aac.mp4");
    TFFmpegReader reader;
    OpenFixture(reader, file);
    std::vector<int32_t> perFrame;
    ReadAllAudio(reader, &perFrame);
    EXPECT_TRUE(std::all_of(perFrame.begin(), perFrame.end(), [](int32_t s) { return s == 1920; }));
    ExpectAudioMatchesReference(file, 1, 2);
}

TEST(FFmpegReader, FramesPastTheEndRepeatTheLastFrame) {
    TFFmpegReader reader;
    OpenFixture(reader, MediaFixture("h264_aac.mp4"));
    const TMediaBytes last = ReadFrame(reader, reader.FrameCount() - 1);
    EXPECT_EQ(ReadFrame(reader, reader.FrameCount() + 10), last);
    EXPECT_NE(ReadFrame(reader, 0), last);
}

TEST(FFmpegReader, ReadsIntoARowPitchWiderThanTheFrame) {
    TFFmpegReader reader;
    OpenFixture(reader, MediaFixture("h264_aac.mp4"));
    const TMediaBytes packed = ReadFrame(reader, 7);
    const int32_t pitch = reader.Width() * 4 + 12;
    TMediaBytes padded(static_cast<size_t>(pitch) * reader.Height(), 0xEE);
    ASSERT_TRUE(reader.ReadFrame(7, padded.data(), pitch));
    for (int32_t row = 0; row < reader.Height(); ++row) {
        ASSERT_TRUE(std::equal(packed.begin() + row * reader.Width() * 4,
                               packed.begin() + (row + 1) * reader.Width() * 4,
                               padded.begin() + static_cast<size_t>(row) * pitch));
        EXPECT_EQ(padded[static_cast<size_t>(row) * pitch + reader.Width() * 4], 0xEE);
    }
}

TEST(FFmpegReader, ProRes4444KeepsItsAlpha) {
    const fs::path file = MediaFixture("prores4444.mov");
    TFFmpegReader reader;
    OpenFixture(reader, file);
    EXPECT_EQ(reader.BitDepth(), 32);
    const TMediaBytes frame = ReadFrame(reader, 3);
    // Alpha rises from left to right.
    EXPECT_LT(frame[3], 8);
    EXPECT_GT(frame[(reader.Width() - 1) * 4 + 3], 245);
    ExpectFramesMatchReference(file, "bt601", "tv", 1);
}

TEST(FFmpegReader, InterlacedClipsReportTheirFieldOrder) {
    const struct {
        const char* Name;
        int32_t FieldOrder;
    } cases[] = {{"tff2997.mov", 1}, {"bff2997.mov", 2}};
    for (const auto& c : cases) {
        TFFmpegReader reader;
        OpenFixture(reader, MediaFixture(c.Name));
        EXPECT_TRUE(reader.Interlaced()) << c.Name;
        EXPECT_EQ(reader.FieldOrder(), c.FieldOrder) << c.Name;
        EXPECT_FLOAT_EQ(static_cast<float>(reader.FrameRate()), 29.97f) << c.Name;
    }
}

TEST(FFmpegReader, AudioFollowsThe2997And5994Cadences) {
    const struct {
        const char* Name;
        std::vector<int32_t> Samples;
    } cases[] = {{"tff2997.mov", {1602, 1602, 1601, 1602, 1601}},
                 {"p5994.mp4", {801, 801, 801, 801, 800}}};
    for (const auto& c : cases) {
        TFFmpegReader reader;
        OpenFixture(reader, MediaFixture(c.Name));
        std::vector<int32_t> perFrame;
        ReadAllAudio(reader, &perFrame);
        ASSERT_GE(perFrame.size(), 10u) << c.Name;
        for (size_t i = 0; i < perFrame.size(); ++i)
            ASSERT_EQ(perFrame[i], c.Samples[i % 5]) << c.Name << " frame " << i;
    }
    ExpectAudioMatchesReference(MediaFixture("tff2997.mov"), 1, 1);
    ExpectAudioMatchesReference(MediaFixture("p5994.mp4"), 1, 2);
}

TEST(FFmpegReader, SixChannelSoundKeepsEveryChannel) {
    ExpectAudioMatchesReference(MediaFixture("six.mov"), 1, 6);
}

TEST(FFmpegReader, AudioReadAtRandomEqualsAudioReadInOrder) {
    TFFmpegReader inOrder;
    OpenFixture(inOrder, MediaFixture("six.mov"));
    const std::vector<int16_t> all = ReadAllAudio(inOrder);
    TFFmpegReader random;
    OpenFixture(random, MediaFixture("six.mov"));
    TMediaBytes pixels(static_cast<size_t>(random.FrameBytes()));
    std::vector<int16_t> audio(1920 * 6);
    for (const int32_t frame : {37, 3, 22, 10, 49, 0}) {
        int32_t bytes = 0;
        ASSERT_TRUE(random.ReadFrameAudio(frame, pixels.data(), random.Width() * 4, audio.data(),
                                          static_cast<int32_t>(audio.size() * 2), &bytes));
        ASSERT_EQ(bytes, 1920 * 6 * 2);
        EXPECT_TRUE(std::equal(audio.begin(), audio.end(), all.begin() + frame * 1920 * 6))
            << "frame " << frame;
    }
}

// Variable-rate sources play at their typical rate, each frame showing the picture stamped
// last before the middle of the frame's time: through a six-second hole in the stamps the
// picture before it repeats, and where pictures come twice as fast every other one is dropped.
// The sound, which runs all through, stays with the pictures.
TEST(FFmpegReader, VariableRateClipsShowThePictureOfEachFramesTime) {
    const struct {
        const char* Name;
        int32_t Frames;
        size_t Pictures;
        // The picture (in the command line's decode) that each frame shows.
        std::function<size_t(int32_t)> PictureOf;
    } cases[] = {
        // Stamped 0 s to 1.96 s, then 8 s to 11.96 s: at 5 s the picture of 1.96 s shows.
        {"gap.mkv", 300, 150, [](int32_t f) { return f < 50    ? f
                                                     : f < 200 ? 49
                                                               : f - 150; }},
        {"gap.mov", 300, 150, [](int32_t f) { return f < 50    ? f
                                                     : f < 200 ? 49
                                                               : f - 150; }},
        // Every 20 ms to 0.98 s, then every 40 ms to 3.96 s.
        {"burst.mkv", 100, 125, [](int32_t f) { return f < 25 ? 2 * f : f + 25; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path file = MediaFixture(c.Name);
        TFFmpegReader reader;
        OpenFixture(reader, file);
        EXPECT_EQ(reader.FrameCount(), c.Frames);
        EXPECT_FLOAT_EQ(static_cast<float>(reader.FrameRate()), 25.0f);
        const std::vector<TMediaBytes> pictures =
            ReferenceFrames(file, "bt601", "tv", static_cast<size_t>(reader.FrameBytes()));
        ASSERT_EQ(pictures.size(), c.Pictures);
        auto expectFrame = [&](TFFmpegReader& from, int32_t frame) {
            const TMediaBytes pixels = ReadFrame(from, frame);
            ASSERT_LE(LargestDifference(pixels.data(), pictures[c.PictureOf(frame)].data(),
                                        pixels.size()),
                      1)
                << "frame " << frame;
        };
        for (const int32_t frame : {125, 200, 0, 299, 199, 49, 50, 230, 125, 13, 24, 25, 99})
            if (frame < c.Frames)
                expectFrame(reader, frame);
        TFFmpegReader sequential;
        OpenFixture(sequential, file);
        for (int32_t frame = 0; frame < sequential.FrameCount(); ++frame)
            expectFrame(sequential, frame);
        EXPECT_LE(sequential.VideoSeeks(), 1);
        // The sound of each frame is the file's sound at the frame's time.
        ExpectAudioMatchesReference(file, 1, 1);
    }
}

// Sound with a hole in its stamps keeps its time: silence through the hole, and what follows
// where its stamps put it.
TEST(FFmpegReader, SoundWithAHoleInItsStampsKeepsItsTime) {
    TFFmpegReader reader;
    OpenFixture(reader, MediaFixture("audiogap.mkv"));
    ASSERT_EQ(reader.FrameCount(), 200);
    ASSERT_EQ(reader.AudioChannels(), 1);
    const std::vector<int16_t> sound = ReadAllAudio(reader);
    ASSERT_EQ(sound.size(), 8u * 48000);
    // The peak of each second but its first and last 50 ms: 0.1 higher each second, none in the
    // hole from 2 s to 4 s.
    for (int second = 0; second < 8; ++second) {
        int peak = 0;
        for (int i = second * 48000 + 2400; i < (second + 1) * 48000 - 2400; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(sound[i])));
        const double expected = second == 2 || second == 3 ? 0.0 : 0.1 * (second + 1);
        EXPECT_NEAR(peak / 32768.0, expected, 0.01) << "second " << second;
    }
    EXPECT_LE(reader.AudioSeeks(), 1);
}

TEST(FFmpegReader, MXFWithEightMonoTracksGivesEightChannelsAndItsTimeCode) {
    const fs::path file = MediaFixture("mpeg2_422.mxf");
    TFFmpegReader reader;
    OpenFixture(reader, file);
    EXPECT_EQ(reader.Width(), 720);
    EXPECT_EQ(reader.FrameCount(), 50);
    EXPECT_EQ(reader.StartTimeCode(), "10:00:00:00");
    EXPECT_EQ(reader.FieldOrder(), 1);
    ExpectAudioMatchesReference(file, 8, 8);
    ExpectFramesMatchReference(file, "bt601", "tv", 1);
}

TEST(FFmpegReader, DNxHRInMXFAndH264InTransportStreamReadExactly) {
    // The DNxHR stream declares BT.709.
    ExpectFramesMatchReference(MediaFixture("dnxhr.mxf"), "bt709", "tv", 1);
    ExpectFramesMatchReference(MediaFixture("h264.ts"), "bt601", "tv", 1);
}

TEST(FFmpegReader, BT709FullRangeConvertsWithTheStreamsMatrixAndRange) {
    ExpectFramesMatchReference(MediaFixture("bt709full.mp4"), "bt709", "pc", 1);
}

// Deep 4:4:4 pictures take the table converter; they match the scaler's conversion as closely.
TEST(FFmpegReader, Deep444PicturesConvertWithTheStreamsMatrixAndRange) {
    ExpectFramesMatchReference(MediaFixture("deep444full.mkv"), "bt709", "pc", 1);
    ExpectFramesMatchReference(MediaFixture("deep444bt2020.mkv"), "bt2020", "tv", 1);
}

// Wide rows go eight pixels at a time, their ends one by one: a pixel must convert alike on
// either path, land in its own place, and the extremes must come out exact.
TEST(FFmpegDeepYuvConverter, EveryPixelConvertsAlikeWhereverItSitsInTheRow) {
    constexpr int kWidth = 29;
    constexpr int kHeight = 3;
    constexpr int kMax = 4095;
    TAVFramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUVA444P12LE;
    picture->width = kWidth;
    picture->height = kHeight;
    ASSERT_GE(av_frame_get_buffer(picture.get(), 0), 0);
    std::mt19937 random(11);
    for (int plane = 0; plane < 4; ++plane) {
        for (int row = 0; row < kHeight; ++row) {
            auto* codes =
                reinterpret_cast<uint16_t*>(picture->data[plane] + row * picture->linesize[plane]);
            // Bits above the twelve a damaged picture may carry are masked off.
            for (int x = 0; x < kWidth; ++x)
                codes[x] = static_cast<uint16_t>(random());
        }
    }
    // The first row starts white and opaque, black and clear, then pure red.
    auto set = [&](int x, std::array<uint16_t, 4> yuva) {
        for (int plane = 0; plane < 4; ++plane)
            reinterpret_cast<uint16_t*>(picture->data[plane])[x] = yuva[plane];
    };
    set(0, {kMax, 2048, 2048, kMax});
    set(1, {0, 2048, 2048, 0});
    set(2, {1220, 1360, kMax, kMax});
    TFFmpegDeepYuvConverter converter;
    converter.Prepare(AV_PIX_FMT_YUVA444P12LE, sws_getCoefficients(SWS_CS_ITU601), true);
    auto convert = [&](int skip) {
        AVFrame view = *picture;
        for (int plane = 0; plane < 4; ++plane)
            view.data[plane] += skip * 2;
        std::vector<uint32_t> pixels(static_cast<size_t>((kWidth - skip) * kHeight));
        converter.Convert(view, kWidth - skip, kHeight, reinterpret_cast<uint8_t*>(pixels.data()),
                          (kWidth - skip) * 4);
        return pixels;
    };
    const std::vector<uint32_t> whole = convert(0);
    EXPECT_EQ(whole[0], 0xFFFFFFFFu);
    EXPECT_EQ(whole[1], 0x00000000u);
    EXPECT_EQ(whole[2] & 0xFFFFFF00u, 0xFFFF0000u) << std::hex << whole[2];
    EXPECT_LE(whole[2] & 0xFFu, 1u) << std::hex << whole[2];
    for (int skip = 1; skip < 8; ++skip) {
        const std::vector<uint32_t> shifted = convert(skip);
        for (int row = 0; row < kHeight; ++row) {
            for (int x = 0; x < kWidth - skip; ++x) {
                ASSERT_EQ(shifted[row * (kWidth - skip) + x], whole[row * kWidth + x + skip])
                    << "row " << row << ", pixel " << x + skip << ", skip " << skip;
            }
        }
    }
}

TEST(FFmpegReader, CaptionTrackPairsEqualTheSCCSource) {
    TFFmpegReader reader;
    OpenFixture(reader, CaptionFixture());
    ASSERT_TRUE(reader.HasCaptions());
    auto pairsOf = [](const std::string& line) {
        std::vector<std::array<uint8_t, 2>> pairs;
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            const auto value = std::stoul(word, nullptr, 16);
            pairs.push_back({static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
        }
        return pairs;
    };
    const struct {
        int32_t FirstFrame;
        const char* Line;
    } lines[] = {{0, kFixtureSccLines[0]}, {30, kFixtureSccLines[1]}};
    for (const auto& line : lines) {
        const auto pairs = pairsOf(line.Line);
        for (size_t i = 0; i < pairs.size(); ++i) {
            uint8_t pair[2] = {};
            ASSERT_TRUE(reader.CaptionPair(line.FirstFrame + static_cast<int32_t>(i), pair))
                << "frame " << line.FirstFrame + i;
            EXPECT_EQ(pair[0], pairs[i][0]) << "frame " << line.FirstFrame + i;
            EXPECT_EQ(pair[1], pairs[i][1]) << "frame " << line.FirstFrame + i;
        }
    }
    uint8_t pair[2] = {};
    EXPECT_FALSE(reader.CaptionPair(20, pair));
}

// The caption pair the A/53 fixture carries in frame `frame`.
std::array<uint8_t, 2> A53Pair(int32_t frame) {
    return {static_cast<uint8_t>(0x80 | (frame & 0x7F)), static_cast<uint8_t>(0x41 + frame % 26)};
}

// H.264 in MP4 with one CEA-608 pair per frame in A/53 user data: an encoded elementary stream
// with an SEI message (ITU-T T.35, "GA94" cc_data) put before each picture's slice.
fs::path A53Fixture() {
    const fs::path plain = MakeMediaFixture(
        "a53_plain.h264", {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-t", "2", "-c:v",
                           "libx264", "-bf", "0", "-threads", "1", "-g", "10"});
    const TMediaBytes stream = ReadMediaFile(plain);
    TMediaBytes marked;
    int32_t frame = 0;
    for (size_t i = 0; i < stream.size(); ++i) {
        const bool startCode =
            i + 4 < stream.size() && stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1;
        const int type = startCode ? stream[i + 3] & 0x1F : 0;
        if (type == 1 || type == 5) {
            const std::array<uint8_t, 2> pair = A53Pair(frame++);
            const uint8_t sei[] = {0,    0,    1,    0x06,    0x04,    14,   0xB5,
                                   0x00, 0x31, 'G',  'A',     '9',     '4',  0x03,
                                   0x41, 0xFF, 0xFC, pair[0], pair[1], 0xFF, 0x80};
            marked.insert(marked.end(), std::begin(sei), std::end(sei));
        }
        marked.push_back(stream[i]);
    }
    const fs::path withCaptions = plain.parent_path() / (plain.stem().string() + "-a53.h264");
    if (!fs::exists(withCaptions)) {
        const fs::path partial = withCaptions.string() + "." + std::to_string(getpid());
        std::ofstream(partial, std::ios::binary)
            .write(reinterpret_cast<const char*>(marked.data()),
                   static_cast<std::streamsize>(marked.size()));
        fs::rename(partial, withCaptions);
    }
    return MakeMediaFixture("a53.mp4", {"-r", "25", "-i", withCaptions.string(), "-c", "copy"});
}

TEST(FFmpegReader, CaptionsInTheVideoStreamComeOutPerFrame) {
    TFFmpegReader reader;
    OpenFixture(reader, A53Fixture());
    ASSERT_EQ(reader.FrameCount(), 50);
    ASSERT_TRUE(reader.HasCaptions());
    // Asked before the frames were read, and at random.
    for (const int32_t frame : {17, 3, 49, 0, 30, 31, 12}) {
        uint8_t pair[2] = {};
        ASSERT_TRUE(reader.CaptionPair(frame, pair)) << "frame " << frame;
        EXPECT_EQ(pair[0], A53Pair(frame)[0]) << "frame " << frame;
        EXPECT_EQ(pair[1], A53Pair(frame)[1]) << "frame " << frame;
    }
    // After reading every frame, as the server asks for them.
    TFFmpegReader rendered;
    OpenFixture(rendered, A53Fixture());
    for (int32_t frame = 0; frame < rendered.FrameCount(); ++frame)
        ReadFrame(rendered, frame);
    for (int32_t frame = 0; frame < rendered.FrameCount(); ++frame) {
        uint8_t pair[2] = {};
        ASSERT_TRUE(rendered.CaptionPair(frame, pair)) << "frame " << frame;
        EXPECT_EQ(pair[0], A53Pair(frame)[0]) << "frame " << frame;
        EXPECT_EQ(pair[1], A53Pair(frame)[1]) << "frame " << frame;
    }
}

TEST(FFmpegReader, StillImagesAreOneFrameWithoutRateAndKeepAlpha) {
    const struct {
        const char* Name;
        int32_t BitDepth;
        int Tolerance;
    } cases[] = {{"rgb.png", 24, 0},   {"rgba.png", 32, 0}, {"rgba64.png", 32, 1},
                 {"photo.jpg", 24, 1}, {"rgba.tga", 32, 0}, {"rgb.tga", 24, 0},
                 {"rgb.tif", 24, 0},   {"rgba.tif", 32, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path file = MediaFixture(c.Name);
        TFFmpegReader reader;
        OpenFixture(reader, file, true);
        EXPECT_EQ(reader.FrameCount(), 1);
        EXPECT_LT(reader.FrameRate(), 0.0);
        EXPECT_EQ(reader.BitDepth(), c.BitDepth);
        EXPECT_EQ(reader.AudioChannels(), 0);
        const std::vector<TMediaBytes> reference =
            ReferenceFrames(file, "bt601", "pc", static_cast<size_t>(reader.FrameBytes()));
        ASSERT_EQ(reference.size(), 1u);
        const TMediaBytes pixels = ReadFrame(reader, 0);
        EXPECT_LE(LargestDifference(pixels.data(), reference[0].data(), pixels.size()),
                  c.Tolerance);
    }
}

// A file that names other files (a concatenation list, an HLS playlist) is refused with the
// reason, and the file it names is never opened: a dropped file reaches nothing beside it.
TEST(FFmpegReader, ListsOfOtherFilesAreRefusedWithoutOpeningWhatTheyName) {
    const fs::path folder = MediaFixtureFolder() / ("lists-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path named = folder / "other.ts";
    fs::copy_file(MediaFixture("h264.ts"), named);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, named.c_str(), IN_OPEN | IN_ACCESS), 0);
    auto touched = [watch] {
        alignas(inotify_event) char events[4096];
        bool any = false;
        while (read(watch, events, sizeof events) > 0)
            any = true;
        return any;
    };
    const struct {
        const char* Name;
        const char* Text;
        const char* Format;
    } cases[] = {
        {"list.mov", "ffconcat version 1.0\nfile 'other.ts'\n", "concat"},
        {"list.ts",
         "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n#EXTINF:2.0,\nother.ts\n"
         "#EXT-X-ENDLIST\n",
         "hls"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::ofstream(folder / c.Name) << c.Text;
        TFFmpegReader reader;
        EXPECT_FALSE(reader.Open((folder / c.Name).string()));
        EXPECT_NE(reader.ErrorText().find("names other files"), std::string::npos)
            << reader.ErrorText();
        EXPECT_NE(reader.ErrorText().find(c.Format), std::string::npos) << reader.ErrorText();
        EXPECT_FALSE(touched()) << "the named file was opened";
    }
    // The watch sees the named file opened when it is opened itself.
    TFFmpegReader direct;
    EXPECT_TRUE(direct.Open(named.string())) << direct.ErrorText();
    EXPECT_TRUE(touched());
    close(watch);
    fs::remove_all(folder);
}

// A damaged file fails to open with the libraries' reason, or reads what decodes.
TEST(FFmpegReader, DamagedFilesFailWithAReasonOrReadWhatDecodes) {
    const fs::path folder = MediaFixtureFolder() / ("damaged-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const TMediaBytes mov = ReadMediaFile(MediaFixture("tff2997.mov"));
    const TMediaBytes mxf = ReadMediaFile(MediaFixture("mpeg2_422.mxf"));
    auto write = [&](const std::string& name, const TMediaBytes& bytes, size_t size) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(std::min(size, bytes.size())));
        return folder / name;
    };
    TMediaBytes noise(200000);
    std::mt19937 random(7);
    for (uint8_t& byte : noise)
        byte = static_cast<uint8_t>(random());

    {
        // The movie header sits at the end, after the media: cut off, nothing can be read.
        TFFmpegReader reader;
        EXPECT_FALSE(reader.Open(write("truncated.mov", mov, mov.size() / 2).string()));
        EXPECT_NE(reader.ErrorText().find("moov atom not found"), std::string::npos)
            << reader.ErrorText();
    }
    for (const bool still : {false, true}) {
        TFFmpegReader reader;
        EXPECT_FALSE(reader.Open(write("empty.bin", noise, 0).string(), {.Still = still}));
        EXPECT_NE(reader.ErrorText().find("the file is empty"), std::string::npos)
            << reader.ErrorText();
    }
    {
        TFFmpegReader reader;
        EXPECT_FALSE(reader.Open(write("noise.mp4", noise, noise.size()).string()));
        EXPECT_FALSE(reader.ErrorText().empty());
    }
    {
        TFFmpegReader reader;
        if (reader.Open(write("cut.mxf", mxf, mxf.size() / 2).string())) {
            EXPECT_GT(reader.FrameCount(), 0);
            for (int32_t frame = reader.FrameCount() + 2; frame >= 0; frame -= 7)
                ReadFrame(reader, frame);
            ReadAllAudio(reader);
        } else {
            EXPECT_FALSE(reader.ErrorText().empty());
        }
    }
    fs::remove_all(folder);
}

}  // namespace
