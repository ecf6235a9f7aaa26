#include "server/core/lmVmCommandLine.h"

#include <cctype>
#include <climits>

#include "foundation/kxUnicode.h"

namespace {

std::string AsciiUpper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool ParseDigits(const std::string& text, size_t pos, int base, bool negative, int& value) {
    if (pos >= text.size())
        return false;
    long long result = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = HexDigitValue(text[pos]);
        if (digit < 0 || digit >= base)
            return false;
        result = result * base + digit;
        if (result > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        result = -result;
    if (result > INT_MAX || result < INT_MIN)
        return false;
    value = static_cast<int>(result);
    return true;
}

}  // namespace

bool TryStrToInt(const std::string& text, int& value) {
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos < text.size() && text[pos] == '$')
        return ParseDigits(text, pos + 1, 16, negative, value);
    if (pos < text.size() && (text[pos] == 'x' || text[pos] == 'X'))
        return ParseDigits(text, pos + 1, 16, negative, value);
    if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X'))
        return ParseDigits(text, pos + 2, 16, negative, value);
    return ParseDigits(text, pos, 10, negative, value);
}

TVmCommandLine::TVmCommandLine(std::vector<std::string> arguments)
    : FArguments(std::move(arguments)) {}

bool TVmCommandLine::HasSwitch(const std::string& name) const {
    const std::string wanted = AsciiUpper(name);
    for (const std::string& argument : FArguments) {
        if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/'))
            continue;
        if (AsciiUpper(argument.substr(1)) == wanted)
            return true;
    }
    return false;
}

int TVmCommandLine::ServerPort(int configuredPort) const {
    static const std::string kPrefix = "SERVERPORT:";
    int port = configuredPort;
    for (const std::string& argument : FArguments) {
        if (AsciiUpper(argument).rfind(kPrefix, 0) != 0)
            continue;
        int value;
        if (TryStrToInt(argument.substr(argument.rfind(':') + 1), value))
            port = value;
    }
    return port;
}
