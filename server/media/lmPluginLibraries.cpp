#include "server/media/lmPluginLibraries.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "foundation/kxLogFile.h"
#include "foundation/kxUnicode.h"
#include "port/port.h"

namespace {

// The extension of a file name, without its full stop; empty when the name has none.
std::string NameExtension(const std::string& Name) {
    const size_t dot = Name.find_last_of('.');
    return dot == std::string::npos ? std::string() : Name.substr(dot + 1);
}

}  // namespace

void LoadPluginLibraries(const std::string& Folder, const std::string& Extension,
                         const std::string& Kind, const TPluginLibraryAccept& Accept) {
    std::string base = Folder;
    if (!base.empty() && base.back() != '/') {
        base += '/';
    }
    // Name order makes the order in which the libraries are asked predictable.
    std::vector<std::string> names = port::ListFiles(base, "*");
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        try {
            if (!SameText(NameExtension(name), Extension)) {
                continue;
            }
            port::DynamicLibrary library;
            if (!library.Open(base + name)) {
                LogText(Kind + " " + name + " could not be loaded: " + library.LastError());
                continue;
            }
            const std::string refusal = Accept(name, library);
            if (!refusal.empty()) {
                LogText(Kind + " " + name + " " + refusal);
            }
        } catch (const std::exception& error) {
            LogText(Kind + " " + name + " failed to load: " + error.what());
        } catch (...) {
            LogText(Kind + " " + name + " failed to load");
        }
    }
}
