#include "foundation/kxXMLUnicode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "foundation/kxReaders.h"
#include "foundation/kxUnicode.h"
#include "foundation/kxUnicodeReader.h"
#include "port/port.h"

namespace {

constexpr size_t kFlushSize = 64 * 1024;
constexpr const char* kDiskFullMessage = "Cannot write to file, disk full?";

// Blanks of the markup: tab, LF, CR and space.
constexpr std::string_view kBlanks = " \t\n\r";

// Trims characters up to U+0020 at both ends (in UTF-8 these are single bytes).
std::string_view TrimControls(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20)
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20)
        --end;
    return text.substr(begin, end - begin);
}

// Hexadecimal digits only, at most 32 bits; the value wraps into the signed range as the
// registry form of negative numbers does ("$FFFFFFFF" is -1).
bool ParseHexDigits(std::string_view text, uint32_t& value) {
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        int d = HexDigitValue(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

// Leading spaces, an optional sign, then decimal digits or hexadecimal digits after "$",
// "x" or "0x". Nothing may follow the digits.
bool ParseSignedInteger(std::string_view text, int32_t& value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::string_view rest = text.substr(i);
    bool hex = false;
    if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
        hex = true;
        rest.remove_prefix(1);
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        hex = true;
        rest.remove_prefix(2);
    }
    if (hex) {
        uint32_t v;
        if (!ParseHexDigits(rest, v))
            return false;
        value = static_cast<int32_t>(negative ? 0u - v : v);
        return true;
    }
    if (rest.empty())
        return false;
    uint64_t v = 0;
    for (char c : rest) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > 0x80000000ull)
            return false;
    }
    if (!negative && v > 0x7FFFFFFFull)
        return false;
    value =
        negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(v)) : static_cast<int32_t>(v);
    return true;
}

int32_t ReadInteger(std::string_view text, int32_t defaultValue) {
    int32_t value;
    if (ParseSignedInteger(text, value))
        return value;
    uint32_t bare;
    if (ParseHexDigits(text, bare))
        return static_cast<int32_t>(bare);
    return defaultValue;
}

// Replaces the references "&gt;", "&lt;", "&quot;", "&amp;", "&apos;" and "&#39;" in one
// left-to-right pass and appends the result; any other "&" stays as written.
void AppendDecoded(std::string& out, std::string_view text) {
    static constexpr struct {
        std::string_view Reference;
        char Character;
    } kReferences[] = {{"&gt;", '>'},  {"&lt;", '<'},    {"&quot;", '"'},
                       {"&amp;", '&'}, {"&apos;", '\''}, {"&#39;", '\''}};
    size_t pos = 0;
    while (pos < text.size()) {
        size_t amp = text.find('&', pos);
        if (amp == std::string_view::npos) {
            out.append(text.substr(pos));
            return;
        }
        out.append(text.substr(pos, amp - pos));
        pos = amp + 1;
        char replacement = '&';
        for (const auto& ref : kReferences) {
            if (text.substr(amp, ref.Reference.size()) == ref.Reference) {
                replacement = ref.Character;
                pos = amp + ref.Reference.size();
                break;
            }
        }
        out.push_back(replacement);
    }
}

std::string Decoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendDecoded(out, text);
    return out;
}

// Whether XML 1.0 can carry the character: tab, LF, CR, and everything from U+0020 except
// surrogates, U+FFFE and U+FFFF.
bool IsXMLChar(char32_t c) {
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r';
    return (c < 0xD800 || c > 0xDFFF) && c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

// Length of the UTF-8 form of a character XML cannot carry at `pos`, or 0. Ill-formed
// sequences (surrogates among them) are left to the output codec, which writes U+FFFD.
size_t ForbiddenAt(std::string_view text, size_t pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x20)
        return IsXMLChar(byte) ? 0 : 1;
    // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
    if (byte == 0xEF && pos + 2 < text.size() &&
        static_cast<unsigned char>(text[pos + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[pos + 2]) & 0xFE) == 0xBE)
        return 3;
    return 0;
}

// Bytes that need a look: the escaped characters, the C0 controls and the lead byte of
// U+FFFE and U+FFFF.
constexpr char kSpecialBytes[] =
    "&<>\"'\x01\x02\x03\x04\x05\x06\x07\x08\x0B\x0C\x0E\x0F\x10\x11\x12\x13\x14\x15\x16\x17"
    "\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F\xEF";
// The literal's terminating NUL is the set's NUL.
constexpr std::string_view kSpecial(kSpecialBytes, sizeof kSpecialBytes);

