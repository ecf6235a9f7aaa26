#include "server/delivery/lmVmFolderDelivery.h"

#include <exception>

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/kxFileUtils.h"
#include "server/ingest/lmVmMetaItems.h"

namespace {

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
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
            if (FileCopy(OutputPath, folder + baseName + extension)) {
                LogText("Copied file: " + OutputPath + " to folder: " + folder + " successfully.");
                const std::string sideFile = OutputPath + ".xmd";
                if (port::FileExists(sideFile) && FileCopy(sideFile, folder + baseName + ".xmd")) {
                    LogText("Copied metadata file: " + sideFile + " to folder: " + folder +
                            " successfully.");
                }
                return true;
            }
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
