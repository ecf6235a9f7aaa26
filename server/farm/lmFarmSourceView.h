#pragma once

// The farm's view of one source: the names its files take in the shared role folders, the
// identity of a file (size and modification time), the files of this engine in the processing
// folder, the files of the queued folder that no task owns, and where a done task's file goes.
// The role folders are shared with every engine of the farm, so nothing here moves or deletes
// a file that another engine may own.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxGUID.h"

class TVmSource;

class TFarmSourceView {
  public:
    // Files in the queued folder that no task owns are moved here, below the watch folder.
    static constexpr const char* OrphanedFolder = "Orphaned";

    explicit TFarmSourceView(std::shared_ptr<TVmSource> Source);

    // A name of the file unique to its task, so that no two engines ever move onto the same
    // name: "clip.{UID}.mov" keeps the extension the handlers choose by.
    static std::string TaskFileName(const std::string& FileName, const TGUID& Uid);
    std::string QueuedPath(const std::string& FileName, const TGUID& Uid) const;

    // Size and modification time of a regular file; false when it cannot be examined.
    static bool Identity(const std::string& Path, int64_t& Size, int64_t& ModifiedNs);

    // Removes this engine's intermediate files (their names carry the engine's tag).
    void PurgeOwnIntermediates(const std::string& EngineTag) const;
    // The paths of the files in the queued folder.
    std::vector<std::string> QueuedFiles() const;
    // Moves each of the queued files that is not among the owned paths into the orphan folder;
    // returns how many moved.
    int MoveOrphans(const std::vector<std::string>& QueuedPaths,
                    const std::vector<std::string>& OwnedPaths) const;
    // The folder a task ending in the state files its file in ("Completed", "Failed",
    // "Cancelled" or their custom folders).
    std::string DoneFolder(uint8_t State) const;

  private:
    std::shared_ptr<TVmSource> FSource;
};