// Appends the text with the markup characters escaped (when `escape`) and every character XML
// cannot carry left out.
void AppendWritable(std::string& out, std::string_view text, bool escape) {
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t special = text.find_first_of(kSpecial.substr(escape ? 0 : 5), pos);
        if (special == std::string_view::npos) {
            out.append(text.substr(pos));
            return;
        }
        out.append(text.substr(pos, special - pos));
        pos = special + 1;
        switch (text[special]) {
            case '&':
                out.append("&amp;");
                break;
            case '>':
                out.append("&gt;");
                break;
            case '<':
                out.append("&lt;");
                break;
            case '"':
                out.append("&quot;");
                break;
            case '\'':
                out.append("&apos;");
                break;
            default:
                if (const size_t skip = ForbiddenAt(text, special))
                    pos = special + skip;
                else
                    out.push_back(text[special]);
                break;
        }
    }
}

void AppendEscaped(std::string& out, std::string_view text) {
    AppendWritable(out, text, true);
}

// Number of characters (code points) in UTF-8 text.
size_t CharCount(std::string_view text) {
    size_t count = 0;
    for (char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// General format with at most 15 significant digits and "." as separator; the exponent is
// written as "E" with a sign only when negative ("1E20", "1.5E-7").
std::string FormatFloat(double value) {
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    char buffer[64];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    size_t e = text.find('e');
    if (e == std::string::npos)
        return text;
    std::string mantissa = text.substr(0, e);
    std::string_view exponent = std::string_view(text).substr(e + 1);
    bool negative = !exponent.empty() && exponent[0] == '-';
    if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+'))
        exponent.remove_prefix(1);
    while (exponent.size() > 1 && exponent[0] == '0')
        exponent.remove_prefix(1);
    return mantissa + (negative ? "E-" : "E") + std::string(exponent);
}

bool ParseFloat(std::string_view text, double& value) {
    text = TrimControls(text);
    if (!text.empty() && text[0] == '+')
        text.remove_prefix(1);
    if (text.empty() || text[0] == '+' || text[0] == ' ')
        return false;
    double v;
    auto result = std::from_chars(text.data(), text.data() + text.size(), v);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size())
        return false;
    value = v;
    return true;
}

// Days between 01-01-1970 and a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr int64_t kDaysTo1970 = 25569;  // from 30-12-1899, day zero of TDateTime
constexpr int64_t kMsPerDay = 86400000;
// The range of four-digit years, 01-01-0001 to 31-12-9999.
constexpr double kMinDateTime = -693594.0 + 1.0 / kMsPerDay;
constexpr double kMaxDateTime = 2958466.0;

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads 1 to `maxDigits` decimal digits at `pos`.
bool ReadNumber(std::string_view text, size_t& pos, int maxDigits, int& value, int& digits) {
    value = 0;
    digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < maxDigits) {
        value = value * 10 + (text[pos] - '0');
        ++pos;
        ++digits;
    }
    return digits > 0;
}

// "hh:nn", optionally ":ss" and ".zzz", as a fraction of a day.
bool ParseTime(std::string_view text, double& fraction) {
    size_t pos = 0;
    int hour, minute, second = 0, ms = 0, digits;
    if (!ReadNumber(text, pos, 2, hour, digits) || pos >= text.size() || text[pos++] != ':' ||
        !ReadNumber(text, pos, 2, minute, digits))
        return false;
    if (pos < text.size()) {
        if (text[pos++] != ':' || !ReadNumber(text, pos, 2, second, digits))
            return false;
        if (pos < text.size()) {
            if (text[pos++] != '.' || !ReadNumber(text, pos, 3, ms, digits))
                return false;
            for (; digits < 3; ++digits)
                ms *= 10;
        }
    }
    if (pos != text.size() || hour > 23 || minute > 59 || second > 59)
        return false;
    fraction = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + ms) / kMsPerDay;
    return true;
}

bool ParseDate(std::string_view text, double& days) {
    size_t pos = 0;
    int day, month, year, digits;
    if (!ReadNumber(text, pos, 2, day, digits) || pos >= text.size() || text[pos++] != '-' ||
        !ReadNumber(text, pos, 2, month, digits) || pos >= text.size() || text[pos++] != '-' ||
        !ReadNumber(text, pos, 4, year, digits) || pos != text.size())
        return false;
    if (digits <= 2)
        year += 2000;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    days = static_cast<double>(DaysFromCivil(year, month, day) + kDaysTo1970);
    return true;
}

bool ParseDateTime(std::string_view text, double& value) {
    text = TrimControls(text);
    size_t blank = text.find_first_of(" \t");
    std::string_view datePart = text.substr(0, blank);
    double days;
    if (!ParseDate(datePart, days)) {
        double fraction;
        if (blank != std::string_view::npos || !ParseTime(text, fraction))
            return false;
        value = fraction;
        return true;
    }
    double fraction = 0;
    if (blank != std::string_view::npos && !ParseTime(TrimControls(text.substr(blank)), fraction))
        return false;
    // A date before day zero counts its time of day away from zero.
    value = days < 0 ? days - fraction : days + fraction;
    return true;
}

