#pragma once

// File systems a test makes for itself: a small tmpfs that fills up, a folder bound read-only
// (which even root cannot write to). They live in a mount namespace of the test process's own,
// so nothing reaches the rest of the machine and everything goes with the process; each mount
// is undone when its object goes. Making mounts needs the privilege (tests run as root); a test
// without it skips.

#include <sched.h>
#include <sys/mount.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace testing_support {

// True once the calling thread, and every thread and process it starts later, has a mount
// namespace of its own. Call it before the test starts threads.
inline bool PrivateMounts() {
    static const bool ready = unshare(CLONE_NEWNS) == 0 &&
                              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return ready;
}

class TTestMount {
  public:
    // A tmpfs of Bytes over the existing folder.
    static TTestMount Tmpfs(const std::filesystem::path& Folder, uint64_t Bytes) {
        const std::string options = "size=" + std::to_string(Bytes) + ",mode=0755";
        return TTestMount(Folder, PrivateMounts() && mount("tmpfs", Folder.c_str(), "tmpfs", 0,
                                                           options.c_str()) == 0);
    }
    // The folder as it is, but read-only.
    static TTestMount ReadOnly(const std::filesystem::path& Folder) {
        TTestMount result(Folder, PrivateMounts() && mount(Folder.c_str(), Folder.c_str(), nullptr,
                                                           MS_BIND, nullptr) == 0);
        if (result.Mounted && mount(nullptr, Folder.c_str(), nullptr,
                                    MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            result.Undo();
        }
        return result;
    }

    TTestMount(TTestMount&& Other) noexcept : Mounted(Other.Mounted), FFolder(Other.FFolder) {
        Other.Mounted = false;
    }
    TTestMount& operator=(TTestMount&&) = delete;
    ~TTestMount() { Undo(); }

    void Undo() {
        if (Mounted) {
            umount2(FFolder.c_str(), MNT_DETACH);
        }
        Mounted = false;
    }

    bool Mounted;

  private:
    TTestMount(std::filesystem::path Folder, bool IsMounted)
        : Mounted(IsMounted), FFolder(std::move(Folder)) {}

    std::filesystem::path FFolder;
};

}  // namespace testing_support
