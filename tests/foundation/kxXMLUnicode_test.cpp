#include "foundation/kxXMLUnicode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "foundation/kxReaders.h"
#include "port/port.h"

namespace {

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";

// The document's tree as saved without the declaration: a compact picture of what was loaded.
std::string Tree(TXMLUnicode& document) {
    const bool declaration = document.WriteDeclaration;
    document.WriteDeclaration = false;
    std::string bytes;
    EXPECT_TRUE(document.SaveToString(bytes)) << document.LastError();
    document.WriteDeclaration = declaration;
    return bytes;
}

std::string Utf16(std::u16string_view text, bool bigEndian) {
    std::string bytes;
    for (char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

// A stream buffer that takes only the first `limit` bytes written to it.
class TShortBuffer : public std::streambuf {
  public:
    explicit TShortBuffer(size_t limit) : Limit(limit) {}
    std::string Written;

  protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        const size_t take = std::min(static_cast<size_t>(count), Limit - Written.size());
        Written.append(data, take);
        return static_cast<std::streamsize>(take);
    }
    int_type overflow(int_type c) override {
        if (Written.size() >= Limit || traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::eof();
        Written.push_back(traits_type::to_char_type(c));
        return c;
    }

  private:
    size_t Limit;
};

TDateTime Moment(int year, int month, int day, int hour, int minute, int second) {
    TDateTime value = 0;
    EXPECT_TRUE(TryEncodeDateTime(year, month, day, hour, minute, second, 0, value));
    return value;
}

}  // namespace

TEST(XMLWriter, CompactDocumentAfterTheDeclarationLine) {
    TXMLUnicode document;
    document.OpenElement("config");
    document.AddElement("name", "a<b");
    document.AddBoolean("on", true);
    document.CloseElement();
    std::string bytes;
    ASSERT_TRUE(document.SaveToString(bytes));
    EXPECT_EQ(bytes, kDeclaration + "<config><name>a&lt;b</name><on>1</on></config>");
}

TEST(XMLWriter, ElementForms) {
    TXMLUnicode document;
    document.OpenElement("r");
    document.AddElement("x");
    document.OpenElement("y");
    document.AddAttribute("a", "1");
    document.AddAttribute("a", "2");  // a second one of the same name is kept
    document.CloseElement();
    TXMLElement* mixed = document.OpenElement("m", "tail");
    document.AddElement("c", "1");
    document.CloseElement();
    document.AddElement("e", "&><\"'");
    TXMLElement* quoted = document.AddElement("q");
    quoted->AddAttribute("v", "<\"&'>");
    TCDATAElement::Create(document, mixed)->Text.Text = "<&amp;>";
    EXPECT_EQ(Tree(document),
              "<r><x/><y a=\"1\" a=\"2\"/><m><c>1</c><![CDATA[<&amp;>]]>tail</m>"
              "<e>&amp;&gt;&lt;&quot;&apos;</e><q v=\"&lt;&quot;&amp;&apos;&gt;\"/></r>");
    EXPECT_EQ(document.Root()->FindChild("y")->AttributeByName("a").Value, "1");
}

TEST(XMLWriter, TypedAddersAndDeclarationFields) {
    TXMLUnicode document;
    document.OpenElement("v");
    document.AddInteger("i", -2147483647 - 1);
    document.AddWord("w", 65535);
    document.AddFloat("f1", 1.5);
    document.AddFloat("f2", -0.1);
    document.AddFloat("f3", 1e20);
    document.AddFloat("f4", 1.0 / 3);
    document.AddFloat("f5", 2.5e-7);
    document.AddDateTime("d", Moment(2024, 2, 29, 23, 5, 9));
    document.AddDateTime("z", 0);
    TGUID guid;
    ASSERT_TRUE(StringToGUID("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}", guid));
    document.AddGUID("g", guid);
    document.AddBoolean("b", false);
    document.AddAttributeInteger("n", -5);
    document.AddAttributeGUID("u", guid);
    EXPECT_EQ(Tree(document),
              "<v n=\"-5\" u=\"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\"><i>-2147483648</i>"
              "<w>65535</w><f1>1.5</f1><f2>-0.1</f2><f3>1E20</f3><f4>0.333333333333333</f4>"
              "<f5>2.5E-7</f5><d>29-02-2024 23:05:09</d><z>30-12-1899 00:00:00</z>"
              "<g>{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}</g><b>0</b></v>");

    document.Target = "xml";
    document.Version = "1.1";
    document.WritePreamble = true;
    document.Preamble = "\xEF\xBB\xBF";
    std::string bytes;
    ASSERT_TRUE(document.SaveToString(bytes));
    const std::string start = "\xEF\xBB\xBF<?xml version=\"1.1\" encoding=\"UTF-8\"?>\r\n<v ";
    EXPECT_EQ(bytes.substr(0, start.size()), start);
}

TEST(XMLWriter, ShortWriteFailsWithDiskFullAndKeepsWhatWasWritten) {
    TXMLUnicode document;
    document.OpenElement("config", "some text that is long enough");
    TShortBuffer buffer(20);
    std::ostream stream(&buffer);
    EXPECT_FALSE(document.SaveToStream(stream));
    EXPECT_EQ(document.LastError(), "Cannot write to file, disk full?");
    EXPECT_EQ(buffer.Written, kDeclaration.substr(0, 20));
}

TEST(XMLWriter, CharacterOutsideTheEncodingFailsTheSave) {
    TXMLUnicode document;
    document.Encoding = &ISO8859_1CodecClass;
    document.OpenElement("a", "\xE2\x82\xAC");  // the euro sign is not in ISO 8859-1
    std::string bytes;
    EXPECT_FALSE(document.SaveToString(bytes));
    EXPECT_NE(document.LastError().find("ISO-8859-1"), std::string::npos) << document.LastError();
}

TEST(XMLCursor, WritingCursorAndDepth) {
    TXMLUnicode document;
    EXPECT_EQ(document.Current(), nullptr);
    TXMLElement* root = document.OpenElement("r");
    EXPECT_EQ(document.Root(), root);
    TXMLElement* list = document.OpenElement("list");
    EXPECT_EQ(document.Depth(), 2);
    document.CloseElement();
    EXPECT_EQ(document.Current(), root);
    document.CloseElement();
    document.CloseElement();  // nothing left open: no effect
    EXPECT_EQ(document.Depth(), 0);
    // After the top element is closed, writes still land under the root.
    document.AddElement("late");
    EXPECT_EQ(Tree(document), "<r><list/><late/></r>");
    EXPECT_EQ(list->Parent(), root);
    EXPECT_EQ(list->Children(0), nullptr);
    EXPECT_EQ(root->Children(-1), nullptr);

    // An element cannot hang below a parent of another document, which could free it first.
    TXMLUnicode other;
    TXMLElement* stranger = TXMLElement::Create(other, "s", root);
    EXPECT_EQ(stranger->Parent(), nullptr);
    EXPECT_EQ(root->ChildCount(), 2);
    EXPECT_EQ(other.Root(), stranger);
}

TEST(XMLCursor, ReadingPattern) {
    TXMLUnicode document;
    ASSERT_TRUE(
        document.LoadFromString("<cfg><users><user id=\"1\"><name>ann</name></user><other/>"
                                "<user id=\"2\"><name>bob</name></user><user id=\"x\"/></users>"
                                "<deep><a><b><name>n</name></b></a><name>top</name></deep></cfg>"));
    EXPECT_EQ(document.Current(), document.Root());
    EXPECT_EQ(document.Depth(), 0);

    document.PushPosition();
    ASSERT_TRUE(document.SelectChild("users"));
    std::vector<std::string> seen;
    while (document.SelectNext("user")) {
        seen.push_back(document.ChildText("name").AsString("?") + "/" +
                       std::to_string(document.AttributeByName("id").AsInteger(-1)));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"ann/1", "bob/2", "?/-1"}));
    EXPECT_EQ(document.AttributeByName("id").Value, "x");  // the cursor stays on the last one
    document.PopPosition();
    EXPECT_EQ(document.Current(), document.Root());
    document.PopPosition();  // empty stack: nothing happens
    EXPECT_EQ(document.Current(), document.Root());

