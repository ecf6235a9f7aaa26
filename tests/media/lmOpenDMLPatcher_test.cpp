#include "server/media/lmOpenDMLPatcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "foundation/kxByteOrder.h"

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return LoadLE32(b.data() + at);
}

void Put(std::vector<uint8_t>& b, const char* code, uint32_t size) {
    b.insert(b.end(), code, code + 4);
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(size >> (8 * i)));
    }
}

// A minimal AVI header: RIFF 'AVI ' > LIST hdrl > (avih, LIST odml > dmlh of dmlhSize), and a
// movi list behind it. The dmlh content is a counting pattern after the frame count.
std::vector<uint8_t> MakeFile(uint32_t dmlhSize, uint32_t frames) {
    std::vector<uint8_t> odml;
    Put(odml, "LIST", 4 + 8 + dmlhSize);
    odml.insert(odml.end(), {'o', 'd', 'm', 'l'});
    Put(odml, "dmlh", dmlhSize);
    for (int i = 0; i < 4; ++i) {
        odml.push_back(static_cast<uint8_t>(frames >> (8 * i)));
    }
    for (uint32_t i = 4; i < dmlhSize; ++i) {
        odml.push_back(static_cast<uint8_t>(i * 7));
    }
    std::vector<uint8_t> hdrl;
    Put(hdrl, "LIST", static_cast<uint32_t>(4 + 8 + 56 + odml.size()));
    hdrl.insert(hdrl.end(), {'h', 'd', 'r', 'l'});
    Put(hdrl, "avih", 56);
    hdrl.insert(hdrl.end(), 56, 0xAB);
    hdrl.insert(hdrl.end(), odml.begin(), odml.end());
    std::vector<uint8_t> file;
    Put(file, "RIFF", static_cast<uint32_t>(4 + hdrl.size() + 12 + 16));
    file.insert(file.end(), {'A', 'V', 'I', ' '});
    file.insert(file.end(), hdrl.begin(), hdrl.end());
    Put(file, "LIST", 4 + 16);
    file.insert(file.end(), {'m', 'o', 'v', 'i'});
    Put(file, "00dc", 8);
    file.insert(file.end(), 8, 0xCD);
    return file;
}

class OpenDMLPatcher : public testing::Test {
  protected:
    std::filesystem::path Path =
        std::filesystem::path(LMV_TEST_BINARY_DIR) /
        ("patch_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
         ".avi");
    void TearDown() override { std::filesystem::remove(Path); }
    void Write(const std::vector<uint8_t>& b) {
        std::ofstream(Path, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    std::vector<uint8_t> Read() {
        std::ifstream in(Path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(OpenDMLPatcher, WorkedExampleRewritesOnlyTheDmlhSpace) {
    const std::vector<uint8_t> before = MakeFile(248, 1234);
    Write(before);
    const auto props = TOpenDMLPatcher::MakeProperties(720, 486, 1);
    ASSERT_TRUE(TOpenDMLPatcher().Patch(Path.string(), props));
    const std::vector<uint8_t> after = Read();
    ASSERT_EQ(after.size(), before.size());
    // dmlh sits after RIFF(12) + LIST hdrl(12) + avih(64) + LIST odml(12).
    const size_t at = 12 + 12 + 64 + 12;
    EXPECT_EQ(std::memcmp(&after[at], "dmlh", 4), 0);
    EXPECT_EQ(Get32(after, at + 4), 4u);
    EXPECT_EQ(Get32(after, at + 8), 1234u);
    EXPECT_EQ(std::memcmp(&after[at + 12], "vprp", 4), 0);
    EXPECT_EQ(Get32(after, at + 16), 236u);
    EXPECT_EQ(std::memcmp(&after[at + 20], props.data(), 100), 0);
    // Everything outside the first 120 bytes of the old chunk is as it was.
    for (size_t i = 0; i < after.size(); ++i) {
        if (i < at || i >= at + 120) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    // A second patch finds the vprp and writes nothing.
    EXPECT_FALSE(TOpenDMLPatcher().Patch(Path.string(), props));
    EXPECT_EQ(Read(), after);
}

TEST_F(OpenDMLPatcher, SmallDmlhAndForeignFilesAreLeftAlone) {
    for (uint32_t size : {118u, 119u}) {
        // Odd sizes are never written by a multiplexer; 118 is the largest even one refused.
        Write(MakeFile(size, 5));
        EXPECT_FALSE(
            TOpenDMLPatcher().Patch(Path.string(), TOpenDMLPatcher::MakeProperties(8, 8, 1)));
    }
    Write(MakeFile(120, 5));
    EXPECT_TRUE(TOpenDMLPatcher().Patch(Path.string(), TOpenDMLPatcher::MakeProperties(8, 8, 1)));

    std::vector<uint8_t> wave = MakeFile(248, 5);
    std::memcpy(&wave[8], "WAVE", 4);
    Write(wave);
    EXPECT_FALSE(TOpenDMLPatcher().Patch(Path.string(), TOpenDMLPatcher::MakeProperties(8, 8, 1)));
    EXPECT_EQ(Read(), wave);
    Write(std::vector<uint8_t>(wave.begin(), wave.begin() + 10));
    EXPECT_FALSE(TOpenDMLPatcher().Patch(Path.string(), TOpenDMLPatcher::MakeProperties(8, 8, 1)));
    EXPECT_FALSE(TOpenDMLPatcher().Patch((Path.string() + ".missing"),
                                         TOpenDMLPatcher::MakeProperties(8, 8, 1)));
}

TEST(OpenDMLProperties, FieldStartLinesAndSizes) {
    const struct {
        int32_t Mode;
        uint32_t First, Second;
    } cases[] = {{1, 0, 1}, {2, 1, 0}};
    for (const auto& c : cases) {
        const auto p = TOpenDMLPatcher::MakeProperties(720, 486, c.Mode);
        const std::vector<uint8_t> b(p.begin(), p.end());
        EXPECT_EQ(Get32(b, 20), 0x00010001u);
        EXPECT_EQ(Get32(b, 32), 2u);
        EXPECT_EQ(Get32(b, 64), c.First);
        EXPECT_EQ(Get32(b, 96), c.Second);
        for (size_t field : {36u, 68u}) {
            EXPECT_EQ(Get32(b, field), 243u);
            EXPECT_EQ(Get32(b, field + 4), 720u);
            EXPECT_EQ(Get32(b, field + 8), 243u);
            EXPECT_EQ(Get32(b, field + 12), 720u);
        }
        EXPECT_EQ(Get32(b, 0) | Get32(b, 24) | Get32(b, 28), 0u);
    }
}

}  // namespace
