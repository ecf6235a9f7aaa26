#include "server/delivery/lmVmFolderDelivery.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <random>

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/lmVmMetaItems.h"

namespace {

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// A hidden name beside the destination that no other delivery uses at the same time.
std::string TemporaryName(const std::string& folder, const std::string& name) {
    static std::atomic<uint32_t> counter{0};
    std::random_device device;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", device() ^ (counter.fetch_add(1) * 2654435761u));
    return folder + "." + name + "." + suffix + ".part";
}

// Puts a copy of `from` into the folder as `name`: written and synced under a temporary name,
// then renamed over whatever the name held, so a reader of the folder sees the earlier file or
// the whole new one, never a part, and a failed copy leaves the earlier file as it was. False
// with `why` (the temporary file is gone then).
bool PlaceCopy(const std::string& from, const std::string& folder, const std::string& name,
               std::string& why) {
    const std::string temporary = TemporaryName(folder, name);
    if (!port::CopyFileData(from, temporary, false, true)) {
        why = port::LastErrorText();
        return false;
    }
    if (port::RenameFileChecked(temporary, folder + name, true) != port::RenameResult::Ok) {
        why = port::LastErrorText();
        port::DeleteFile(temporary);
        return false;
    }
    // The new name must outlive a power cut once the intermediate file is gone.
    if (!port::SyncPath(folder)) {
        why = "the folder cannot be synchronised: " + port::LastErrorText();
        return false;
    }
    return true;
}

// The caption side file goes along when there is one; its failure does not fail the delivery.
void CopySideFile(const std::string& sideFile, const std::string& folder, const std::string& name) {
    if (!port::FileExists(sideFile)) {
        return;
    }
    std::string why;
    if (PlaceCopy(sideFile, folder, name, why)) {
        LogText("Copied metadata file: " + sideFile + " to folder: " + folder + " successfully.");
    } else {
        LogText("Failed to copy metadata file: " + sideFile + " to folder: " + folder + " (" + why +
                ")");
    }
}

}  // namespace

bool DeliverToFolder(TVmTarget& Target, const std::string& OutputPath, const TMetaItems& Meta) {
    std::string folder = Target.Folder();
    LogText("Sending file: " + OutputPath + " to folder: " + folder);
    if (IsBlank(folder)) {
        return false;
    }
    try {
        std::string baseName = Meta.Item(MetaFileName).Value();
        std::string extension = Meta.Item(MetaExt).Value();
        if (folder.back() != '/') {
            folder += '/';
        }
        if (!extension.empty()) {
            // The clip name may still carry the extension of the file it came from.
            if (const size_t dot = baseName.rfind('.'); dot != std::string::npos) {
                baseName.erase(dot);
            }
            extension = "." + extension;
        }
        // Whether the folder is usable is judged by whether it exists afterwards.
        port::CreateFolders(folder);
        if (port::FolderExists(folder) && !baseName.empty()) {
            std::string why;
            if (PlaceCopy(OutputPath, folder, baseName + extension, why)) {
                LogText("Copied file: " + OutputPath + " to folder: " + folder + " successfully.");
                CopySideFile(OutputPath + ".xmd", folder, baseName + ".xmd");
                return true;
            }
            LogText("Failed to copy file: " + OutputPath + " to folder: " + folder + " (" + why +
                    ")");
            Target.SetLastError("Failed to write to folder: \"" + folder + "\" for target");
            LogText("Failed to write to target folder: \"" + folder + "\"");
            return false;
        }
        if (!baseName.empty()) {
            Target.SetLastError("Failed to create folder: \"" + folder + "\" for target");
            LogText("Failed to create target folder: \"" + folder + "\"");
            return false;
        }
        Target.SetLastError("Failed to copy - empty filename - for target");
        LogText("Failed to copy - empty filename");
        return false;
    } catch (const std::exception& error) {
        Target.SetLastError("Failed to write to folder: \"" + folder + "\" (" + error.what() +
                            ") for target");
        LogText("Failed to write to target folder: \"" + folder + "\" (" + error.what() + ")");
        return false;
    }
}
