#include "tools/lmVidmillCtl/lmCtlOutput.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "foundation/kxUnicode.h"
#include "tools/lmVidmillCtl/lmCtlCommandLine.h"
#include "tools/lmVidmillCtl/lmCtlSession.h"

namespace ctl {

void Print(const std::string& text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (std::fflush(stdout) != 0 || !written) {
        throw TCtlError(exOutputFailed,
                        std::string("cannot write the output (") + std::strerror(errno) + ")");
    }
}

namespace {

std::string Hex(const char* form, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, form, value);
    return text;
}

}  // namespace

std::string Shown(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    char32_t code = 0;
    for (size_t at = 0, next = 0; NextUTF8Char(text, next, code); at = next) {
        // A byte that begins no well-formed character reads as one replacement character.
        if (code == 0xFFFD && text.compare(at, next - at, "\xEF\xBF\xBD") != 0) {
            out += Hex("\\x%02X", static_cast<unsigned char>(text[at]));
        } else if (code == '\\') {
            out += "\\\\";
        } else if (code == '\n') {
            out += "\\n";
        } else if (code == '\r') {
            out += "\\r";
        } else if (code == '\t') {
            out += "\\t";
        } else if (code < 0x20 || code == 0x7F) {
            out += Hex("\\x%02X", code);
        } else if ((code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029) {
            out += Hex("\\u%04X", code);
        } else {
            out.append(text, at, next - at);
        }
    }
    return out;
}

void PrintDone(TCtlSession& session, const std::string& message, const std::vector<TGUID>& tasks) {
    if (!session.Options().Json) {
        Print(message + "\n");
        return;
    }
    TJsonWriter json;
    json.BeginObject();
    json.Member("done", true);
    json.Member("message", message);
    json.Key("tasks");
    json.BeginArray();
    for (const TGUID& uid : tasks) {
        json.String(GUIDToString(uid));
    }
    json.EndArray();
    json.EndObject();
    Print(json.Text());
}

}  // namespace ctl