    // Missing lookups give the shared empties and leave the cursor.
    EXPECT_EQ(&document.ChildText("none"), &document.EmptyText());
    EXPECT_EQ(&document.AttributeByName("none"), &document.EmptyAttribute());
    EXPECT_EQ(document.ChildText("none").AsInteger(50), 50);
    EXPECT_FALSE(document.SelectChild("name"));
    EXPECT_EQ(document.Current(), document.Root());

    // A recursive search tests a node before its descendants, in document order.
    ASSERT_TRUE(document.SelectChild("name", true));
    EXPECT_EQ(document.Current()->Text.Text, "ann");
    ASSERT_TRUE(document.GotoRoot());
    ASSERT_TRUE(document.SelectChild("deep"));
    ASSERT_TRUE(document.SelectChild("name", true));
    EXPECT_EQ(document.Current()->Text.Text, "n");
    EXPECT_FALSE(document.SelectNext("name"));  // no later sibling named so

    document.SetCurrent(nullptr);
    EXPECT_EQ(document.Current(), document.Root());
    document.Clear();
    EXPECT_FALSE(document.GotoRoot());
    EXPECT_FALSE(document.SelectNext("user"));
    EXPECT_EQ(&document.ChildText("user"), &document.EmptyText());
}

TEST(XMLText, TypedReaders) {
    struct TCase {
        const char* Text;
        int32_t Integer;  // default 50
        bool Boolean;     // default true
        const char* String;
    };
    const TCase cases[] = {
        {"", 50, true, "def"},
        {"12", 12, false, "12"},
        {" \r\n-12\t", -12, false, " \r\n-12\t"},
        {"+7", 7, false, "+7"},
        {"$1F", 31, false, "$1F"},
        {"0x1F", 31, false, "0x1F"},
        {"x1f", 31, false, "x1f"},
        {"-$10", -16, false, "-$10"},
        {"1F", 31, false, "1F"},
        {"FFFFFFFF", -1, false, "FFFFFFFF"},
        {"2147483647", 2147483647, false, "2147483647"},
        {"-2147483648", -2147483647 - 1, false, "-2147483648"},
        {"2147483648", 50, false, "2147483648"},
        {"1 2", 50, false, "1 2"},
        {"xyz", 50, false, "xyz"},
        {"1", 1, true, "1"},
        {" 1", 1, false, " 1"},
        {"true", 50, false, "true"},
        {" \n ", 50, false, "def"},
        {" a ", 10, false, " a "},
    };
    for (const TCase& c : cases) {
        TXMLText text;
        text.Text = c.Text;
        EXPECT_EQ(text.AsInteger(50), c.Integer) << '"' << c.Text << '"';
        EXPECT_EQ(text.AsBoolean(true), c.Boolean) << '"' << c.Text << '"';
        EXPECT_EQ(text.AsString("def"), c.String) << '"' << c.Text << '"';
        EXPECT_EQ(text.AsRawString("def"), *c.Text ? c.Text : "def");
    }

    TXMLText text;
    for (auto [input, expected] :
         std::initializer_list<std::pair<const char*, double>>{{"1.5", 1.5},
                                                               {" -2.25e3 ", -2250},
                                                               {"1E20", 1e20},
                                                               {"+.5", 0.5},
                                                               {"1,5", -1},
                                                               {"abc", -1},
                                                               {"", -1},
                                                               {"0x10", -1}}) {
        text.Text = input;
        EXPECT_EQ(text.AsFloat(-1), expected) << input;
    }

    const TDateTime fallback = 12345.5;
    for (auto [input, expected] : std::initializer_list<std::pair<const char*, TDateTime>>{
             {"29-02-2024 23:05:09", Moment(2024, 2, 29, 23, 5, 9)},
             {"01-12-1999", Moment(1999, 12, 1, 0, 0, 0)},
             {"1-2-2003 4:05", Moment(2003, 2, 1, 4, 5, 0)},
             {"30-12-1899 00:00:00", 0},
             {"12:00:00", 0.5},
             {"29-02-2023 00:00:00", fallback},
             {"31-04-2024", fallback},
             {"01-01-2024 24:00:00", fallback},
             {"2024-01-01", fallback},
             {"01-01-2024x", fallback},
             {"", fallback}}) {
        text.Text = input;
        EXPECT_NEAR(text.AsDateTime(fallback), expected, 1e-9) << input;
    }

    TGUID guid;
    ASSERT_TRUE(StringToGUID("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", guid));
    text.Text = "{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}";
    EXPECT_EQ(text.AsGUID(), guid);
    text.Text = " {0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
    EXPECT_EQ(text.AsGUID(), NullGUID);
    EXPECT_EQ(text.AsGUID(guid), guid);

    text.Text = "a";
    text.AppendText("b");
    EXPECT_EQ(text.Text, "ab");
}

