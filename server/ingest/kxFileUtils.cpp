#include "server/ingest/kxFileUtils.h"

#include "foundation/kxLogFile.h"
#include "port/port.h"

namespace {

std::string Quoted(const std::string& Text) {
    return "\"" + Text + "\"";
}

std::string ParentFolder(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

}  // namespace

std::string LongPath(const std::string& Path) {
    return Path;
}

bool CanOpenExclusive(const std::string& Path) {
    return port::CanOpenExclusive(Path);
}

bool FileCopy(const std::string& Source, const std::string& Target) {
    return port::CopyFileData(Source, Target, true, false);
}

bool FileMove(const std::string& Source, const std::string& Target, bool ReplaceExisting) {
    const std::string folder = ParentFolder(Target);
    if (!folder.empty()) {
        port::CreateFolders(folder);
    }
    if (port::FolderExists(Target)) {
        LogText("Unable to move file: " + Quoted(Source) +
                " to (existing) target file: " + Quoted(Target));
        return false;
    }
    // Deleting the target first would delete the only copy of a file moved onto itself.
    if (port::SameFile(Source, Target)) {
        return true;
    }
    switch (port::RenameFileChecked(Source, Target, ReplaceExisting)) {
        case port::RenameResult::Ok:
            return true;
        case port::RenameResult::TargetExists:
            return false;
        case port::RenameResult::Unsupported:
        case port::RenameResult::Failed:
            LogText("MoveFile failed renaming from: " + Quoted(Source) + " to: " + Quoted(Target));
            return false;
        case port::RenameResult::CrossDevice:
            break;
    }
    // The source is deleted only once its copy is on the disk.
    if (!port::CopyFileData(Source, Target, ReplaceExisting, true)) {
        return false;
    }
    if (!port::DeleteFile(Source)) {
        LogText("MoveFile failed deleting source file after move: " + Quoted(Source));
        return false;
    }
    return true;
}
