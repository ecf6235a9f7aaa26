#include "server/core/lmVmConfigStore.h"

#include <filesystem>
#include <system_error>

#include "foundation/kxMutex.h"
#include "foundation/kxXMLUnicode.h"
#include "port/port.h"
#include "server/core/lmVmEngine.h"

bool TVmConfigStore::LoadConfig(const std::string& Path) {
    bool complete = false;
    try {
        TXMLUnicode doc;
        if (port::FileExists(Path)) {
            // Whole means read to its end with every element closed under the root "config".
            complete = doc.LoadFromFile(Path, false) && doc.Depth() == 0 && doc.Root() &&
                       doc.Root()->Name == "config";
        }
        doc.GotoRoot();
        FEngine.LoadFromXML(doc);
    } catch (...) {
        // A store that cannot be read leaves what was loaded; the next change writes it anew.
        complete = false;
    }
    if (!complete && port::FileSize(Path) > 0) {
        // The next save replaces the store with what could be read: keep the damaged file so
        // that nothing the operator had configured is lost for good.
        std::error_code error;
        std::filesystem::copy_file(Path, DamagedPath(Path),
                                   std::filesystem::copy_options::overwrite_existing, error);
    }
    return complete;
}

bool TVmConfigStore::SaveConfig(const std::string& Path) {
    const std::string temporary = TemporaryPath(Path);
    try {
        TLock lock(FEngine);
        TXMLUnicode doc;
        doc.OpenElement("config");
        FEngine.SaveToXML(doc);
        doc.CloseElement();

        port::DeleteFile(temporary);
        bool written = doc.SaveToFile(temporary);
        if (written) {
            // The store holds the SMTP password: the new file keeps the old one's permissions.
            std::error_code error;
            const auto previous = std::filesystem::status(Path, error);
            if (!error && std::filesystem::is_regular_file(previous)) {
                std::filesystem::permissions(temporary, previous.permissions(), error);
                written = !error;
            }
        }
        if (written) {
            // The data must be on the disk before the rename makes it the store.
            port::AppendFile file;
            written = file.Open(temporary) && file.Flush();
        }
        if (written && port::RenameFile(temporary, Path)) {
            return true;
        }
    } catch (...) {
        // Whatever failed, the store is still the previous file and the caller is told below.
    }
    port::DeleteFile(temporary);
    return false;
}