TEST(XMLText, AttributeReadersDoNotTrim) {
    for (auto [value, expected] : std::initializer_list<std::pair<const char*, int32_t>>{
             {"", 9}, {"12", 12}, {"  12", 12}, {"12 ", 9}, {"$ff", 255}, {"ff", 255}}) {
        TXMLAttribute attribute("a", value);
        EXPECT_EQ(attribute.AsInteger(9), expected) << '"' << value << '"';
    }
    EXPECT_EQ(TXMLAttribute("a", " ").AsString("d"), " ");
    EXPECT_EQ(TXMLAttribute("a", "").AsString("d"), "d");
}

TEST(XMLDateTime, PartsRoundTrip) {
    int y, m, d, h, n, s, ms;
    for (auto [year, month, day] : {std::tuple{1, 1, 1},
                                    {1899, 12, 29},
                                    {1900, 3, 1},
                                    {2000, 2, 29},
                                    {2100, 12, 31},
                                    {9999, 12, 31}}) {
        TDateTime value;
        ASSERT_TRUE(TryEncodeDateTime(year, month, day, 13, 14, 15, 160, value));
        DecodeDateTime(value, y, m, d, h, n, s, ms);
        EXPECT_EQ(std::tie(y, m, d, h, n, s, ms),
                  std::make_tuple(year, month, day, 13, 14, 15, 160));
    }
    TDateTime value;
    EXPECT_FALSE(TryEncodeDateTime(2023, 2, 29, 0, 0, 0, 0, value));
    // A value a hair short of midnight rounds to the next day, not to 24:00.
    DecodeDateTime(1.0 - 1e-10, y, m, d, h, n, s, ms);
    EXPECT_EQ(std::tie(y, m, d, h, n, s), std::make_tuple(1899, 12, 31, 0, 0, 0));
}