// A view of `size` bytes of another reader from `start` (all the rest when size < 0).
class TWindowReader final : public AReaderEx {
  public:
    TWindowReader(AReader& source, int64_t start, int64_t size)
        : Source(source), Start(start), Size(size) {}

    int64_t GetPosition() override { return Position; }
    void SetPosition(int64_t position) override {
        if (position < 0 || (Size >= 0 && position > Size))
            throw EReader("Seek error");
        Source.SetPosition(Start + position);
        Position = position;
    }
    int64_t GetSize() override { return Size; }
    int64_t Read(void* buffer, int64_t count) override {
        if (Size >= 0)
            count = std::min(count, Size - Position);
        if (count <= 0)
            return 0;
        int64_t read = Source.Read(buffer, count);
        Position += read;
        return read;
    }
    bool Eof() override { return Size >= 0 ? Position >= Size : Source.Eof(); }

  private:
    AReader& Source;
    int64_t Start;
    int64_t Size;
    int64_t Position = 0;
};

}  // namespace

std::string FormatDateTime(TDateTime value) {
    int year, month, day, hour, minute, second, ms;
    DecodeDateTime(value, year, month, day, hour, minute, second, ms);
    char text[32];
    std::snprintf(text, sizeof text, "%02d-%02d-%04d %02d:%02d:%02d", day, month, year, hour,
                  minute, second);
    return text;
}

// ---- date-time ----

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& value) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59 || millisecond < 0 || millisecond > 999)
        return false;
    const double days = static_cast<double>(DaysFromCivil(year, month, day) + kDaysTo1970);
    const double fraction =
        static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond) / kMsPerDay;
    value = days < 0 ? days - fraction : days + fraction;
    return true;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& millisecond) {
    if (!std::isfinite(value))
        value = 0;
    value = std::clamp(value, kMinDateTime, kMaxDateTime - 1.0 / kMsPerDay);
    int64_t days = static_cast<int64_t>(std::trunc(value));
    int64_t ms = std::llround(std::fabs(value - static_cast<double>(days)) * kMsPerDay);
    if (ms >= kMsPerDay) {
        // Rounded up to midnight: that is the start of the next calendar day.
        ms -= kMsPerDay;
        ++days;
    }
    CivilFromDays(days - kDaysTo1970, year, month, day);
    hour = static_cast<int>(ms / 3600000);
    minute = static_cast<int>(ms / 60000 % 60);
    second = static_cast<int>(ms / 1000 % 60);
    millisecond = static_cast<int>(ms % 1000);
}

TDateTime NowDateTime() {
    const port::LocalTime now = port::LocalTimeNow();
    TDateTime value = 0;
    TryEncodeDateTime(now.year, now.month, now.day, now.hour, now.minute, std::min(now.second, 59),
                      now.millisecond, value);
    return value;
}

std::string FormatElapsed(TDateTime start, TDateTime end) {
    const double days = end - start;
    int64_t ms = static_cast<int64_t>(std::llround((days - std::floor(days)) * kMsPerDay));
    ms = std::clamp<int64_t>(ms, 0, kMsPerDay - 1);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000));
    return text;
}

// ---- TXMLText ----

std::string TXMLText::AsString(std::string_view defaultValue) const {
    for (char c : Text)
        if (static_cast<unsigned char>(c) > 0x20)
            return Text;
    return std::string(defaultValue);
}

std::string TXMLText::AsRawString(std::string_view defaultValue) const {
    return Text.empty() ? std::string(defaultValue) : Text;
}

int32_t TXMLText::AsInteger(int32_t defaultValue) const {
    return ReadInteger(TrimControls(Text), defaultValue);
}

bool TXMLText::AsBoolean(bool defaultValue) const {
    return Text.empty() ? defaultValue : Text == "1";
}

TGUID TXMLText::AsGUID(const TGUID& defaultValue) const {
    TGUID guid;
    return StringToGUID(Text, guid) ? guid : defaultValue;
}

double TXMLText::AsFloat(double defaultValue) const {
    double value;
    return ParseFloat(Text, value) ? value : defaultValue;
}

TDateTime TXMLText::AsDateTime(TDateTime defaultValue) const {
    double value;
    return ParseDateTime(Text, value) ? value : defaultValue;
}

// ---- TXMLAttribute, TXMLAttributes ----

std::string TXMLAttribute::AsString(std::string_view defaultValue) const {
    return Value.empty() ? std::string(defaultValue) : Value;
}

int32_t TXMLAttribute::AsInteger(int32_t defaultValue) const {
    return Value.empty() ? defaultValue : ReadInteger(Value, defaultValue);
}

TGUID TXMLAttribute::AsGUID(const TGUID& defaultValue) const {
    TGUID guid;
    return StringToGUID(Value, guid) ? guid : defaultValue;
}

