#include "server/core/lmVmConfigStore.h"

#include <mutex>

#include "foundation/kxXMLUnicode.h"
#include "port/port_files.h"
#include "server/core/lmVmEngine.h"

bool TVmConfigStore::LoadConfig(const std::string& Path) {
    try {
        TXMLUnicode doc;
        bool complete = false;
        if (port::FileExists(Path)) {
            complete = doc.LoadFromFile(Path, false);
        }
        doc.GotoRoot();
        FEngine.LoadFromXML(doc);
        return complete;
    } catch (...) {
        // A store that cannot be read leaves what was loaded; the next change writes it anew.
        return false;
    }
}

bool TVmConfigStore::SaveConfig(const std::string& Path) {
    const std::string temporary = TemporaryPath(Path);
    try {
        std::lock_guard lock(FEngine);
        TXMLUnicode doc;
        doc.OpenElement("config");
        FEngine.SaveToXML(doc);
        doc.CloseElement();

        port::DeleteFile(temporary);
        bool written = doc.SaveToFile(temporary);
        if (written) {
            // The data must be on the disk before the rename makes it the store.
            port::AppendFile file;
            written = file.Open(temporary) && file.Flush();
        }
        if (written && port::RenameFile(temporary, Path)) {
            return true;
        }
    } catch (...) {
    }
    port::DeleteFile(temporary);
    return false;
}