TEST(XMLDateTime, ElapsedTimeAndNow) {
    TDateTime start;
    ASSERT_TRUE(TryEncodeDateTime(2026, 12, 31, 23, 59, 58, 500, start));
    const struct {
        double Days;
        const char* Text;
    } cases[] = {
        {0, "00:00:00.000"},
        {1.5 / 86400, "00:00:01.500"},
        {(3600 + 61) / 86400.0, "01:01:01.000"},
        {1.25, "06:00:00.000"},          // whole days drop out
        {-1.0 / 86400, "23:59:59.000"},  // counts back from midnight
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatElapsed(start, start + c.Days), c.Text) << c.Days;
    }

    const port::LocalTime before = port::LocalTimeNow();
    int y, m, d, h, n, s, ms;
    DecodeDateTime(NowDateTime(), y, m, d, h, n, s, ms);
    EXPECT_GE(y, before.year);
    EXPECT_GE(y * 10000 + m * 100 + d, before.year * 10000 + before.month * 100 + before.day);
}

// Loading: input bytes, whether the load succeeds, and the tree it leaves.
TEST(XMLLoader, TolerantCharacterPass) {
    struct TCase {
        std::string Input;
        bool Loaded;
        std::string Tree;
    };
    const TCase cases[] = {
        {"<a x = \"1\" y=\"2&amp;3\"/>", true, "<a x=\"1\" y=\"2&amp;3\"/>"},
        {"<a x='1'/>", true, "<a/>"},
        {"<a\n\tx=\"1\"\r\n/>", true, "<a x=\"1\"/>"},
        {"<a x=\"1>2\" />", true, "<a x=\"1&gt;2\"/>"},
        {"<a =\"1\" b=\"2\"/>", true, "<a b=\"2\"/>"},
        {"<a \"\" b=\"2\"/>", true, "<a/>"},
        {"<a b c d=\"1\" e=\"2\"/>", true, "<a b c d=\"1\" e=\"2\"/>"},
        {"<?xml version=\"1.0\"?>\r\njunk<?pi x?><a>1</a>", true, "<a>1</a>"},
        {"\xEF\xBB\xBF<a/>", true, "<a/>"},
        {"<a><![CDATA[x]]></a>", true, "<a><![CDATA[x]]></a>"},
        {"<a><![CDATA[x]]]>y</a>", true, "<a><![CDATA[x]]]>y</a>"},
        {"<a><![CDATA[<&amp;>]]></a>", true, "<a><![CDATA[<&amp;>]]></a>"},
        {"<![CDATA[outside]]><a/>", true, "<a/>"},
        {"<a>1<!-- c <b/> -- --->2<c/>3</a>", true, "<a><c/>123</a>"},
        {"<!DOCTYPE a [<!ENTITY e \"x\">]><a/>", true, "<a/>"},
        {"<!DOCTYPE a SYSTEM \"a.dtd\"><a/>", true, "<a/>"},
        {"<a>&amp;lt;&unknown;&#39;&apos;&quot;&gt;</a>", true,
         "<a>&amp;lt;&amp;unknown;&apos;&apos;&quot;&gt;</a>"},
        {"<a>t</a>tail<b/>", true, "<a><b/>ttail</a>"},
        {"<a><b>1</c>2</a>", true, "<a><b>1</b>2</a>"},
        {"<a></a></a></a><b/>", true, "<a><b/></a>"},
        {"<a><b>text", true, "<a><b/></a>"},
        {"<a><b x=\"1", true, "<a/>"},
        {"< ><a>< /></a>", true, "<a/>"},
        {"<a><>x</a>", true, "<a>x</a>"},
        {"<a>\n  <b/>\n</a>", true, "<a><b/>\n  \n</a>"},
        {"", true, ""},
        {"text only", true, ""},
        {"</a><b/>", false, ""},
        {"<a>\x80</a>", false, "?"},
        {"<?xml version=\"1.0\" encoding=\"no-such-thing\"?><a/>", false, ""},
    };
    for (const TCase& c : cases) {
        TXMLUnicode document;
        EXPECT_EQ(document.LoadFromString(c.Input), c.Loaded) << c.Input;
        if (c.Tree != "?") {  // "?": what a decoding error leaves is not pinned down
            EXPECT_EQ(Tree(document), c.Tree) << c.Input;
        }
    }
}

