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
    try {
        TLock lock(FEngine);
        TXMLUnicode doc;
        doc.OpenElement("config");
        FEngine.SaveStoreToXML(doc);
        doc.CloseElement();
        std::string bytes;
        return doc.SaveToString(bytes) && port::ReplaceFileWhole(Path, bytes, StoreAccess());
    } catch (...) {
        // Whatever failed, the store is still the previous file.
        return false;
    }
}

port::FileAccess TVmConfigStore::StoreAccess() const {
    // A store that holds a secret or the SMTP password is for the server's own user alone;
    // any other keeps the permissions it had.
    return FEngine.HostSettings().Secret.empty() && FEngine.Settings().SPassword.empty()
               ? port::FileAccess::KeepExisting
               : port::FileAccess::OwnerOnly;
}

bool TVmConfigStore::WriteSecret(const std::string& Path, const std::string& Secret,
                                 std::string& Error) {
    TXMLUnicode doc;
    if (port::FileExists(Path)) {
        if (!doc.LoadFromFile(Path, false) || doc.Depth() != 0 || !doc.Root() ||
            doc.Root()->Name != "config") {
            Error = "\"" + Path + "\" cannot be read whole" +
                    (doc.LastError().empty() ? std::string() : " (" + doc.LastError() + ")") +
                    "; it was not changed";
            return false;
        }
    } else {
        doc.OpenElement("config");
        doc.CloseElement();
    }
    doc.GotoRoot();
    if (TXMLElement* secret = doc.Root()->FindChild("secret")) {
        secret->Text.Text = Secret;
    } else {
        doc.AddElement("secret", Secret);
    }
    doc.GotoRoot();
    std::string bytes;
    if (!doc.SaveToString(bytes) ||
        !port::ReplaceFileWhole(Path, bytes, port::FileAccess::OwnerOnly)) {
        Error = "\"" + Path + "\" cannot be written (" + port::LastErrorText() + ")";
        return false;
    }
    return true;
}
