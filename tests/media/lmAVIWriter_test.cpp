#include "server/media/lmAVIWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "codecs/lmvc/lmvcEncoder.h"
#include "plugins/interface/lmCompressorModule.h"
#include "support/TestProcess.h"

using testing_support::RunProcess;

namespace {

// A file past 4 GiB: five RIFF parts, read to the last frame by ffprobe and by lmvctool. Noise
// does not compress, so one coded frame written many times reaches the size quickly.
TEST(AVIWriter, FilesAbove4GiBAreReadToTheLastFrame) {
    const std::filesystem::path path = std::filesystem::path(LMV_TEST_BINARY_DIR) / "large.avi";
    if (std::filesystem::space(path.parent_path()).available < (uint64_t{10} << 30)) {
        GTEST_SKIP() << "less than 10 GiB free for the 4 GiB file";
    }
#if defined(__SANITIZE_THREAD__)
    // Writing 4 GiB through the thread sanitizer's instrumentation takes minutes.
    GTEST_SKIP() << "not under ThreadSanitizer: the other builds write the 4 GiB file";
#endif
    const int w = 4096, h = 2160;
    std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4);
    std::mt19937 random(7);
    for (auto& b : frame) {
        b = static_cast<uint8_t>(random());
    }
    TLmvcEncoder encoder;
    ASSERT_TRUE(encoder.Configure({w, h, 32, true, 0}, 2));
    std::vector<uint8_t> coded;
    ASSERT_TRUE(encoder.EncodeFrame(frame.data(), frame.size(), coded));

    TAVIVideoFormat format{LmFourCC('L', 'M', 'V', 'C'), w, h, 32, 25, 1, 400000};
    const uint32_t frames = static_cast<uint32_t>((uint64_t{4} << 30) / coded.size() + 8);
    {
        TAVIWriter writer;
        ASSERT_TRUE(writer.Open(path.string(), format, nullptr));
        for (uint32_t i = 0; i < frames; ++i) {
            ASSERT_TRUE(writer.WriteVideo(coded.data(), coded.size(), true)) << writer.LastError();
        }
        EXPECT_GE(writer.Parts(), 5u);
        ASSERT_TRUE(writer.Close()) << writer.LastError();
    }
    EXPECT_GT(std::filesystem::file_size(path), uint64_t{4} << 30);

    const auto probe =
        RunProcess({"ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                    "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path.string()});
    EXPECT_EQ(probe.Output, std::to_string(frames) + "\n");
    const std::string tool = std::string(LMV_STAGE_DIR) + "/lmvctool";
    const auto verify = RunProcess({tool, "verify", path.string()});
    EXPECT_EQ(verify.ExitCode, 0) << verify.Output;
    EXPECT_EQ(verify.Output, "ok: " + std::to_string(frames) + " frames\n");
    std::filesystem::remove(path);
}

// Clips longer than the 256 parts players expect room for at least, written with tiny parts.
// The super indexes are sized at Open for the announced frames; a frame past them, or a part
// the super index has no room for, is refused with a clear error, and the file is still
// completed with everything before it.
TEST(AVIWriter, SuperIndexIsSizedForTheAnnouncedClip) {
    const int w = 8, h = 8;
    std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4);
    std::mt19937 random(11);
    for (auto& b : frame) {
        b = static_cast<uint8_t>(random());
    }
    TLmvcEncoder encoder;
    ASSERT_TRUE(encoder.Configure({w, h, 32, true, 0}, 1));
    std::vector<uint8_t> coded;
    ASSERT_TRUE(encoder.EncodeFrame(frame.data(), frame.size(), coded));
    TAVIVideoFormat format{LmFourCC('L', 'M', 'V', 'C'),
                           w,
                           h,
                           32,
                           25,
                           1,
                           400000,
                           static_cast<uint32_t>(encoder.MaxCompressedSize())};
    // Room for two or three frames in a part.
    const uint64_t partLimit = 3 * (coded.size() + 32);

    struct TCase {
        const char* Name;
        uint32_t Announced, Offered, Accepted;  // Accepted 0: up to the full super index
        const char* Error;
    };
    const TCase cases[] = {
        {"announced", 1200, 1200, 1200, ""},
        {"longer than announced", 1200, 1210, 1200, "more frames than the 1200 announced"},
        {"not announced", 0, 1200, 0, "more RIFF parts than the 256"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::filesystem::path path =
            std::filesystem::path(LMV_TEST_BINARY_DIR) / "superindex.avi";
        TAVIWriter writer(partLimit);
        ASSERT_TRUE(writer.Open(path.string(), format, nullptr, true, c.Announced));
        uint32_t accepted = 0;
        while (accepted < c.Offered && writer.WriteVideo(coded.data(), coded.size(), true)) {
            ++accepted;
        }
        EXPECT_EQ(writer.VideoFrames(), accepted);
        if (c.Accepted != 0) {
            EXPECT_EQ(accepted, c.Accepted);
        } else {
            EXPECT_EQ(writer.Parts(), TAVIWriter::kMinSuperIndexEntries);
        }
        EXPECT_EQ(writer.Close(), *c.Error == '\0');
        EXPECT_NE(writer.LastError().find(c.Error), std::string::npos) << writer.LastError();
        if (c.Announced != 0) {
            EXPECT_GT(writer.Parts(), TAVIWriter::kMinSuperIndexEntries);
        }

        const auto probe = RunProcess({"ffprobe", "-v", "error", "-count_packets", "-show_entries",
                                       "stream=nb_read_packets", "-of", "csv=p=0", path.string()});
        EXPECT_EQ(probe.Output, std::to_string(accepted) + "\n");
        const auto verify =
            RunProcess({std::string(LMV_STAGE_DIR) + "/lmvctool", "verify", path.string()});
        EXPECT_EQ(verify.Output, "ok: " + std::to_string(accepted) + " frames\n");
        std::filesystem::remove(path);
    }
}

TEST(AVIWriter, RefusesBadInput) {
    const std::filesystem::path path = std::filesystem::path(LMV_TEST_BINARY_DIR) / "bad.avi";
    TAVIWriter writer;
    EXPECT_FALSE(writer.Open(path.string(), TAVIVideoFormat{}, nullptr));
    TAVIVideoFormat format{LmFourCC('L', 'M', 'V', 'C'), 4, 4, 32, 25, 1, 400000};
    ASSERT_TRUE(writer.Open(path.string(), format, nullptr));
    const uint8_t data[4] = {};
    EXPECT_FALSE(writer.WriteAudio(data, 4));  // no audio stream
    EXPECT_FALSE(writer.Close());              // the failure is kept
    std::filesystem::remove(path);
}

}  // namespace