TEST(XMLLoader, LoadedNodesAndCursor) {
    TXMLUnicode document;
    ASSERT_TRUE(document.LoadFromString("<a><![CDATA[x]]></a>"));
    ASSERT_EQ(document.Root()->ChildCount(), 1);
    EXPECT_EQ(document.Root()->Children(0)->Name, "#CDATA");
    EXPECT_EQ(document.Root()->Children(0)->Text.Text, "x");

    // An unfinished document keeps the cursor and depth where the input stopped.
    document.Clear();
    ASSERT_TRUE(document.LoadFromString("<a><b><c/>"));
    EXPECT_EQ(document.Depth(), 2);
    EXPECT_EQ(document.Current()->Name, "b");
    EXPECT_EQ(document.ElementCount(), 3);

    // Loading adds to what is there.
    document.Clear();
    document.OpenElement("host");
    ASSERT_TRUE(document.LoadFromString("<x/>"));
    EXPECT_EQ(Tree(document), "<host><x/></host>");
}

TEST(XMLLoader, EncodingDetectionAndDeclaredEncodings) {
    const std::u16string document16 = u"<a n=\"\u00E9\">\u20AC\U0001F600</a>";
    struct TCase {
        const char* Label;
        std::string Bytes;
    };
    const TCase cases[] = {
        {"UTF-16LE with mark", "\xFF\xFE" + Utf16(document16, false)},
        {"UTF-16BE with mark", "\xFE\xFF" + Utf16(document16, true)},
        {"UTF-16LE without mark", Utf16(document16, false)},
        {"UTF-16BE without mark", Utf16(document16, true)},
        {"UTF-16BE declared",
         "\xFE\xFF" + Utf16(u"<?xml version=\"1.0\" encoding=\"UTF-16BE\"?>" + document16, true)},
        {"UTF-8", "<a n=\"\xC3\xA9\">\xE2\x82\xAC\xF0\x9F\x98\x80</a>"},
    };
    for (const TCase& c : cases) {
        TXMLUnicode document;
        ASSERT_TRUE(document.LoadFromString(c.Bytes)) << c.Label;
        EXPECT_EQ(Tree(document), "<a n=\"\xC3\xA9\">\xE2\x82\xAC\xF0\x9F\x98\x80</a>") << c.Label;
    }

    TXMLUnicode latin;
    ASSERT_TRUE(
        latin.LoadFromString("<?XML version=\"1.0\" ENCODING = 'iso-8859-1'?><a>caf\xE9 \xA4</a>"));
    EXPECT_EQ(latin.Root()->Text.Text, "caf\xC3\xA9 \xC2\xA4");

    // An encoding set on the document overrides detection.
    TXMLUnicode forced;
    forced.Encoding = &ISO8859_15CodecClass;
    ASSERT_TRUE(forced.LoadFromString("<a>\xA4</a>"));
    EXPECT_EQ(forced.Root()->Text.Text, "\xE2\x82\xAC");
}

