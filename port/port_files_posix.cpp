#include "port/port.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>

namespace port {

namespace {

// The refusal of an empty path, with the code the system gives for one.
bool NoPath() {
    errno = ENOENT;
    return false;
}

bool StatPath(const std::string& path, struct stat& info) {
    return path.empty() ? NoPath() : stat(path.c_str(), &info) == 0;
}

bool WriteAll(int fd, const void* data, size_t size) {
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

int64_t DescriptorSize(int fd) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

std::chrono::system_clock::time_point FromTimespec(int64_t seconds, int64_t nanoseconds) {
    using namespace std::chrono;
    return system_clock::time_point(duration_cast<system_clock::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool FileExists(const std::string& path) {
    struct stat info {};
    return StatPath(path, info) && S_ISREG(info.st_mode);
}

bool FolderExists(const std::string& path) {
    struct stat info {};
    return StatPath(path, info) && S_ISDIR(info.st_mode);
}

int64_t FileSize(const std::string& path) {
    struct stat info {};
    if (!StatPath(path, info)) {
        return -1;
    }
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

bool CreateFolders(const std::string& path) {
    if (path.empty()) {
        return NoPath();
    }
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (FolderExists(path)) {
        return true;
    }
    if (error) {
        errno = error.value();
    }
    return false;
}

bool CreateFolder(const std::string& path) {
    if (path.empty()) {
        return NoPath();
    }
    return mkdir(path.c_str(), 0777) == 0;
}

bool RemoveFolder(const std::string& path) {
    if (path.empty()) {
        return NoPath();
    }
    return rmdir(path.c_str()) == 0;
}

namespace {

// The names in `folder` that `keep` takes, given each entry and its path.
template <typename TKeep>
std::vector<std::string> ListEntries(const std::string& folder, TKeep keep) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) {
        return names;
    }
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/') {
        prefix += '/';
    }
    while (const dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (keep(*entry, name, prefix + name)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

}  // namespace

std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern) {
    return ListEntries(folder,
                       [&](const dirent& entry, const std::string& name, const std::string& path) {
                           if (fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) != 0) {
                               return false;
                           }
                           if (entry.d_type == DT_UNKNOWN || entry.d_type == DT_LNK) {
                               return FileExists(path);
                           }
                           return entry.d_type == DT_REG;
                       });
}

std::vector<std::string> ListFolders(const std::string& folder) {
    return ListEntries(folder,
                       [](const dirent& entry, const std::string& name, const std::string& path) {
                           if (name == "." || name == "..") {
                               return false;
                           }
                           if (entry.d_type == DT_UNKNOWN) {
                               struct stat info {};
                               return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
                           }
                           return entry.d_type == DT_DIR;
                       });
}

bool FolderWritable(const std::string& path) {
    if (!FolderExists(path)) {
        return false;
    }
    return access(path.c_str(), W_OK | X_OK) == 0;
}

bool DeleteFile(const std::string& path) {
    return path.empty() ? NoPath() : unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return from.empty() || to.empty() ? NoPath() : rename(from.c_str(), to.c_str()) == 0;
}

std::optional<std::chrono::system_clock::time_point> FileCreationTime(const std::string& path) {
    if (path.empty()) {
        NoPath();
        return std::nullopt;
    }
    struct statx info {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) == 0) {
        if (info.stx_mask & STATX_BTIME) {
            return FromTimespec(info.stx_btime.tv_sec, info.stx_btime.tv_nsec);
        }
        if (info.stx_mask & STATX_MTIME) {
            return FromTimespec(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
        }
    }
    struct stat plain {};
    if (!StatPath(path, plain)) {
        return std::nullopt;
    }
    return FromTimespec(plain.st_mtim.tv_sec, plain.st_mtim.tv_nsec);
}

int64_t FreeDiskSpace(const std::string& path) {
    if (path.empty()) {
        NoPath();
        return -1;
    }
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0) {
        return -1;
    }
    const uint64_t unit = info.f_frsize > 0 ? info.f_frsize : 1;
    if (info.f_bavail > static_cast<uint64_t>(INT64_MAX) / unit) {
        return INT64_MAX;
    }
    return static_cast<int64_t>(info.f_bavail * unit);
}

bool SyncPath(const std::string& path) {
    if (path.empty()) {
        return NoPath();
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

namespace {

// Creates the temporary file of a replacement with the permissions the new file is to have;
// it never admits more readers than the file it replaces.
int CreateReplacement(const std::string& temporary, const std::string& path, FileAccess access) {
    unlink(temporary.c_str());
    struct stat previous {};
    const bool keep = access == FileAccess::KeepExisting && stat(path.c_str(), &previous) == 0;
    const mode_t mode = access == FileAccess::OwnerOnly || keep ? 0600 : 0666;
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 && keep && fchmod(fd, previous.st_mode & 07777) != 0) {
        const int failure = errno;
        close(fd);
        unlink(temporary.c_str());
        errno = failure;
        return -1;
    }
    return fd;
}

}  // namespace

bool ReplaceFileWhole(const std::string& path, const std::string& bytes, FileAccess access) {
    if (path.empty()) {
        return NoPath();
    }
    const std::string temporary = path + ".tmp";
    const int fd = CreateReplacement(temporary, path, access);
    if (fd < 0) {
        return false;
    }
    bool written = WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    int failure = errno;
    if (close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        failure = written ? errno : failure;
        unlink(temporary.c_str());
        errno = failure;
        return false;
    }
    // The rename itself reaches the disk with the folder's entry.
    const size_t slash = path.rfind('/');
    SyncPath(slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1));
    return true;
}

AppendFile::~AppendFile() {
    Close();
}

bool AppendFile::Open(const std::string& path) {
    Close();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file, however far it grows
    // A lock of the open file description conflicts with every other opener, this process
    // included, and is not dropped when some other descriptor of the file is closed.
    int result = fcntl(fd, F_OFD_SETLK, &lock);
    if (result != 0 && errno == EINVAL) {
        result = fcntl(fd, F_SETLK, &lock);
    }
    if (result != 0) {
        const int failure = errno;
        close(fd);
        errno = failure;
        return false;
    }
    FFd = fd;
    return true;
}

bool AppendFile::Write(const void* data, size_t size) {
    return WriteAll(FFd, data, size);
}

bool AppendFile::Flush() {
    return FFd >= 0 && fdatasync(FFd) == 0;
}

int64_t AppendFile::Size() const {
    return DescriptorSize(FFd);
}

void AppendFile::Close() {
    if (FFd >= 0) {
        close(FFd);  // also releases the lock
        FFd = -1;
    }
}

DataFile::~DataFile() {
    Close();
}

bool DataFile::OpenRead(const std::string& path) {
    Close();
    if (path.empty()) {
        return NoPath();
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    const bool examined = fstat(fd, &info) == 0;
    if (!examined || !S_ISREG(info.st_mode)) {
        const int failure = !examined ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = failure;
        return false;
    }
    FFd = fd;
    return true;
}

bool DataFile::Create(const std::string& path) {
    Close();
    if (path.empty()) {
        return NoPath();
    }
    FFd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return FFd >= 0;
}

int64_t DataFile::Size() const {
    return DescriptorSize(FFd);
}

bool DataFile::Reserve(int64_t length, bool& allocated) {
    allocated = false;
    if (length <= 0) {
        return true;
    }
    int result;
    do {
        result = fallocate(FFd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        allocated = true;
        return true;
    }
    return errno == EOPNOTSUPP || errno == ENOSYS;
}

bool DataFile::Write(const void* data, size_t size) {
    return WriteAll(FFd, data, size);
}

void DataFile::Close() {
    if (FFd >= 0) {
        close(FFd);
        FFd = -1;
    }
}

}  // namespace port
