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