TEST(XMLRoundTrip, EveryOutputEncoding) {
    // Names and text above U+FFFF where the encoding can carry them.
    const std::string wide = "\xF0\x9D\x84\x9E\xE2\x82\xAC\xC3\xA9";  // U+1D11E, euro, e-acute
    const std::string central = "\xC5\x81\xC3\xB3\x64\xC5\xBA";       // "Lodz" with diacritics
    struct TCase {
        PCodecClass Encoding;
        std::string Text;
        std::string FirstBytes;
    };
    const TCase cases[] = {
        {nullptr, wide, "<?xml"},
        {&UTF8CodecClass, wide, "<?xml"},
        {&UTF16LECodecClass, wide, std::string("<\0?\0", 4)},
        {&UTF16BECodecClass, wide, std::string("\0<\0?", 4)},
        {&ISO8859_2CodecClass, central, "<?xml"},
    };
    for (const TCase& c : cases) {
        const char* label = c.Encoding ? c.Encoding->Name : "default";
        TXMLUnicode source;
        source.Encoding = c.Encoding;
        source.OpenElement("root" + c.Text);
        source.AddAttribute("k" + c.Text, c.Text + "\"&<>'");
        source.AddElement("t", " " + c.Text + " \r\n");
        TCDATAElement::Create(source, source.Current())->Text.Text = c.Text + "<&>";
        source.OpenElement("mixed", c.Text);
        source.AddElement("child");
        source.CloseElement();
        source.CloseElement();
        std::string bytes;
        ASSERT_TRUE(source.SaveToString(bytes)) << label << ": " << source.LastError();
        EXPECT_EQ(bytes.substr(0, c.FirstBytes.size()), c.FirstBytes) << label;

        // Detection alone finds the encoding again from the bytes.
        source.Encoding = nullptr;
        TXMLUnicode copy;
        ASSERT_TRUE(copy.LoadFromString(bytes)) << label;
        EXPECT_EQ(Tree(copy), Tree(source)) << label;
        EXPECT_EQ(copy.Root()->Name, "root" + c.Text) << label;
        EXPECT_EQ(copy.AttributeByName("k" + c.Text).Value, c.Text + "\"&<>'") << label;
        EXPECT_EQ(copy.ChildText("t").Text, " " + c.Text + " \r\n") << label;
    }
}

TEST(XMLRoundTrip, UTF8BytesAreStandard) {
    TXMLUnicode document;
    document.WriteDeclaration = false;
    document.OpenElement("a", "A\xF0\x9F\x98\x80");
    std::string bytes;
    ASSERT_TRUE(document.SaveToString(bytes));
    EXPECT_EQ(bytes, "<a>A\xF0\x9F\x98\x80</a>");
}