TXMLAttribute* TXMLAttributes::Items(int index) const {
    if (index < 0 || index >= Count())
        return nullptr;
    return Items_[static_cast<size_t>(index)].get();
}

TXMLAttribute* TXMLAttributes::Find(std::string_view name) const {
    for (const auto& item : Items_)
        if (item->Name == name)
            return item.get();
    return nullptr;
}

int TXMLAttributes::Add(std::string_view name, std::string_view value) {
    Items_.push_back(std::make_unique<TXMLAttribute>(name, value));
    return Count() - 1;
}

// ---- TXMLElement ----

TXMLElement::TXMLElement(TKey, TXMLUnicode& document, std::string_view name)
    : TXMLNamedObject(name), Document_(&document) {}

TXMLElement* TXMLElement::Create(TXMLUnicode& document, std::string_view name,
                                 TXMLElement* parent) {
    return Register(std::make_unique<TXMLElement>(TKey(), document, name), parent);
}

TXMLElement* TXMLElement::Register(std::unique_ptr<TXMLElement> element, TXMLElement* parent) {
    TXMLUnicode& document = element->Document();
    TXMLElement* raw = element.get();
    // A parent from another document would outlive or be outlived by the child: refuse it.
    if (parent && parent->Document_ == &document) {
        if (!parent->Children_)
            parent->Children_ = std::make_unique<std::vector<TXMLElement*>>();
        parent->Children_->push_back(raw);
        raw->Parent_ = parent;
    }
    document.Adopt(std::move(element));
    return raw;
}

TXMLElement* TXMLElement::Children(int index) const {
    if (index < 0 || index >= ChildCount())
        return nullptr;
    return (*Children_)[static_cast<size_t>(index)];
}

TXMLElement* TXMLElement::FindChild(std::string_view name, bool recursive) const {
    if (!Children_)
        return nullptr;
    if (!recursive) {
        for (TXMLElement* child : *Children_)
            if (child->Name == name)
                return child;
        return nullptr;
    }
    // Depth first without recursion, so that the depth of a document cannot exhaust the stack.
    struct TFrame {
        const std::vector<TXMLElement*>* List;
        size_t Next;
    };
    std::vector<TFrame> stack{{Children_.get(), 0}};
    while (!stack.empty()) {
        TFrame& frame = stack.back();
        if (frame.Next >= frame.List->size()) {
            stack.pop_back();
            continue;
        }
        TXMLElement* child = (*frame.List)[frame.Next++];
        if (child->Name == name)
            return child;
        if (child->Children_ && !child->Children_->empty())
            stack.push_back({child->Children_.get(), 0});
    }
    return nullptr;
}

TXMLAttribute* TXMLElement::Attributes(int index) const {
    return Attributes_ ? Attributes_->Items(index) : nullptr;
}

const TXMLAttribute& TXMLElement::AttributeByName(std::string_view name) const {
    if (Attributes_)
        if (TXMLAttribute* found = Attributes_->Find(name))
            return *found;
    return Document_->EmptyAttribute();
}

TXMLAttribute* TXMLElement::AddAttribute(std::string_view name, std::string_view value) {
    if (!Attributes_)
        Attributes_ = std::make_unique<TXMLAttributes>();
    return Attributes_->Items(Attributes_->Add(name, value));
}

bool TXMLElement::WriteStart(std::string& out) const {
    out.push_back('<');
    out.append(Name);
    for (int i = 0; i < AttributeCount(); ++i) {
        const TXMLAttribute* attribute = Attributes_->Items(i);
        out.push_back(' ');
        out.append(attribute->Name);
        out.append("=\"");
        AppendEscaped(out, attribute->Value);
        out.push_back('"');
    }
    return true;
}

bool TXMLElement::WriteContent(std::string& out) const {
    if (Text.Text.empty())
        return false;
    AppendEscaped(out, Text.Text);
    return true;
}

bool TXMLElement::WriteEnd(std::string& out) const {
    if (Text.Text.empty())
        return false;
    out.push_back('>');
    AppendEscaped(out, Text.Text);
    out.append("</");
    out.append(Name);
    out.push_back('>');
    return true;
}

TCDATAElement* TCDATAElement::Create(TXMLUnicode& document, TXMLElement* parent) {
    return static_cast<TCDATAElement*>(
        Register(std::make_unique<TCDATAElement>(TKey(), document), parent));
}

bool TCDATAElement::WriteStart(std::string& out) const {
    WriteContent(out);
    return false;
}

bool TCDATAElement::WriteContent(std::string& out) const {
    out.append("<![CDATA[");
    AppendWritable(out, Text.Text, false);
    out.append("]]>");
    return true;
}

bool TCDATAElement::WriteEnd(std::string&) const {
    return true;
}

// ---- TXMLUnicode: tree and cursor ----

TXMLUnicode::TXMLUnicode() = default;

TXMLUnicode::~TXMLUnicode() = default;

