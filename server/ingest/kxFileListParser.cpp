#include "server/ingest/kxFileListParser.h"

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/ingest/kxFileUtils.h"

TFileListParser::TFileListParser(TTickSource Ticks) : FTicks(std::move(Ticks)) {
    if (!FTicks) {
        FTicks = [] { return port::GetTickCount(); };
    }
}

void TFileListParser::Scan(const std::string& Folder,
                           std::vector<std::unique_ptr<TSourceFileItem>>& Results,
                           int32_t SettleSeconds) {
    std::string folder = Folder;
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    if (!port::ListFolderFiles(folder, FListing) || FListing.empty()) {
        return;
    }
    ++FGeneration;
    const uint32_t now = FTicks();
    for (const port::FolderEntry& entry : FListing) {
        if (FNameFilter && !FNameFilter(entry.name)) {
            continue;
        }
        const std::string path = folder + entry.name;
        port::FileState state;
        if (!port::StatFile(path, state)) {
            continue;  // gone since the listing; forgotten below unless seen again
        }
        auto found = FTracked.find(entry.name);
        if (found == FTracked.end() || found->second.Inode != state.inode) {
            // The scan's own moment: a tick read later than `now` would make the elapsed time
            // below wrap round to some 49 days and pass an unsettled file at once.
            TFileItem record;
            record.Tick = now;
            record.Size = state.size;
            record.Inode = state.inode;
            record.FileItem = std::make_unique<TSourceFileItem>();
            record.FileItem->SetFileName(entry.name);
            found = FTracked.insert_or_assign(entry.name, std::move(record)).first;
        }
        TFileItem& record = found->second;
        record.Generation = FGeneration;
        if (state.size != record.Size) {
            record.Tick = now;
            record.Size = state.size;
            continue;
        }
        const uint32_t elapsed = now - record.Tick;
        if (static_cast<double>(SettleSeconds) > elapsed / 1000.0) {
            continue;
        }
        if (CanOpenExclusive(LongPath(path))) {
            Results.push_back(std::move(record.FileItem));
            FTracked.erase(found);
        } else {
            LogText("Could not get exclusive access...");
        }
    }
    std::erase_if(FTracked,
                  [this](const auto& tracked) { return tracked.second.Generation != FGeneration; });
}