TEST(XMLDocument, FilesAndStreams) {
    const std::filesystem::path folder =
        std::filesystem::path(LMV_TEST_BINARY_DIR) / "kxXMLUnicode_files";
    std::filesystem::create_directories(folder);
    const std::string fileName = (folder / "doc.xml").string();

    TXMLUnicode source;
    source.OpenElement("cfg");
    source.AddInteger("port", 9797);
    ASSERT_TRUE(source.SaveToFile(fileName)) << source.LastError();

    TXMLUnicode document;
    ASSERT_TRUE(document.LoadFromFile(fileName, true));
    EXPECT_EQ(document.ChildText("port").AsInteger(0), 9797);

    // A missing file fails and leaves the document as it was.
    EXPECT_FALSE(document.LoadFromFile((folder / "missing.xml").string()));
    EXPECT_EQ(Tree(document), "<cfg><port>9797</port></cfg>");
    EXPECT_FALSE(source.SaveToFile((folder / "no" / "such" / "x.xml").string()));
    EXPECT_FALSE(source.LastError().empty());

    // Streams: a given size, the rest, and a size the stream cannot supply.
    std::istringstream stream("<a/><b/>junk");
    TXMLUnicode first, second, empty, truncated;
    ASSERT_TRUE(first.LoadFromStream(stream, 4));
    ASSERT_TRUE(second.LoadFromStream(stream));
    EXPECT_EQ(Tree(first), "<a/>");
    EXPECT_EQ(Tree(second), "<b/>");
    std::istringstream nothing("");
    EXPECT_TRUE(empty.LoadFromStream(nothing));
    EXPECT_EQ(empty.Root(), nullptr);
    std::istringstream few("<a/>");
    EXPECT_FALSE(truncated.LoadFromStream(few, 100));

    // A reader window loads its bytes and leaves the reader after them.
    const std::string packets = "<p n=\"1\"/><p n=\"2\"/>";
    TMemoryReader reader(packets.data(), static_cast<int64_t>(packets.size()));
    TXMLUnicode p1, p2;
    ASSERT_TRUE(p1.LoadFromReader(reader, 10));
    EXPECT_EQ(reader.GetPosition(), 10);
    ASSERT_TRUE(p2.LoadFromReader(reader));
    EXPECT_TRUE(reader.Eof());
    EXPECT_EQ(p1.AttributeByName("n").Value, "1");
    EXPECT_EQ(p2.AttributeByName("n").Value, "2");

    TXMLUnicode bad;
    EXPECT_FALSE(bad.LoadFromBuffer("<a/>", -1));
    std::filesystem::remove_all(folder);
}

TEST(XMLDocument, AssignIsALosslessSaveAndReload) {
    TXMLUnicode source;
    source.Encoding = &ISO8859_1CodecClass;  // could not carry the euro sign below
    source.OpenElement("r");
    source.AddElement("e", "\xE2\x82\xAC & more");
    source.OpenElement("m", "text");
    source.AddElement("c");
    source.CloseElement();
    source.Current()->Text.Text = "root text";

    TXMLUnicode copy;
    copy.Encoding = &UTF16BECodecClass;  // and this one would misread UTF-8 bytes
    copy.Assign(&source);
    copy.Encoding = nullptr;
    EXPECT_EQ(Tree(copy), "<r><e>\xE2\x82\xAC &amp; more</e><m><c/>text</m>root text</r>");
    EXPECT_EQ(copy.Current(), copy.Root());

    copy.Assign(&copy);  // a document assigned to itself stays as it is
    EXPECT_EQ(copy.ChildText("e").Text, "\xE2\x82\xAC & more");
    copy.Assign(nullptr);
    EXPECT_EQ(copy.Root(), nullptr);
    EXPECT_EQ(copy.ElementCount(), 0);
}

TEST(XMLDocument, ClearResetsTheDocument) {
    TXMLUnicode document;
    document.EncodingName = "ISO-8859-1";
    document.Version = "1.1";
    document.OpenElement("a");
    document.PushPosition();
    document.Clear();
    EXPECT_EQ(document.Root(), nullptr);
    EXPECT_EQ(document.Current(), nullptr);
    EXPECT_EQ(document.Depth(), 0);
    EXPECT_EQ(document.EncodingName, "UTF-8");
    EXPECT_EQ(document.Version, "1.0");
    document.PopPosition();
    EXPECT_EQ(document.Current(), nullptr);
    std::string bytes;
    ASSERT_TRUE(document.SaveToString(bytes));
    EXPECT_EQ(bytes, kDeclaration);
}

TEST(XMLDocument, DeepNestingNeedsNoDeepStack) {
    constexpr int kDepth = 200000;
    std::string input;
    for (int i = 0; i < kDepth; ++i)
        input += "<e>";
    input += "<leaf/>";
    TXMLUnicode document;
    ASSERT_TRUE(document.LoadFromString(input));
    EXPECT_EQ(document.Depth(), kDepth);  // the leaf closed itself
    EXPECT_EQ(document.ElementCount(), kDepth + 1);

    document.GotoRoot();
    ASSERT_TRUE(document.SelectChild("leaf", true));

    std::string bytes;
    ASSERT_TRUE(document.SaveToString(bytes));
    TXMLUnicode copy;
    copy.Assign(&document);
    EXPECT_EQ(copy.ElementCount(), kDepth + 1);
    std::string copied;
    ASSERT_TRUE(copy.SaveToString(copied));
    EXPECT_EQ(copied, bytes);
    EXPECT_EQ(bytes.size(), kDeclaration.size() + 7 + kDepth * 7u);
}