TXMLElement* TXMLUnicode::Adopt(std::unique_ptr<TXMLElement> element) {
    // The element list grows by 500 slots up to a capacity of 1000, then by half.
    if (Elements.size() == Elements.capacity()) {
        const size_t capacity = Elements.capacity();
        Elements.reserve(capacity <= 1000 ? capacity + 500 : capacity + capacity / 2);
    }
    TXMLElement* raw = element.get();
    Elements.push_back(std::move(element));
    if (!Root_)
        Root_ = raw;
    return raw;
}

TXMLElement* TXMLUnicode::NewChild(std::string_view name, std::string_view text) {
    TXMLElement* element = TXMLElement::Create(*this, name, InsertionPoint());
    element->Text.Text.assign(text);
    return element;
}

TXMLElement* TXMLUnicode::OpenElement(std::string_view name, std::string_view text) {
    TXMLElement* element = NewChild(name, text);
    Current_ = element;
    ++Depth_;
    return element;
}

void TXMLUnicode::CloseElement() {
    if (Depth_ <= 0 || !Current_)
        return;
    // Closing a top-level element leaves the cursor on the root, as loading does, so that
    // later writes still land in the tree.
    Current_ = Current_->Parent() ? Current_->Parent() : Root_;
    --Depth_;
}

TXMLElement* TXMLUnicode::AddElement(std::string_view name, std::string_view text) {
    return NewChild(name, text);
}

TXMLElement* TXMLUnicode::AddInteger(std::string_view name, int32_t value) {
    return NewChild(name, std::to_string(value));
}

TXMLElement* TXMLUnicode::AddWord(std::string_view name, uint16_t value) {
    return NewChild(name, std::to_string(value));
}

TXMLElement* TXMLUnicode::AddFloat(std::string_view name, double value) {
    return NewChild(name, FormatFloat(value));
}

TXMLElement* TXMLUnicode::AddDateTime(std::string_view name, TDateTime value) {
    return NewChild(name, FormatDateTime(value));
}

TXMLElement* TXMLUnicode::AddGUID(std::string_view name, const TGUID& value) {
    return NewChild(name, GUIDToString(value));
}

TXMLElement* TXMLUnicode::AddBoolean(std::string_view name, bool value) {
    return NewChild(name, value ? "1" : "0");
}

TXMLAttribute* TXMLUnicode::AddAttribute(std::string_view name, std::string_view value) {
    TXMLElement* element = InsertionPoint();
    return element ? element->AddAttribute(name, value) : nullptr;
}

TXMLAttribute* TXMLUnicode::AddAttributeInteger(std::string_view name, int32_t value) {
    return AddAttribute(name, std::to_string(value));
}

TXMLAttribute* TXMLUnicode::AddAttributeGUID(std::string_view name, const TGUID& value) {
    return AddAttribute(name, GUIDToString(value));
}

bool TXMLUnicode::GotoRoot() {
    Current_ = Root_;
    return Root_ != nullptr;
}

void TXMLUnicode::SetCurrent(TXMLElement* element) {
    if (!Root_)
        Root_ = element;
    Current_ = element ? element : Root_;
}

bool TXMLUnicode::SelectChild(std::string_view name, bool recursive) {
    if (!Current_)
        return false;
    TXMLElement* found = Current_->FindChild(name, recursive);
    if (!found)
        return false;
    Current_ = found;
    return true;
}

bool TXMLUnicode::SelectNext(std::string_view name) {
    if (!Current_)
        return false;
    if (Current_->Name == name) {
        TXMLElement* parent = Current_->Parent();
        if (!parent)
            return false;
        const std::vector<TXMLElement*>& siblings = *parent->Children_;
        auto it = std::find(siblings.begin(), siblings.end(), Current_);
        for (++it; it < siblings.end(); ++it) {
            if ((*it)->Name == name) {
                Current_ = *it;
                return true;
            }
        }
        return false;
    }
    if (TXMLElement* child = Current_->FindChild(name)) {
        Current_ = child;
        return true;
    }
    return false;
}

void TXMLUnicode::PushPosition() {
    Positions.push_back(Current_);
}

void TXMLUnicode::PopPosition() {
    if (Positions.empty())
        return;
    Current_ = Positions.back();
    Positions.pop_back();
}

const TXMLText& TXMLUnicode::ChildText(std::string_view name) const {
    if (Current_)
        if (TXMLElement* child = Current_->FindChild(name))
            return child->Text;
    return EmptyText_;
}

const TXMLAttribute& TXMLUnicode::AttributeByName(std::string_view name) const {
    return Current_ ? Current_->AttributeByName(name) : EmptyAttribute_;
}

void TXMLUnicode::Clear() {
    // Child lists do not own, so freeing the flat list frees every element once, without
    // recursion however deep the tree is.
    Elements.clear();
    Elements.shrink_to_fit();
    Root_ = nullptr;
    Current_ = nullptr;
    Depth_ = 0;
    Positions.clear();
    Target = "xml";
    Version = "1.0";
    EncodingName = "UTF-8";
}

