#pragma once

// The clip storage of the reference Reelbank receiver: one folder per clip, named by the clip's
// GUID in registry form, holding the output file, "metadata.xml", the images and the flipbook.
// A clip is put together in a temporary folder (".partial-" + a random number) and renamed to
// its GUID only when every file of it is on the disk, so a clip folder is always complete; a
// transfer cut in the middle leaves only a temporary folder, removed at once or, after a crash,
// at the next start. Room on the disk is reserved for each file before its first byte is taken.
//
// Stores that cannot rename a folder without replacing an existing one (NFS, some FUSE stores)
// get the clip another way: the clip folder is claimed by creating it, which fails when the
// name exists, atomically on every file system, and the files are moved in one by one,
// "metadata.xml" last. A clip folder is therefore complete exactly when it holds
// "metadata.xml"; one without it is a commit under way or, at the next start, one a crash cut
// off, which is removed then.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxMutex.h"

class TReelbankStore;

// The temporary folder of one clip under way, with the reservation for its file. Removed with
// everything in it when it goes unless it was committed.
class TReelbankIncoming {
  public:
    TReelbankIncoming(TReelbankStore& store, std::string folder, int64_t reserved);
    ~TReelbankIncoming();
    TReelbankIncoming(const TReelbankIncoming&) = delete;
    TReelbankIncoming& operator=(const TReelbankIncoming&) = delete;

    // With a trailing "/".
    const std::string& Folder() const { return FFolder; }
    // Where the clip's file is received.
    std::string FilePath() const { return FFolder + FileName; }
    int64_t Reserved() const { return FReserved; }
    // The file's room is allocated on the disk, whose free space now counts it: the store's
    // own reservation is given back.
    void RoomAllocated();

    static constexpr const char* FileName = "file.part";

  private:
    friend class TReelbankStore;
    TReelbankStore& FStore;
    const std::string FFolder;
    int64_t FReserved;
    bool FCommitted = false;
};

// What a clip consists of besides its file.
struct TReelbankClip {
    TGUID Uid;
    // The name the received file is stored under.
    std::string FileName;
    std::string MetadataXml;
    // Further files of the clip (images, flipbook): name and bytes.
    std::vector<std::pair<std::string, std::string>> Extras;
};

class TReelbankStore {
  public:
    static constexpr const char* PartialPrefix = ".partial-";
    // Room kept free beyond every file, for the clip's small files and the folder entries.
    static constexpr int64_t Headroom = 4 * 1024 * 1024;

    // `folder` gets a trailing "/" when it lacks one.
    explicit TReelbankStore(std::string folder);

    // Creates the folder when missing and removes temporary folders an earlier run left.
    // False with `error` when the folder cannot be used.
    bool Open(std::string& error);
    const std::string& Folder() const { return FFolder; }

    bool Contains(const TGUID& clip) const;
    // Bytes a new file may still have: free space less the reservations under way and the
    // headroom; 0 when the disk cannot be examined.
    int64_t Available() const;

    // Marks the clip as arriving, so that a second offer of it waits for the first transfer
    // instead of sending it again: waits up to `waitMs` while another sender holds it; false
    // when it is still held then.
    bool Claim(const TGUID& clip, uint32_t waitMs);
    void Unclaim(const TGUID& clip);

    // Reserves room for a file of `length` bytes and makes its temporary folder; none (with
    // `why`) when it would not fit or the folder cannot be made.
    std::unique_ptr<TReelbankIncoming> Begin(int64_t length, std::string& why);
    // Writes the clip's other files beside its received file, syncs them, then makes the whole
    // folder the clip's in one rename (or, where the store refuses that rename, moves the files
    // into a newly created clip folder) and syncs the store folder. False with `error` when a
    // file cannot be written or a clip of that GUID is stored already; the temporary folder then
    // goes with `incoming`.
    bool Commit(TReelbankIncoming& incoming, const TReelbankClip& clip, std::string& error);

    // A name that is safe as a file name inside a clip folder: the last path component, with
    // control characters replaced, never empty, never hidden, never one of the clip's fixed
    // file names.
    static std::string SafeFileName(const std::string& name);

    static constexpr const char* MetadataName = "metadata.xml";

  private:
    friend class TReelbankIncoming;
    // Moves the files (by name, "metadata.xml" among them) from `folder` into the clip folder
    // `target`, which this creates; on failure the clip folder goes again.
    bool CommitByMoving(const std::string& folder, const std::vector<std::string>& names,
                        const std::string& target, std::string& error);
    // Removes what a run that ended without stopping left: temporary folders and clip folders
    // whose commit it cut off.
    bool RemoveLeftovers(std::string& error);
    void Release(int64_t bytes);
    void Discard(const std::string& folder);

    const std::string FFolder;
    mutable TMutex FLock;
    TConditionVariable FUnclaimed;
    int64_t FReserved GUARDED_BY(FLock) = 0;
    std::unordered_set<TGUID, TGUIDHash> FClaims GUARDED_BY(FLock);
    std::atomic<uint64_t> FCounter{0};
};
