#include "server/ingest/lmVmMetaItems.h"

#include <gtest/gtest.h>

#include "foundation/kxXMLUnicode.h"
#include "server/ingest/lmVmSourceFileItem.h"

namespace {

TEST(MetaItems, KeysIgnoreCaseAndTheLastWriterNamesThem) {
    TMetaItems meta;
    meta.SetText("recallid", "7");
    meta.SetText("RecallID", "8");
    ASSERT_EQ(meta.Count(), 1);
    EXPECT_EQ(meta.Items(0).Key(), "RecallID");
    EXPECT_EQ(meta.Items(0).Value(), "8");
    EXPECT_TRUE(meta.Exists("RECALLID"));
    EXPECT_EQ(meta.Item("recallID").AsInteger(0), 8);

    // Beyond ASCII: the fold covers all of Unicode's simple case mappings.
    meta.SetText("Ärger", "1");
    EXPECT_TRUE(meta.Exists("äRGER"));
    EXPECT_EQ(meta.Count(), 2);
    meta.SetText("", "ignored");
    EXPECT_EQ(meta.Count(), 2);
}

TEST(MetaItems, IterationFollowsCaseInsensitiveKeyOrder) {
    TMetaItems meta;
    for (const char* key : {"width", "Duration", "ext", "Codec", "filename", "bitdepth"})
        meta.SetText(key, "x");
    std::vector<std::string> keys;
    for (int32_t i = 0; i < meta.Count(); ++i)
        keys.push_back(meta.Items(i).Key());
    EXPECT_EQ(keys, (std::vector<std::string>{"bitdepth", "Codec", "Duration", "ext", "filename",
                                              "width"}));
}

TEST(MetaItems, TypedWritersAndReaders) {
    TMetaItems meta;
    meta.SetInteger(MetaDuration, -12);
    meta.SetInt64(MetaFileSize, 5000000000LL);
    meta.SetBoolean(MetaLoop, true);
    meta.SetBoolean(MetaPremul, false);
    meta.SetText(MetaCodec, "");
    meta.SetText(MetaFileName, "clip 7");

    EXPECT_EQ(meta.Item(MetaDuration).Value(), "-12");
    EXPECT_EQ(meta.Item(MetaDuration).AsInteger(0), -12);
    EXPECT_EQ(meta.Item(MetaFileSize).Value(), "5000000000");
    EXPECT_EQ(meta.Item(MetaFileSize).AsInt64(0), 5000000000LL);
    EXPECT_EQ(meta.Item(MetaFileSize).AsInteger(-1), -1);  // does not fit 32 bits
    EXPECT_EQ(meta.Item(MetaLoop).Value(), "1");
    EXPECT_EQ(meta.Item(MetaPremul).Value(), "0");
    EXPECT_FALSE(meta.Item(MetaPremul).AsBoolean(true));
    EXPECT_EQ(meta.Item(MetaCodec).AsText("none"), "none");
    EXPECT_TRUE(meta.Item(MetaCodec).AsBoolean(true));
    EXPECT_EQ(meta.Item(MetaFileName).AsInteger(3), 3);

    const struct {
        const char* value;
        int32_t expected;
    } integers[] = {{"42", 42},       {"+42", 42}, {"-0", 0},
                    {" 42", 9},       {"42 ", 9},  {"4x", 9},
                    {"+", 9},         {"+-1", 9},  {"2147483647", 2147483647},
                    {"0x10", 9},      {"", 9},     {"-2147483648", -2147483647 - 1},
                    {"2147483648", 9}};
    for (const auto& c : integers) {
        meta.SetText("n", c.value);
        EXPECT_EQ(meta.Item("n").AsInteger(9), c.expected) << '"' << c.value << '"';
    }
    meta.SetText("b", "true");
    EXPECT_FALSE(meta.Item("b").AsBoolean(true));
}

TEST(MetaItems, MissingKeyGivesAnEmptyItem) {
    TMetaItems meta;
    const TMetaItem& missing = meta.Item("loop");
    EXPECT_FALSE(missing.AsBoolean(false));
    EXPECT_TRUE(missing.AsBoolean(true));
    EXPECT_EQ(missing.AsText("dflt"), "dflt");
    EXPECT_EQ(missing.AsInteger(5), 5);
    EXPECT_TRUE(missing.Key().empty());
    EXPECT_TRUE(missing.Value().empty());
    EXPECT_FALSE(meta.Exists("loop"));
}

TEST(MetaItems, MediaAreReleasedButItemsStay) {
    TMetaItems meta;
    meta.SetText(MetaCodec, std::string(MetaCodecLMVC));
    ASSERT_NE(meta.FlipBook(), nullptr);
    EXPECT_TRUE(meta.FlipBook()->AddFrame({1, 2, 3}));
    meta.Streams().push_back({9, 9});
    meta.ReleaseMedia();
    EXPECT_EQ(meta.FlipBook(), nullptr);
    EXPECT_TRUE(meta.Streams().empty());
    EXPECT_EQ(meta.Item(MetaCodec).Value(), "LMVC");
    meta.ReleaseMedia();  // twice is harmless
}

TEST(MetaItems, WrittenAsChildElementsInKeyOrder) {
    TMetaItems meta;
    meta.SetText("width", "720");
    meta.SetText("Codec", "a<b");
    TXMLUnicode document;
    document.OpenElement("meta");
    meta.WriteToXML(document);
    document.CloseElement();
    std::string saved;
    ASSERT_TRUE(document.SaveToString(saved));
    EXPECT_NE(saved.find("<meta><Codec>a&lt;b</Codec><width>720</width></meta>"), std::string::npos)
        << saved;
}

TEST(MetaItems, ThumbFrameIsTheMiddleFrameAtMost25) {
    const int32_t cases[][2] = {{0, 0}, {1, 0}, {2, 1}, {51, 25}, {52, 25}, {1000, 25}, {-4, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(ThumbFrameIndex(c[0]), c[1]) << c[0];
}

TEST(SourceFileItem, NameSplitsAtTheLastFullStop) {
    const struct {
        const char* name;
        const char* base;
        const char* ext;
    } cases[] = {
        {"clip.tar.gz", "clip.tar", ".gz"}, {"README", "README", ""},
        {".hidden", "", ".hidden"},         {"clip.", "clip", "."},
        {"dir.v2/clip", "dir.v2/clip", ""}, {"dir.v2\\clip", "dir.v2\\clip", ""},
        {"C:clip", "C:clip", ""},           {"Größe {ID 12}.MOV", "Größe {ID 12}", ".MOV"},
    };
    for (const auto& c : cases) {
        TSourceFileItem item;
        item.SetFileName(c.name);
        EXPECT_EQ(item.BaseName, c.base) << c.name;
        EXPECT_EQ(item.Extension, c.ext) << c.name;
        EXPECT_EQ(item.FullName(), c.name);
    }
    TSourceFileItem item;
    item.SetFileName("a.mov");
    item.SetFileName("b");
    EXPECT_EQ(item.BaseName, "b");
    EXPECT_EQ(item.Extension, "");
    EXPECT_EQ(item.Meta.Count(), 0);
    EXPECT_NE(item.Meta.FlipBook(), nullptr);
}

}  // namespace
