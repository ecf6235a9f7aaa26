// Text and file names across the plug-in boundary.

#include "plugins/interface/lmVideoSourceText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PluginFileNames, EveryByteStringSurvivesTheWayThereAndBack) {
    const std::string cases[] = {
        "",
        "/media/Evening promo.lvf",
        "/media/caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac.lvf",  // well-formed UTF-8
        "/media/caf\xe9.lvf",                                    // Latin-1
        "\x80\xbf\xfe\xff",                                      // never valid anywhere
        "\xc0\xaf x \xe0\x80\xaf",                               // overlong forms of "/"
        "\xed\xa0\x80\xed\xb2\x80",                              // encoded surrogates
        "cut \xe2\x82",                                          // sequence cut off at the end
        "\xf4\x90\x80\x80",                                      // above U+10FFFF
        "\xc3\xa9\xe9\xc3\xa9",                                  // mixed, byte next to pair
    };
    for (const std::string& name : cases) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const std::u16string wide = LvsPathToUtf16(name);
        EXPECT_EQ(LvsPathToUtf8(wide.c_str()), name);
        // Shown as text, the escaped bytes are replacement characters: still well-formed.
        EXPECT_EQ(LvsToUtf16(LvsToUtf8(wide.c_str())), LvsToUtf16(name));
    }
}

TEST(PluginFileNames, WellFormedNamesCrossAsTextDoes) {
    const std::string name = "/media/caf\xc3\xa9 \xf0\x9f\x8e\xac.lvf";
    EXPECT_EQ(LvsPathToUtf16(name), LvsToUtf16(name));
    EXPECT_EQ(LvsPathToUtf16(name), u"/media/caf\u00e9 \U0001F3AC.lvf");
    EXPECT_EQ(LvsPathToUtf16("caf\xe9"), u"caf\xdce9");
    // A text that is not a file name keeps its unpaired surrogates out of the UTF-8.
    const char16_t lone[] = {u'a', 0xDCE9, u'b', 0};
    EXPECT_EQ(LvsToUtf8(lone),
              "a\xef\xbf\xbd"
              "b");
    EXPECT_EQ(LvsPathToUtf8(lone),
              "a\xe9"
              "b");
    EXPECT_EQ(LvsPathToUtf8(nullptr), "");
}

}  // namespace
