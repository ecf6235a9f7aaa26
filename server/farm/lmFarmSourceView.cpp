#include "server/farm/lmFarmSourceView.h"

#include <unordered_set>

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/ingest/kxFileUtils.h"
#include "server/ingest/lmVmSource.h"
#include "server/ingest/lmVmSourceFileItem.h"
#include "server/ingest/lmVmTaskList.h"

TFarmSourceView::TFarmSourceView(std::shared_ptr<TVmSource> Source) : FSource(std::move(Source)) {}

std::string TFarmSourceView::TaskFileName(const std::string& FileName, const TGUID& Uid) {
    TSourceFileItem item;
    item.SetFileName(FileName);
    return item.BaseName + "." + GUIDToString(Uid) + item.Extension;
}

std::string TFarmSourceView::QueuedPath(const std::string& FileName, const TGUID& Uid) const {
    return FSource->QueuedFolder() + TaskFileName(FileName, Uid);
}

bool TFarmSourceView::Identity(const std::string& Path, int64_t& Size, int64_t& ModifiedNs) {
    port::FileState state;
    if (!port::StatFile(Path, state)) {
        return false;
    }
    Size = state.size;
    ModifiedNs = state.modifiedNs;
    return true;
}

void TFarmSourceView::PurgeOwnIntermediates(const std::string& EngineTag) const {
    const std::string folder = FSource->ProcessingFolder();
    const std::string mark = "." + EngineTag;
    for (const std::string& name : port::ListFiles(folder, "{*")) {
        const size_t at = name.find(mark);
        // "{TASK}.EPOCH.TAG" and its caption side file "{TASK}.EPOCH.TAG.xmd".
        if (at != std::string::npos &&
            (at + mark.size() == name.size() || name.compare(at + mark.size(), 4, ".xmd") == 0)) {
            port::DeleteFile(folder + name);
        }
    }
}

std::vector<std::string> TFarmSourceView::QueuedFiles() const {
    const std::string queued = FSource->QueuedFolder();
    std::vector<port::FolderEntry> entries;
    std::vector<std::string> paths;
    if (port::ListFolderFiles(queued, entries)) {
        for (const port::FolderEntry& entry : entries) {
            paths.push_back(queued + entry.name);
        }
    }
    return paths;
}

int TFarmSourceView::MoveOrphans(const std::vector<std::string>& QueuedPaths,
                                 const std::vector<std::string>& OwnedPaths) const {
    const std::unordered_set<std::string> owned(OwnedPaths.begin(), OwnedPaths.end());
    const std::string orphans = FSource->WatchFolder() + OrphanedFolder + "/";
    int moved = 0;
    for (const std::string& path : QueuedPaths) {
        if (owned.count(path)) {
            continue;
        }
        const std::string target = orphans + path.substr(path.rfind('/') + 1);
        // Never over a file already there: it stays queued and is reported again next time.
        if (FileMove(LongPath(path), LongPath(target), false)) {
            LogText("Farm: no task owns the queued file \"" + path + "\"; moved to \"" + target +
                    "\"");
            ++moved;
        } else {
            LogText("Farm: no task owns the queued file \"" + path +
                    "\", and it cannot be moved to \"" + target + "\"");
        }
    }
    return moved;
}

std::string TFarmSourceView::DoneFolder(uint8_t State) const {
    switch (State) {
        case tsFinished:
            return FSource->CompletedFolder();
        case tsCancelled:
            return FSource->CancelledFolder();
        default:
            return FSource->FailedFolder();
    }
}