// ---- loading ----

// The single forward pass over decoded characters. It tolerates malformed markup; only reading
// and decoding errors and an end tag before the first element fail it.
class TXMLUnicode::TLoader {
  public:
    explicit TLoader(TXMLUnicode& document) : Document(document) {}

    bool Run(TUnicodeReader& reader) {
        while (!reader.Eof()) {
            const char32_t c = reader.ReadChar();
            if (!IsXMLChar(c))
                continue;
            if (InCDATA) {
                Append(c);
                if (c == '>' && Brackets >= 2) {
                    // The section ends at the first "]]>", even after a longer run of "]".
                    Pending.resize(Pending.size() - 3);
                    if (Document.Current_) {
                        if (!AddNodes())
                            return false;
                        TCDATAElement* section = TCDATAElement::Create(Document, Document.Current_);
                        section->Text.Text = Pending;
                    }
                    Pending.clear();
                    InCDATA = false;
                }
                Brackets = c == ']' ? Brackets + 1 : 0;
            } else if (InComment) {
                // Comment text is dropped.
                if (c == '>' && Dashes >= 2)
                    InComment = false;
                Dashes = c == '-' ? Dashes + 1 : 0;
            } else if (InDocType) {
                // Ends at the first ">" outside the internal subset's brackets, or at "]>".
                if (c == '>' && (Brackets <= 0 || Previous == ']'))
                    InDocType = false;
                else if (c == '[')
                    ++Brackets;
                else if (c == ']')
                    --Brackets;
                Previous = c;
            } else if (InTag) {
                if (InQuote) {
                    Append(c);
                    InQuote = c != '"';
                } else if (c == '>') {
                    InTag = false;
                    if (!Pending.empty() && !CompleteTag())
                        return false;
                } else {
                    Append(c);
                    InQuote = c == '"';
                    MatchOpeners(c);
                }
            } else if (c == '<') {
                if (Document.Current_)
                    AppendDecoded(Document.Current_->Text.Text, Pending);
                Pending.clear();
                InTag = true;
                TagChars = 0;
                std::fill(std::begin(OpenerPossible), std::end(OpenerPossible), true);
            } else if (Document.Current_) {
                // Text before the first element is discarded anyway; not keeping it bounds
                // memory on junk input.
                Append(c);
            }
        }
        return true;
    }

  private:
    enum { kCDATA, kComment, kDocType };
    static constexpr std::string_view kOpeners[3] = {"![CDATA[", "!--", "!DOCTYPE"};

    void Append(char32_t c) {
        if (c < 0x80)
            Pending.push_back(static_cast<char>(c));
        else
            AppendUTF8(Pending, c);
    }

    // Compares the tag's characters from the first after "<" with the section openers.
    void MatchOpeners(char32_t c) {
        for (int i = 0; i < 3; ++i) {
            if (!OpenerPossible[i])
                continue;
            const std::string_view opener = kOpeners[i];
            if (TagChars >= opener.size() || static_cast<char32_t>(opener[TagChars]) != c) {
                OpenerPossible[i] = false;
                continue;
            }
            if (TagChars + 1 == opener.size()) {
                InTag = false;
                Pending.clear();
                InCDATA = i == kCDATA;
                InComment = i == kComment;
                InDocType = i == kDocType;
                Brackets = 0;
                Dashes = 0;
                Previous = 0;
                return;
            }
        }
        ++TagChars;
    }

    bool CompleteTag() {
        const std::string_view tag = Pending;
        const size_t first = tag.find_first_not_of(kBlanks);
        bool ok = true;
        if (first == std::string_view::npos) {
            // A tag of blanks only names no element.
        } else if (tag[first] == '/') {
            ok = CloseCurrent();
        } else {
            const size_t last = tag.find_last_not_of(kBlanks);
            if (tag[last] == '/') {
                ok = StartElement(tag.substr(0, last)) && CloseCurrent();
            } else if (tag[last] != '?') {
                ok = StartElement(tag);
            }
        }
        Pending.clear();
        return ok;
    }

    // False when the element or its attributes would pass a load bound.
    bool StartElement(std::string_view tag) {
        const size_t begin = tag.find_first_not_of(kBlanks);
        if (begin == std::string_view::npos)
            return true;
        if (Document.MaxLoadDepth > 0 && Document.Depth_ >= Document.MaxLoadDepth)
            return Refuse("more than " + std::to_string(Document.MaxLoadDepth) +
                          " elements nested");
        if (!AddNodes())
            return false;
        tag.remove_prefix(begin);
        const size_t nameEnd = std::min(tag.find_first_of(kBlanks), tag.size());
        TXMLElement* element =
            TXMLElement::Create(Document, tag.substr(0, nameEnd), Document.InsertionPoint());
        Document.Current_ = element;
        ++Document.Depth_;
        return ParseAttributes(tag.substr(nameEnd), *element);
    }

