#include "server/notify/lmVmMailComposer.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <utility>

namespace {

constexpr const char* BlockStart = "%START_FOREACH%";
constexpr const char* BlockEnd = "%END_FOREACH%";

bool Blank(const std::string& Line) {
    for (const char c : Line) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// A blank or a punctuation character, or the start or end of the text. Bytes of multi-byte
// characters count as letters.
bool Boundary(const std::string& Text, size_t Pos) {
    if (Pos >= Text.size()) {
        return true;
    }
    const auto c = static_cast<unsigned char>(Text[Pos]);
    return c < 0x80 && (std::isspace(c) || std::ispunct(c));
}

// "%NAME%" at Pos, compared without regard to case; the name's length or 0.
size_t PlaceholderAt(const std::string& Text, size_t Pos, const char* Name) {
    size_t i = 0;
    if (Text[Pos] != '%') {
        return 0;
    }
    for (; Name[i]; ++i) {
        if (Pos + 1 + i >= Text.size() ||
            std::toupper(static_cast<unsigned char>(Text[Pos + 1 + i])) != Name[i]) {
            return 0;
        }
    }
    return Pos + 1 + i < Text.size() && Text[Pos + 1 + i] == '%' ? i + 2 : 0;
}

// Control characters would break the mail file's lines and header fields.
std::string Clean(std::string Text) {
    for (char& c : Text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return Text;
}

const char* const PlaceholderNames[] = {
    "FILECOUNTER", "THUMBNAIL", "USERNAME",  "NUMFILES",   "FILENAME", "SOURCENAME",    "CLIPNAME",
    "STARTTIME",   "ENDTIME",   "FINALSIZE", "FAILREASON", "RECALLID", "LENGTH",        "FORMAT",
    "FLAGS",       "AUDIOCH",   "BITDEPTH",  "PROJECT",    "TARGETS",  "VIDMILLVERSION"};

}  // namespace

bool TMailComposer::PlainFileName(const std::string& Name) {
    if (Name.empty() || Name == "." || Name == "..") {
        return false;
    }
    for (const char c : Name) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return Name.find("..") == std::string::npos;
}

bool TMailComposer::ReadTemplate(const std::string& Path, std::vector<std::string>& Lines,
                                 std::string& Error) {
    Lines.clear();
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        Error = "cannot read the template \"" + Path + "\"";
        return false;
    }
    std::string text;
    text.resize(MaxTemplateBytes + 1);
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    if (text.size() > MaxTemplateBytes) {
        Error = "the template \"" + Path + "\" is larger than " + std::to_string(MaxTemplateBytes) +
                " bytes";
        return false;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (end < text.size() || !line.empty()) {
            Lines.push_back(std::move(line));
        }
        start = end + 1;
    }
    TrimTemplate(Lines);
    return true;
}

void TMailComposer::TrimTemplate(std::vector<std::string>& Lines) {
    while (!Lines.empty() && Blank(Lines.front())) {
        Lines.erase(Lines.begin());
    }
    while (!Lines.empty() && Blank(Lines.back())) {
        Lines.pop_back();
    }
    if (Lines.size() > 1 && Blank(Lines[1])) {
        Lines.erase(Lines.begin() + 1);
    }
}

TMailComposer::TMailComposer(const std::vector<std::string>& TemplateLines,
                             const std::vector<std::unique_ptr<TMailInfo>>& Records,
                             std::vector<bool> Thumbnails, std::string VersionText)
    : FLines(TemplateLines),
      FRecords(Records),
      FThumbnails(std::move(Thumbnails)),
      FVersionText(std::move(VersionText)) {}

std::vector<std::string> TMailComposer::Compose(const std::string& UserName,
                                                const std::string& Address) const {
    std::vector<std::string> out{Clean(UserName) + " <" + Address + ">"};
    std::vector<TBlockLine> block;
    bool inBlock = false;
    for (size_t t = 0; t < FLines.size(); ++t) {
        // The first line is the subject: plain text, not HTML.
        const bool escape = t > 0;
        std::string rest = FLines[t];
        for (;;) {
            const char* marker = inBlock ? BlockEnd : BlockStart;
            const size_t pos = rest.find(marker);
            if (pos == std::string::npos) {
                break;
            }
            const std::string before = rest.substr(0, pos);
            if (inBlock) {
                if (!before.empty()) {
                    block.push_back({before, escape});
                }
                Expand(block, UserName, out);
                block.clear();
            } else if (!before.empty()) {
                out.push_back(Fill(before, 0, false, escape, UserName));
            }
            inBlock = !inBlock;
            rest = rest.substr(pos + std::char_traits<char>::length(marker));
        }
        if (!rest.empty()) {
            if (inBlock) {
                block.push_back({rest, escape});
            } else {
                out.push_back(Fill(rest, 0, false, escape, UserName));
            }
        }
    }
    if (inBlock) {
        Expand(block, UserName, out);
    }
    return out;
}

void TMailComposer::Expand(const std::vector<TBlockLine>& Block, const std::string& UserName,
                           std::vector<std::string>& Out) const {
    for (size_t i = 0; i < FRecords.size(); ++i) {
        for (const TBlockLine& line : Block) {
            Out.push_back(Fill(line.Text, i, true, line.Escape, UserName));
        }
    }
}

std::string TMailComposer::Fill(const std::string& Text, size_t Index, bool InBlock, bool Escape,
                                const std::string& UserName) const {
    // One pass from left to right: a value put in is never read as a placeholder itself.
    std::string out;
    size_t pos = 0;
    while (pos < Text.size()) {
        size_t length = 0;
        const char* name = nullptr;
        for (const char* candidate : PlaceholderNames) {
            length = PlaceholderAt(Text, pos, candidate);
            if (length) {
                name = candidate;
                break;
            }
        }
        const bool counter = name && std::string_view(name) == "FILECOUNTER";
        if (name && (counter || (Boundary(Text, pos - 1) && Boundary(Text, pos + length)))) {
            bool known = false;
            std::string value = Value(name, Index, InBlock, known, UserName);
            if (known) {
                out += Escape && std::string_view(name) != "TARGETS" ? EscapeHtml(value) : value;
                pos += length;
                continue;
            }
        }
        out += Text[pos];
        ++pos;
    }
    return out;
}

std::string TMailComposer::Value(const std::string& Name, size_t Index, bool InBlock, bool& Known,
                                 const std::string& UserName) const {
    Known = true;
    if (Name == "FILECOUNTER") {
        Known = InBlock;
        return std::to_string(Index + 1);
    }
    if (Name == "THUMBNAIL") {
        // A record without a thumbnail refers to no image, so every reference finds its own.
        const size_t record = InBlock ? Index : 0;
        return record < FThumbnails.size() && FThumbnails[record]
                   ? "cid:IMAGE" + std::to_string(record + 1)
                   : std::string();
    }
    if (Name == "USERNAME") {
        return Clean(UserName);
    }
    if (Name == "NUMFILES") {
        return std::to_string(FRecords.size());
    }
    if (Name == "VIDMILLVERSION") {
        return FVersionText;
    }
    if (Index >= FRecords.size()) {
        return {};
    }
    const TMailInfo& r = *FRecords[Index];
    const std::pair<const char*, const std::string*> fields[] = {
        {"FILENAME", &r.FileName},     {"SOURCENAME", &r.SourceName}, {"CLIPNAME", &r.ClipName},
        {"STARTTIME", &r.StartTime},   {"ENDTIME", &r.EndTime},       {"FINALSIZE", &r.FinalSize},
        {"FAILREASON", &r.FailReason}, {"RECALLID", &r.RecallID},     {"LENGTH", &r.Length},
        {"FORMAT", &r.Format},         {"FLAGS", &r.Flags},           {"AUDIOCH", &r.AudioChannels},
        {"BITDEPTH", &r.BitDepth},     {"PROJECT", &r.Project},       {"TARGETS", &r.TargetsTable}};
    for (const auto& [field, value] : fields) {
        if (Name == field) {
            return Name == "TARGETS" ? *value : Clean(*value);
        }
    }
    Known = false;
    return {};
}
