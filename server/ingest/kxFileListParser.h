#pragma once

// The settle tracker: remembers the files of one folder from scan to scan and hands a file over
// once its size has stayed the same for the settle time and nobody else has it open.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "port/port.h"
#include "server/ingest/lmVmSourceFileItem.h"

// One tracked file.
struct TFileItem {
    uint32_t Tick = 0;  // when first seen or when its size was last seen changing
    std::unique_ptr<TSourceFileItem> FileItem;
    int64_t Size = 0;
    int32_t Generation = 0;  // of the last scan that saw the file
    uint64_t Inode = 0;      // a new file under the same name starts over
};

class TFileListParser {
  public:
    using TTickSource = std::function<uint32_t()>;
    // Decides by name alone whether a file is of interest; others are neither tracked nor
    // examined.
    using TNameFilter = std::function<bool(std::string_view Name)>;

    // Ticks are port::GetTickCount unless another source is given (tests).
    explicit TFileListParser(TTickSource Ticks = {});

    void SetNameFilter(TNameFilter Filter) { FNameFilter = std::move(Filter); }

    // Appends every file of Folder that has settled and can be opened exclusively to Results;
    // the caller owns what it receives. An empty or unreadable folder changes nothing. File
    // names are compared exactly, as the file system does.
    void Scan(const std::string& Folder, std::vector<std::unique_ptr<TSourceFileItem>>& Results,
              int32_t SettleSeconds);

    int32_t Generation() const { return FGeneration; }
    size_t TrackedCount() const { return FTracked.size(); }
    bool IsTracked(const std::string& Name) const { return FTracked.count(Name) != 0; }

  private:
    TTickSource FTicks;
    TNameFilter FNameFilter;
    int32_t FGeneration = 0;
    std::unordered_map<std::string, TFileItem> FTracked;
    std::vector<port::FolderEntry> FListing;  // reused from scan to scan
};
