#include "server/core/lmVmCommandLine.h"

#include <cctype>
#include <climits>
#include <initializer_list>

#include "foundation/kxUnicode.h"

namespace {

std::string AsciiUpper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

const char* const kSwitches[] = {"NOSERVICE", "INSTALL", "UNINSTALL", "SILENT", "SETSECRET"};
const std::string kPortPrefix = "SERVERPORT:";

bool OneOf(const std::string& upper, std::initializer_list<const char*> forms) {
    for (const char* form : forms) {
        if (upper == form)
            return true;
    }
    return false;
}

bool IsHelpRequest(const std::string& argument) {
    return OneOf(AsciiUpper(argument), {"--HELP", "-H", "-?", "/?", "-HELP", "/HELP"});
}

bool IsVersionRequest(const std::string& argument) {
    return OneOf(AsciiUpper(argument), {"--VERSION", "-VERSION", "/VERSION"});
}

bool IsPortOverride(const std::string& argument) {
    return AsciiUpper(argument).rfind(kPortPrefix, 0) == 0;
}

// Which folder an argument overrides: the member of TVmFolders it sets, or none.
std::string TVmFolders::*OverriddenMember(const std::string& argument) {
    static const struct {
        const char* Prefix;
        std::string TVmFolders::*Member;
    } kOverrides[] = {{"CONFIGFOLDER:", &TVmFolders::Config},
                      {"DATAFOLDER:", &TVmFolders::Data},
                      {"LOGFOLDER:", &TVmFolders::Log}};
    const std::string upper = AsciiUpper(argument);
    for (const auto& entry : kOverrides) {
        if (upper.rfind(entry.Prefix, 0) == 0)
            return entry.Member;
    }
    return nullptr;
}

bool IsFolderOverride(const std::string& argument) {
    return OverriddenMember(argument) != nullptr;
}

// The folder a valid override names, with a trailing "/"; empty when it names no absolute
// folder (the working directory is never used).
std::string OverriddenFolder(const std::string& argument) {
    std::string folder = argument.substr(argument.find(':') + 1);
    if (folder.empty() || folder[0] != '/')
        return {};
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

bool HasSwitchPrefix(const std::string& argument) {
    return argument.size() >= 2 && (argument[0] == '-' || argument[0] == '/');
}

bool IsPrefixedPortOverride(const std::string& argument) {
    return HasSwitchPrefix(argument) && IsPortOverride(argument.substr(1));
}

bool IsKnownSwitch(const std::string& argument) {
    if (!HasSwitchPrefix(argument))
        return false;
    const std::string name = AsciiUpper(argument.substr(1));
    for (const char* known : kSwitches) {
        if (name == known)
            return true;
    }
    return false;
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
        if (HasSwitchPrefix(argument) && AsciiUpper(argument.substr(1)) == wanted)
            return true;
    }
    return false;
}

int TVmCommandLine::ServerPort(int configuredPort) const {
    int port = configuredPort;
    for (const std::string& argument : FArguments) {
        if (!IsPortOverride(argument))
            continue;
        int value;
        if (TryStrToInt(argument.substr(argument.rfind(':') + 1), value))
            port = value;
    }
    return port;
}

TVmFolders TVmCommandLine::Folders(const std::string& installFolder) const {
    TVmFolders folders{installFolder, installFolder, installFolder, installFolder + "logs/"};
    for (const std::string& argument : FArguments) {
        std::string TVmFolders::*member = OverriddenMember(argument);
        const std::string folder = member ? OverriddenFolder(argument) : std::string();
        if (!folder.empty())
            folders.*member = folder;
    }
    return folders;
}

std::vector<std::string> TVmCommandLine::InvalidFolderArguments() const {
    std::vector<std::string> invalid;
    for (const std::string& argument : FArguments) {
        if (IsFolderOverride(argument) && OverriddenFolder(argument).empty())
            invalid.push_back(argument);
    }
    return invalid;
}

TVmCommandLine::TRequest TVmCommandLine::Request() const {
    bool version = false;
    for (const std::string& argument : FArguments) {
        if (IsHelpRequest(argument))
            return TRequest::Help;
        version = version || IsVersionRequest(argument);
    }
    return version ? TRequest::Version : TRequest::Run;
}

std::vector<std::string> TVmCommandLine::UnknownArguments() const {
    std::vector<std::string> unknown;
    for (const std::string& argument : FArguments) {
        // A prefixed port override is no override, but it is the server's own argument: it is
        // reported as ignored, not refused.
        if (!IsKnownSwitch(argument) && !IsPortOverride(argument) &&
            !IsPrefixedPortOverride(argument) && !IsFolderOverride(argument) &&
            !IsHelpRequest(argument) && !IsVersionRequest(argument))
            unknown.push_back(argument);
    }
    return unknown;
}

std::vector<std::string> TVmCommandLine::IgnoredPortArguments() const {
    std::vector<std::string> ignored;
    for (const std::string& argument : FArguments) {
        if (IsPrefixedPortOverride(argument))
            ignored.push_back(argument);
    }
    return ignored;
}