    // Counts one more element or attribute against the document's bound.
    bool AddNodes() {
        if (Document.MaxLoadNodes > 0 && Nodes >= Document.MaxLoadNodes)
            return Refuse("more than " + std::to_string(Document.MaxLoadNodes) +
                          " elements and attributes");
        ++Nodes;
        return true;
    }

    bool Refuse(std::string reason) {
        Document.LastError_ = std::move(reason);
        return false;
    }

    // An end tag closes the current element whatever it names. False when there is none yet.
    bool CloseCurrent() {
        TXMLElement* current = Document.Current_;
        if (!current)
            return false;
        if (Document.Depth_ > 0)
            --Document.Depth_;
        Document.Current_ = current->Parent() ? current->Parent() : Document.Root_;
        return true;
    }

    bool ParseAttributes(std::string_view rest, TXMLElement& element) {
        rest = TrimControls(rest);
        while (!rest.empty()) {
            const size_t open = rest.find('"');
            const size_t close = open == std::string_view::npos ? open : rest.find('"', open + 1);
            if (close == std::string_view::npos || CharCount(rest.substr(0, close)) + 1 <= 3)
                return true;
            std::string_view item = rest.substr(0, close + 1);
            rest.remove_prefix(close + 1);
            item.remove_prefix(std::min(item.find_first_not_of(' '), item.size()));
            const size_t equals = item.find('=');
            if (equals == std::string_view::npos)
                continue;
            const std::string_view name = TrimControls(item.substr(0, equals));
            if (name.empty())
                continue;
            const std::string_view value = item.substr(equals + 1);
            const size_t valueOpen = value.find('"');
            const size_t valueClose =
                valueOpen == std::string_view::npos ? valueOpen : value.find('"', valueOpen + 1);
            if (valueClose == std::string_view::npos)
                continue;
            if (!AddNodes())
                return false;
            element.AddAttribute(name,
                                 Decoded(value.substr(valueOpen + 1, valueClose - valueOpen - 1)));
        }
        return true;
    }

    TXMLUnicode& Document;
    std::string Pending;
    bool InTag = false;
    bool InQuote = false;
    bool InCDATA = false;
    bool InComment = false;
    bool InDocType = false;
    bool OpenerPossible[3] = {true, true, true};
    size_t TagChars = 0;  // characters of the tag seen so far, counted from after "<"
    int Brackets = 0;     // CDATA: run of "]"; DOCTYPE: depth of "[" brackets
    int Dashes = 0;       // comment: run of "-"
    char32_t Previous = 0;
    int64_t Nodes = 0;  // elements and attributes this load added
};

bool TXMLUnicode::LoadFrom(AReader& source, PCodecClass codecClass) {
    LastError_.clear();
    try {
        if (!codecClass) {
            uint8_t head[1024];
            const int64_t count = source.Peek(head, sizeof head);
            const size_t headSize = static_cast<size_t>(std::max<int64_t>(count, 0));
            int markLength = 0;
            codecClass = DetectEncoding(head, headSize, markLength);
            if (!codecClass)
                return false;
        }
        TUnicodeReader reader(source, codecClass->Create());
        TLoader loader(*this);
        return loader.Run(reader);
    } catch (const std::exception&) {
        return false;
    }
}

bool TXMLUnicode::LoadFromFile(const std::string& fileName, bool denyWrite) {
    std::unique_ptr<TFileReader> file;
    try {
        file = std::make_unique<TFileReader>(fileName, denyWrite, 2);
    } catch (const std::exception&) {
        return false;
    }
    return LoadFrom(*file, Encoding);
}

bool TXMLUnicode::LoadFromStream(std::istream& stream, int64_t size) {
    std::string bytes;
    if (size < 0) {
        char chunk[65536];
        while (stream.read(chunk, sizeof chunk) || stream.gcount() > 0)
            bytes.append(chunk, static_cast<size_t>(stream.gcount()));
        if (stream.bad())
            return false;
    } else if (size > 0) {
        // Grown as the bytes arrive, so that a wrong size cannot claim memory up front.
        char chunk[65536];
        while (static_cast<int64_t>(bytes.size()) < size) {
            const auto want = std::min<int64_t>(size - static_cast<int64_t>(bytes.size()),
                                                static_cast<int64_t>(sizeof chunk));
            stream.read(chunk, want);
            if (stream.gcount() != want)
                return false;
            bytes.append(chunk, static_cast<size_t>(want));
        }
    }
    if (bytes.empty())
        return true;
    return LoadFromString(bytes);
}

