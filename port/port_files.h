#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace port {

// True for an existing regular file (symbolic links followed).
bool FileExists(const std::string& path);

// True for an existing folder (symbolic links followed).
bool FolderExists(const std::string& path);

// Size in bytes, or -1 when the file does not exist or cannot be examined.
int64_t FileSize(const std::string& path);

// Creates the folder and every missing parent. True when the folder exists afterwards.
bool CreateFolders(const std::string& path);

// Names (without the folder) of the regular files in `folder` whose names match the shell
// wildcard `pattern` ("*", "?", "[...]"; case-sensitive, a leading "." must match explicitly),
// in no particular order. Empty when the folder cannot be read.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern);

// Removes a file (not a folder). True when it was removed.
bool DeleteFile(const std::string& path);

// Renames within one file system, replacing an existing target file. False (the source kept)
// when the target is on another file system or the rename fails.
bool RenameFile(const std::string& from, const std::string& to);

// When the file was created: its birth time where the file system records one, else its last
// modification time. Empty when the file cannot be examined.
std::optional<std::chrono::system_clock::time_point> FileCreationTime(const std::string& path);

// A file opened for appending by one writer. Other processes may read it, but no second
// writer may open it through this class: the writer holds an advisory write lock on the whole
// file until it closes, and an `Open` that cannot take the lock fails. The lock belongs to the
// open file, so a second `Open` of the same file within the same process fails as well.
// One thread uses an object at a time.
class AppendFile {
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating it empty if missing) and locks the file; writes go to its end.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }

    // Appends all bytes; false when not all could be written.
    bool Write(const void* data, size_t size);
    bool Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }

    // Pushes what was written to the disk.
    bool Flush();

    // Current size in bytes, or -1.
    int64_t Size() const;

    void Close();

  private:
    int fd_ = -1;
};

}  // namespace port

namespace port {

// One entry of a folder listing, as the listing itself reports it.
struct FolderEntry {
    std::string name;    // without the folder
    uint64_t inode = 0;  // identifies the file within its file system
};

// The regular files of `folder` (symbolic links to regular files included), dot files
// included, in the order the file system lists them. Only entries whose type the listing does
// not report are examined one by one. False (and `entries` empty) when the folder cannot be
// read.
bool ListFolderFiles(const std::string& folder, std::vector<FolderEntry>& entries);

// What one examination of a file found.
struct FileState {
    int64_t size = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
};

// Examines a regular file (symbolic links followed). False when it does not exist or is no
// regular file.
bool StatFile(const std::string& path, FileState& state);

// True when no other open of the file exists: the file can be opened and a write lease taken,
// which the kernel grants only while nobody else (this process included) has the file open.
// The lease is dropped at once. Where leases are refused for reasons other than another
// opener (a file system without leases, a file owned by another user without the lease
// privilege) the answer is true, and waiting for the size to settle is the only protection.
bool CanOpenExclusive(const std::string& path);

// How many files `StatFile`, `CanOpenExclusive` and `ListFolderFiles` (for entries of unknown
// type) have examined or opened since the process started. Lets tests and benchmarks show
// that a scan left known files alone.
uint64_t FileProbeCount();

enum class RenameResult { Ok, TargetExists, CrossDevice, Failed };

// Renames `from` to `to`. With `replace` an existing target file is replaced atomically;
// without it an existing target is kept and `TargetExists` returned (no moment exists in which
// the target name points to neither file). `CrossDevice` when the two are on different file
// systems; the source is kept in every case but `Ok`.
RenameResult RenameFileChecked(const std::string& from, const std::string& to, bool replace);

// Copies the bytes of `from` into `to`, creating it (or, with `replace`, truncating an existing
// file; without it an existing target fails the copy and is left alone). With `sync` the data
// reach the disk before the call returns. On any failure a target this call created or
// truncated is removed again, so no partial copy is left under the target name.
bool CopyFileData(const std::string& from, const std::string& to, bool replace, bool sync);

// True when both paths name the same existing file (same file system and inode).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace port
