// Listing, examination, lease probe, rename and copy for the ingest of media files.

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "port/port.h"

namespace port {

namespace {

std::atomic<uint64_t> probeCount{0};

// The refusal of an empty path, with the code the system gives for one.
bool NoPath() {
    errno = ENOENT;
    return false;
}

// The refusal of a folder or device where a regular file is wanted.
bool NotRegular(const struct stat& info) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
}

void CountProbe() {
    probeCount.fetch_add(1, std::memory_order_relaxed);
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

class Descriptor {
  public:
    explicit Descriptor(int fd) : FFd(fd) {}
    ~Descriptor() {
        if (FFd >= 0) {
            close(FFd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return FFd; }
    // Closes now and reports whether the close succeeded (a late write error shows here).
    bool CloseChecked() {
        const int fd = FFd;
        FFd = -1;
        return fd < 0 || close(fd) == 0;
    }

  private:
    int FFd;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Copies `length` bytes; the kernel copies directly where it can, else one 8 KiB buffer does.
bool CopyBytes(int in, int out, int64_t length) {
    int64_t total = 0;
    bool kernelCopy = true;
    while (total < length) {
        if (kernelCopy) {
            const size_t chunk = static_cast<size_t>(std::min<int64_t>(length - total, 1 << 30));
            const ssize_t copied = copy_file_range(in, nullptr, out, nullptr, chunk, 0);
            if (copied > 0) {
                total += copied;
                continue;
            }
            if (copied == 0) {
                break;  // the source ended early
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                errno != EBADF) {
                return false;
            }
            kernelCopy = false;
        }
        char buffer[8192];
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!WriteAll(out, buffer, static_cast<size_t>(got))) {
            return false;
        }
        total += got;
    }
    return total == length;
}

}  // namespace

bool ListFolderFiles(const std::string& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) {
        return false;
    }
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/') {
        prefix += '/';
    }
    while (const dirent* entry = readdir(dir.get())) {
        const unsigned char type = entry->d_type;
        if (type == DT_REG) {
            entries.push_back(FolderEntry{entry->d_name, static_cast<uint64_t>(entry->d_ino)});
        } else if (type == DT_UNKNOWN || type == DT_LNK) {
            FileState state;
            if (StatFile(prefix + entry->d_name, state)) {
                entries.push_back(FolderEntry{entry->d_name, state.inode});
            }
        }
    }
    return true;
}

bool StatFile(const std::string& path, FileState& state) {
    CountProbe();
    struct stat info {};
    if (path.empty()) {
        return NoPath();
    }
    if (stat(path.c_str(), &info) != 0) {
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        return NotRegular(info);
    }
    state.size = static_cast<int64_t>(info.st_size);
    state.inode = static_cast<uint64_t>(info.st_ino);
    state.device = static_cast<uint64_t>(info.st_dev);
    state.modifiedNs =
        static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

bool CanOpenExclusive(const std::string& path) {
    CountProbe();
    if (path.empty()) {
        return NoPath();
    }
    // Non-blocking, so that a lease another process holds fails the open instead of waiting
    // for that lease to be broken.
    Descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        return NotRegular(info);
    }
    if (fcntl(fd.get(), F_SETLEASE, F_WRLCK) == 0) {
        fcntl(fd.get(), F_SETLEASE, F_UNLCK);
        return true;
    }
    // EAGAIN and EBUSY: someone else has the file open. Anything else means leases cannot be
    // used here, which says nothing about other openers.
    return errno != EAGAIN && errno != EBUSY;
}

uint64_t FileProbeCount() {
    return probeCount.load(std::memory_order_relaxed);
}

namespace {

std::atomic<bool> refuseNoReplace{false};

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (refuseNoReplace.load()) {
        errno = EINVAL;
        return -1;
    }
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
}

}  // namespace

void RefuseNoReplaceRenameForTesting(bool refuse) {
    refuseNoReplace.store(refuse);
}

RenameResult RenameFileChecked(const std::string& from, const std::string& to, bool replace) {
    if (from.empty() || to.empty()) {
        NoPath();
        return RenameResult::Failed;
    }
    int result;
    if (replace) {
        result = rename(from.c_str(), to.c_str());
    } else {
        result = RenameNoReplace(from, to);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a hard link fails on an existing name just as
            // atomically; the old name is removed once the new one exists. Folders cannot be
            // linked, and some stores link nothing.
            result = link(from.c_str(), to.c_str());
            if (result == 0) {
                unlink(from.c_str());
            } else if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS ||
                       errno == EINVAL) {
                errno = EINVAL;
                return RenameResult::Unsupported;
            }
        }
    }
    if (result == 0) {
        return RenameResult::Ok;
    }
    if (errno == EEXIST) {
        return RenameResult::TargetExists;
    }
    if (errno == EXDEV) {
        return RenameResult::CrossDevice;
    }
    return RenameResult::Failed;
}

bool CopyFileData(const std::string& from, const std::string& to, bool replace, bool sync) {
    if (from.empty() || to.empty()) {
        return NoPath();
    }
    Descriptor in(open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (in.get() < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(in.get(), &info) != 0) {
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        return NotRegular(info);
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (replace ? O_TRUNC : O_EXCL);
    Descriptor out(open(to.c_str(), flags, 0666));
    if (out.get() < 0) {
        return false;
    }
    bool ok = CopyBytes(in.get(), out.get(), static_cast<int64_t>(info.st_size));
    if (ok && sync) {
        ok = fdatasync(out.get()) == 0;
    }
    ok = out.CloseChecked() && ok;
    if (!ok) {
        const int failure = errno;
        unlink(to.c_str());
        errno = failure;
    }
    return ok;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return !a.empty() && !b.empty() && stat(a.c_str(), &first) == 0 &&
           stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace port