bool TXMLUnicode::LoadFromReader(AReader& reader, int64_t size) {
    try {
        const int64_t start = reader.GetPosition();
        if (size < 0) {
            const int64_t total = reader.GetSize();
            size = total >= 0 ? std::max<int64_t>(total - start, 0) : -1;
        }
        TWindowReader window(reader, start, size);
        const bool loaded = LoadFrom(window, Encoding);
        if (size >= 0)
            reader.SetPosition(start + size);
        return loaded;
    } catch (const std::exception&) {
        return false;
    }
}

bool TXMLUnicode::LoadFromBuffer(const void* buffer, int64_t size) {
    if (size < 0 || (!buffer && size > 0))
        return false;
    TMemoryReader reader(size > 0 ? buffer : "", size);
    return LoadFrom(reader, Encoding);
}

bool TXMLUnicode::LoadFromString(std::string_view bytes) {
    return LoadFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// ---- saving ----

void TXMLUnicode::WriteTree(std::string& out,
                            const std::function<void(std::string&)>& flush) const {
    if (!Root_)
        return;
    // Iterative, so that the depth of a document cannot exhaust the stack.
    struct TFrame {
        const TXMLElement* Element;
        size_t Next;
    };
    std::vector<TFrame> stack;
    const TXMLElement* element = Root_;
    for (;;) {
        if (element) {
            if (element->WriteStart(out)) {
                if (element->ChildCount() > 0) {
                    out.push_back('>');
                    stack.push_back({element, 0});
                } else if (!element->WriteEnd(out)) {
                    out.append("/>");
                }
            }
            element = nullptr;
        }
        if (flush && out.size() >= kFlushSize)
            flush(out);
        if (stack.empty())
            return;
        TFrame& frame = stack.back();
        if (frame.Next < static_cast<size_t>(frame.Element->ChildCount())) {
            element = frame.Element->Children(static_cast<int>(frame.Next++));
            continue;
        }
        frame.Element->WriteContent(out);
        out.append("</");
        out.append(frame.Element->Name);
        out.push_back('>');
        stack.pop_back();
    }
}

void TXMLUnicode::WriteDocument(std::string_view encodingName,
                                const std::function<void(std::string&)>& flush) const {
    std::string out;
    if (WriteDeclaration) {
        out.append("<?");
        out.append(Target);
        out.append(" version=\"");
        out.append(Version);
        out.append("\" encoding=\"");
        out.append(encodingName);
        out.append("\"?>\r\n");
    }
    WriteTree(out, flush);
    if (!out.empty())
        flush(out);
}

void TXMLUnicode::WriteString(std::ostream& stream, std::string_view text) {
    const std::string bytes = OutputCodec->EncodeBuffer(text);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!stream)
        throw std::runtime_error(kDiskFullMessage);
}

void TXMLUnicode::SaveTo(std::ostream& stream) {
    const PCodecClass codecClass = Encoding ? Encoding : &UTF8CodecClass;
    OutputCodec = codecClass->Create();
    if (WritePreamble && !Preamble.empty()) {
        stream.write(Preamble.data(), static_cast<std::streamsize>(Preamble.size()));
        if (!stream)
            throw std::runtime_error(kDiskFullMessage);
    }
    // The declaration names the encoding the bytes are really in; a name that says otherwise
    // would make the document unreadable when loaded again.
    const std::string_view encodingName =
        FindCodec(EncodingName) == codecClass ? std::string_view(EncodingName) : codecClass->Name;
    WriteDocument(encodingName, [&](std::string& out) {
        WriteString(stream, out);
        out.clear();
    });
    stream.flush();
    if (!stream)
        throw std::runtime_error(kDiskFullMessage);
}

bool TXMLUnicode::SaveToStream(std::ostream& stream) {
    bool saved = true;
    try {
        SaveTo(stream);
    } catch (const std::exception& error) {
        LastError_ = error.what();
        saved = false;
    }
    OutputCodec.reset();
    return saved;
}

bool TXMLUnicode::SaveToFile(const std::string& fileName) {
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    if (!file) {
        LastError_ = "Cannot create file \"" + fileName + "\"";
        return false;
    }
    if (!SaveToStream(file))
        return false;
    file.close();
    if (!file) {
        LastError_ = kDiskFullMessage;
        return false;
    }
    return true;
}

bool TXMLUnicode::SaveToString(std::string& bytes) {
    std::ostringstream stream;
    bytes.clear();
    const bool saved = SaveToStream(stream);
    bytes = std::move(stream).str();
    return saved;
}

void TXMLUnicode::Assign(const TXMLUnicode* source) {
    if (source == this)
        return;
    Clear();
    if (!source)
        return;
    // Through UTF-8 whatever either document's encoding is, so the copy loses nothing.
    std::string bytes;
    source->WriteTree(bytes, nullptr);
    TMemoryReader reader(bytes.data(), static_cast<int64_t>(bytes.size()));
    LoadFrom(reader, &UTF8CodecClass);
}
