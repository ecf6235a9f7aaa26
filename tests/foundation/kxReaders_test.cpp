#include "foundation/kxReaders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "foundation/kxTestTrickleReader.h"

namespace {

std::string TempFile(const std::string& name, const std::string& content) {
    const auto path = std::filesystem::temp_directory_path() / ("kxReaders_test_" + name);
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

template <typename E, typename F>
void ExpectError(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected \"" << message << "\"";
    } catch (const E& e) {
        EXPECT_EQ(e.what(), message);
    }
}

// The generic operations must behave the same over every reader: memory, file, and one that
// gives short reads.
struct ReaderKind {
    const char* Name;
    std::function<std::unique_ptr<AReader>(const std::string&)> Make;
};

class GenericReader : public ::testing::TestWithParam<ReaderKind> {
  protected:
    std::unique_ptr<AReader> Make(const std::string& data) {
        Data = data;  // the memory reader does not own its bytes
        return GetParam().Make(Data);
    }
    std::string Data;
};

TEST_P(GenericReader, ReadPeekAndMatch) {
    auto reader = Make("Hello, World");
    EXPECT_EQ(reader->GetSize(), 12);
    EXPECT_EQ(reader->PeekString(5), "Hello");
    EXPECT_EQ(reader->GetPosition(), 0);
    EXPECT_EQ(reader->ReadString(0), "");
    EXPECT_EQ(reader->ReadString(-3), "");
    EXPECT_EQ(reader->ReadByte(), 'H');
    EXPECT_EQ(reader->PeekByte(), 'e');

    EXPECT_EQ(reader->PeekMatch("ELLO", 4, false), 4);
    EXPECT_EQ(reader->PeekMatch("ELLO", 4, true), -1);
    EXPECT_EQ(reader->PeekMatch("ello", 0, true), -1);
    EXPECT_TRUE(reader->MatchString("ello, ", true));
    EXPECT_FALSE(reader->MatchString("ellx", true));
    EXPECT_EQ(reader->GetPosition(), 1);

    reader->Skip(6);
    EXPECT_EQ(reader->ReadAll(), "World");
    EXPECT_TRUE(reader->Eof());
    EXPECT_EQ(reader->Peek(nullptr, 0), 0);
    EXPECT_EQ(reader->PeekMatch("x", 1, true), 0);
    ExpectError<EReader>([&] { reader->ReadByte(); }, "Read error");
    ExpectError<EReader>([&] { reader->PeekByte(); }, "Read error");
    // A tail that matches but is too short: the text runs past the end.
    reader->SetPosition(7);
    ExpectError<EReader>([&] { reader->MatchString("World!!", true); }, "Read error");
    EXPECT_EQ(reader->ReadAllFromStart(), "Hello, World");
}

TEST_P(GenericReader, FindKeepsPositionAndHonoursLimit) {
    // Long enough that searches cross the 2048-byte compare buffer several times.
    std::string data(5000, 'a');
    data[3000] = 'b';
    data.replace(4100, 6, "needle");
    auto reader = Make(data);
    reader->SetPosition(10);

    EXPECT_EQ(reader->FindByte('b', false, -1), 2990);
    EXPECT_EQ(reader->FindByte('b', false, 2990), 2990);  // limit + 1 bytes are searched
    EXPECT_EQ(reader->FindByte('b', false, 2989), -1);
    EXPECT_EQ(reader->FindByte('a', true, -1), 2990);
    EXPECT_EQ(reader->FindByte('z', false, -1), -1);
    std::bitset<256> set;
    set.set('n').set('b');
    EXPECT_EQ(reader->FindByteInSet(set, true, -1), 2990);
    EXPECT_EQ(reader->FindByteInSet(set, false, -1), 0);

    EXPECT_EQ(reader->FindString("NEEDLE", false, -1), 4090);
    EXPECT_EQ(reader->FindString("NEEDLE", true, -1), -1);
    EXPECT_EQ(reader->FindString("needle", true, 4090), 4090);
    EXPECT_EQ(reader->FindString("needle", true, 4089), -1);
    EXPECT_EQ(reader->FindString("aaaaab", true, -1), 2985);
    EXPECT_EQ(reader->FindString("needle!", true, -1), -1);
    EXPECT_EQ(reader->GetPosition(), 10);

    // A pattern longer than the compare buffer.
    const std::string longPattern = data.substr(1000, 3000);
    EXPECT_EQ(reader->PeekMatch(data.data() + 10, 4000, true), 4000);
    EXPECT_EQ(reader->FindBytes(longPattern.data(), 3000, true, -1), 990);
    EXPECT_EQ(reader->GetPosition(), 10);
}

TEST_P(GenericReader, SkipAndWideStrings) {
    auto reader = Make(std::string("A\0B\0C", 5));
    EXPECT_EQ(reader->ReadWideString(1), u"A");
    EXPECT_EQ(reader->ReadWideString(5), u"B");  // the odd last byte is no unit
    EXPECT_EQ(reader->ReadWideString(0), u"");
}

INSTANTIATE_TEST_SUITE_P(
    Readers, GenericReader,
    ::testing::Values(ReaderKind{"Memory",
                                 [](const std::string& data) -> std::unique_ptr<AReader> {
                                     return std::make_unique<TMemoryReader>(
                                         data.data(), static_cast<int64_t>(data.size()));
                                 }},
                      ReaderKind{"File",
                                 [](const std::string& data) -> std::unique_ptr<AReader> {
                                     return std::make_unique<TFileReader>(
                                         TempFile("generic", data));
                                 }},
                      ReaderKind{"Trickle",
                                 [](const std::string& data) -> std::unique_ptr<AReader> {
                                     return std::make_unique<TTrickleReader>(data, 7);
                                 }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(MemoryReader, PositionsAndErrors) {
    const char data[] = "0123456789";
    TMemoryReader reader(data, 10);
    ExpectError<EReader>([&] { reader.SetPosition(11); }, "Seek error");
    ExpectError<EReader>([&] { reader.SetPosition(-1); }, "Seek error");
    reader.SetPosition(10);
    EXPECT_TRUE(reader.Eof());
    reader.SetPosition(4);
    reader.Skip(-5);  // negative and zero skips do nothing here
    EXPECT_EQ(reader.GetPosition(), 4);
    ExpectError<EReader>([&] { reader.Skip(7); }, "Seek error");
    reader.Skip(6);
    EXPECT_TRUE(reader.Eof());

    // The 10-byte case: a 12-byte text whose first 10 bytes match runs past the end.
    reader.SetPosition(0);
    ExpectError<EReader>([&] { reader.MatchString("0123456789AB", true); }, "Read error");
    EXPECT_FALSE(reader.MatchString("0123456780AB", true));
    EXPECT_EQ(reader.PeekMatch("0123456789AB", 12, true), 10);
}

TEST(MemoryReader, UnknownSizeNeverEnds) {
    const char data[] = "abcdef";
    TMemoryReader reader(data, -1);
    EXPECT_EQ(reader.GetSize(), -1);
    EXPECT_FALSE(reader.Eof());
    reader.Skip(6);
    EXPECT_FALSE(reader.Eof());
    reader.SetPosition(1000);  // no end to check against
    EXPECT_FALSE(reader.Eof());
}

TEST(GenericReaderUnknownSize, ReadAllInChunksAndStalls) {
    std::string data(10000, 'x');
    data[9999] = 'y';
    TTrickleReader reader(data, 3000, false);
    EXPECT_EQ(reader.ReadAll(), data);

    // A reader that stops giving bytes before its end is a read error, not a short result.
    TTrickleReader stalled(data, 0, false);
    ExpectError<EReader>([&] { stalled.ReadAll(); }, "Read error");
    ExpectError<EReader>([&] { stalled.Skip(-1); }, "Skip error");
}

TEST(FileReader, OpenErrorsAndPositions) {
    ExpectError<EFileReader>([] { TFileReader("/nonexistent/kx/file"); }, "File open error");
    ExpectError<EFileReader>([] { TFileReader(std::filesystem::temp_directory_path().string()); },
                             "File open error");

    TFileReader reader(TempFile("positions", "abcdef"), true, 2);
    EXPECT_EQ(reader.GetSize(), 6);
    reader.SetPosition(4);
    EXPECT_EQ(reader.GetSize(), 6);
    EXPECT_EQ(reader.GetPosition(), 4);
    EXPECT_FALSE(reader.Eof());
    char buffer[8];
    EXPECT_EQ(reader.Read(buffer, 8), 2);
    EXPECT_EQ(reader.Read(buffer, 8), 0);
    EXPECT_TRUE(reader.Eof());
    ExpectError<EFileReader>([&] { reader.SetPosition(-1); }, "File seek error");
}

}  // namespace