TEST(XMLWriter, CharactersXMLCannotCarryAreLeftOut) {
    // C0 controls but tab, LF and CR, U+FFFE and U+FFFF go; each byte of ill-formed UTF-8 (the
    // three of a lone surrogate among it) is written as U+FFFD; everything else stays.
    const std::string kept = "t\tn\nr\r\x7F\xC2\x85\xEF\xBF\xBD\xEF\xBF\xBC\xF0\x9F\x8E\xAC";
    const std::string forbidden =
        std::string("\x00\x01\x08\x0B\x0C\x1F", 6) + "\xEF\xBF\xBE\xEF\xBF\xBF";
    const std::string text = "a" + forbidden + kept + "\xED\xA0\x80" + "b";
    const std::string expected = "a" + kept + "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" + "b";

    TXMLUnicode document;
    document.OpenElement("r");
    document.AddElement("e", text)->AddAttribute("v", text);
    TCDATAElement::Create(document, document.Root())->Text.Text = text;
    document.CloseElement();
    std::string bytes;
    ASSERT_TRUE(document.SaveToString(bytes));
    EXPECT_EQ(bytes, kDeclaration + "<r><e v=\"" + expected + "\">" + expected + "</e><![CDATA[" +
                         expected + "]]></r>");

    // A text of nothing but such characters is written as an empty element.
    TXMLUnicode empty;
    empty.AddElement("x", "\x01\x02");
    empty.WriteDeclaration = false;
    ASSERT_TRUE(empty.SaveToString(bytes));
    EXPECT_EQ(bytes, "<x></x>");
}

TEST(XMLLoader, CharactersXMLCannotCarryAreDroppedOnLoad) {
    TXMLUnicode document;
    ASSERT_TRUE(
        document.LoadFromString("<a v=\"1\x01\x02\"><n>Ingest\x07 one\xEF\xBF\xBF</n></a>"));
    EXPECT_EQ(document.Root()->AttributeByName("v").Value, "1");
    EXPECT_EQ(document.Root()->FindChild("n")->Text.Text, "Ingest one");
}

TEST(XMLLoader, BoundsStopAHostileDocument) {
    struct TCase {
        const char* Name;
        std::string Input;
        int64_t MaxNodes;
        int MaxDepth;
        bool Loaded;
        const char* Error;
    };
    std::string flat = "<r>", deep, attributes = "<r";
    for (int i = 0; i < 1000; ++i) {
        flat += "<a/>";
        deep += "<e>";
        attributes += " a=\"\"";
    }
    attributes += "/>";
    const TCase cases[] = {
        {"flat within the bound", flat + "</r>", 1001, 0, true, ""},
        {"flat beyond it", flat + "</r>", 1000, 0, false, "more than 1000 elements and attributes"},
        {"attributes count too", attributes, 1000, 0, false,
         "more than 1000 elements and attributes"},
        {"CDATA sections count too", "<r><![CDATA[x]]><![CDATA[y]]></r>", 2, 0, false,
         "more than 2 elements and attributes"},
        {"deep within the bound", deep, 0, 1000, true, ""},
        {"deep beyond it", deep + "<e/>", 0, 1000, false, "more than 1000 elements nested"},
        {"closed elements free their depth", "<r><a><b/></a><a><b/></a></r>", 0, 3, true, ""},
        {"no bounds", flat + deep, 0, 0, true, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TXMLUnicode document;
        document.MaxLoadNodes = c.MaxNodes;
        document.MaxLoadDepth = c.MaxDepth;
        EXPECT_EQ(document.LoadFromString(c.Input), c.Loaded);
        EXPECT_EQ(document.LastError(), c.Error);
        if (c.MaxNodes > 0) {
            EXPECT_LE(document.ElementCount(), c.MaxNodes);
        }
    }
    // A later load within the bounds clears the message.
    TXMLUnicode document;
    document.MaxLoadNodes = 1;
    EXPECT_FALSE(document.LoadFromString("<a><b/></a>"));
    document.Clear();
    EXPECT_TRUE(document.LoadFromString("<a/>"));
    EXPECT_EQ(document.LastError(), "");
}
