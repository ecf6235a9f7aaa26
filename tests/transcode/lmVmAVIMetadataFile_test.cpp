#include "server/transcode/lmVmAVIMetadataFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

class AVIMetadataFile : public testing::Test {
  protected:
    void SetUp() override {
        FFolder =
            std::filesystem::path(LMV_TEST_BINARY_DIR) /
            ("xmd-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(FFolder);
        std::filesystem::create_directories(FFolder);
    }
    void TearDown() override { std::filesystem::remove_all(FFolder); }

    static std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path FFolder;
};

TEST_F(AVIMetadataFile, HundredFramesWithCaptions) {
    const std::string path = (FFolder / "clip.avi.xmd").string();
    {
        TAVIMetadataFile file;
        ASSERT_TRUE(file.Create(path, 0, 1));
        EXPECT_EQ(file.RecordSize(), 7u);
        for (int32_t i = 0; i < 100; ++i) {
            const uint8_t caption[2] = {static_cast<uint8_t>(0x80 + i), static_cast<uint8_t>(i)};
            EXPECT_TRUE(file.WriteRecord(i, caption, 2));
        }
    }
    const std::vector<uint8_t> bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 752u);
    const std::vector<uint8_t> header(bytes.begin(), bytes.begin() + 52);
    std::vector<uint8_t> expected = {'a', 'v', 'i', 'm', 1, 0, 0, 0, 1, 0,
                                     0,   0,   0,   0,   0, 0, 7, 0, 0, 0};
    expected.resize(52, 0);
    EXPECT_EQ(header, expected);
    const std::vector<uint8_t> first(bytes.begin() + 52, bytes.begin() + 59);
    EXPECT_EQ(first, (std::vector<uint8_t>{0, 0, 0, 0, 1, 0x80, 0}));
    const std::vector<uint8_t> last(bytes.begin() + 745, bytes.end());
    EXPECT_EQ(last, (std::vector<uint8_t>{0x63, 0, 0, 0, 1, 0x80 + 99, 99}));
}

TEST_F(AVIMetadataFile, ShortAndLongDeliveriesKeepTheRecordSize) {
    const std::string path = (FFolder / "c.xmd").string();
    {
        TAVIMetadataFile file;
        ASSERT_TRUE(file.Create(path, 0x01020304, 1));
        const uint8_t one[1] = {0xAA};
        const uint8_t three[3] = {1, 2, 3};
        EXPECT_FALSE(file.WriteRecord(0, one, 1));
        EXPECT_FALSE(file.WriteRecord(1, nullptr, 0));
        EXPECT_FALSE(file.WriteRecord(2, three, 3));
        EXPECT_FALSE(file.WriteRecord(-1, one, -5));
        EXPECT_TRUE(file.Close());
        EXPECT_FALSE(file.WriteRecord(3, three, 2));  // closed: refused
    }
    const std::vector<uint8_t> bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 52u + 4 * 7);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 12, bytes.begin() + 16),
              (std::vector<uint8_t>{4, 3, 2, 1}));
    const std::vector<uint8_t> records(bytes.begin() + 52, bytes.end());
    EXPECT_EQ(records, (std::vector<uint8_t>{0,    0,    0,    0,    0, 0xAA, 0,  //
                                             1,    0,    0,    0,    0, 0,    0,  //
                                             2,    0,    0,    0,    0, 1,    2,  //
                                             0xFF, 0xFF, 0xFF, 0xFF, 0, 0,    0}));
}

TEST_F(AVIMetadataFile, WithoutCaptionsRecordsAreFiveBytes) {
    const std::string path = (FFolder / "plain.xmd").string();
    {
        TAVIMetadataFile file;
        ASSERT_TRUE(file.Create(path, 0, 0));
        EXPECT_EQ(file.RecordSize(), 5u);
        EXPECT_TRUE(file.WriteRecord(7, nullptr, 0));
    }
    const std::vector<uint8_t> bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 57u);
    EXPECT_EQ(bytes[16], 5);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 52, bytes.end()),
              (std::vector<uint8_t>{7, 0, 0, 0, 1}));
}

TEST_F(AVIMetadataFile, ReplacesAnOldFileAndReportsAFolderThatIsMissing) {
    const std::filesystem::path path = FFolder / "old.xmd";
    std::ofstream(path) << std::string(500, 'x');
    {
        TAVIMetadataFile file;
        ASSERT_TRUE(file.Create(path.string(), 0, 1));
    }
    EXPECT_EQ(std::filesystem::file_size(path), 52u);

    TAVIMetadataFile missing;
    EXPECT_FALSE(missing.Create((FFolder / "no" / "such" / "x.xmd").string(), 0, 1));
    const uint8_t caption[2] = {1, 2};
    EXPECT_FALSE(missing.WriteRecord(0, caption, 2));
}

}  // namespace
