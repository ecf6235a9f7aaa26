#include "tools/lmReelbankReceiver/lmReelbankStore.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "port/port.h"

namespace {

namespace fs = std::filesystem;

// The clip's own files, which a received file name must not take.
constexpr const char* ReservedNames[] = {TReelbankStore::MetadataName, "thumbnail.png",
                                         "flipbook.bin", TReelbankIncoming::FileName};

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

}  // namespace

TReelbankIncoming::TReelbankIncoming(TReelbankStore& store, std::string folder, int64_t reserved)
    : FStore(store), FFolder(std::move(folder)), FReserved(reserved) {}

TReelbankIncoming::~TReelbankIncoming() {
    if (!FCommitted) {
        FStore.Discard(FFolder);
    }
    FStore.Release(FReserved);
}

void TReelbankIncoming::RoomAllocated() {
    FStore.Release(FReserved);
    FReserved = 0;
}

TReelbankStore::TReelbankStore(std::string folder) : FFolder(WithSlash(std::move(folder))) {}

bool TReelbankStore::Open(std::string& error) {
    if (FFolder.empty() || !port::CreateFolders(FFolder)) {
        error = "cannot create the storage folder \"" + FFolder + "\"";
        return false;
    }
    return RemoveLeftovers(error);
}

bool TReelbankStore::RemoveLeftovers(std::string& error) {
    std::error_code failed;
    for (const auto& entry : fs::directory_iterator(FFolder, failed)) {
        const std::string name = entry.path().filename().string();
        TGUID clip;
        const bool cutCommit = StringToGUID(name, clip) &&
                               port::FolderExists(entry.path().string()) &&
                               !port::FileExists((entry.path() / MetadataName).string());
        if (name.rfind(PartialPrefix, 0) == 0 || cutCommit) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
    if (failed) {
        error = "cannot read the storage folder \"" + FFolder + "\" (" + failed.message() + ")";
        return false;
    }
    return true;
}

bool TReelbankStore::Contains(const TGUID& clip) const {
    return port::FileExists(FFolder + GUIDToString(clip) + "/" + MetadataName);
}

int64_t TReelbankStore::Available() const {
    const int64_t free = port::FreeDiskSpace(FFolder);
    TLock lock(FLock);
    return std::max<int64_t>(0, free - FReserved - Headroom);
}

bool TReelbankStore::Claim(const TGUID& clip, uint32_t waitMs) {
    TLock lock(FLock);
    if (!FUnclaimed.WaitFor(lock, std::chrono::milliseconds(waitMs),
                            [&]() REQUIRES(FLock) { return FClaims.count(clip) == 0; })) {
        return false;
    }
    FClaims.insert(clip);
    return true;
}

void TReelbankStore::Unclaim(const TGUID& clip) {
    {
        TLock lock(FLock);
        FClaims.erase(clip);
    }
    FUnclaimed.NotifyAll();
}

std::unique_ptr<TReelbankIncoming> TReelbankStore::Begin(int64_t length, std::string& why) {
    {
        // Checked and reserved in one step, so transfers running side by side cannot together
        // take more than the disk holds.
        const int64_t free = port::FreeDiskSpace(FFolder);
        TLock lock(FLock);
        const int64_t available = std::max<int64_t>(0, free - FReserved - Headroom);
        if (length < 0 || length > available) {
            why = "a file of " + std::to_string(length) + " bytes does not fit (" +
                  std::to_string(available) + " bytes free)";
            return nullptr;
        }
        FReserved += length;
    }
    std::random_device random;
    const std::string folder = FFolder + PartialPrefix + std::to_string(random()) + "-" +
                               std::to_string(FCounter.fetch_add(1)) + "/";
    auto incoming = std::make_unique<TReelbankIncoming>(*this, folder, length);
    if (!port::CreateFolders(folder)) {
        why = "cannot create " + folder + " (" + port::LastErrorText() + ")";
        return nullptr;
    }
    return incoming;
}

bool TReelbankStore::Commit(TReelbankIncoming& incoming, const TReelbankClip& clip,
                            std::string& error) {
    const std::string& folder = incoming.Folder();
    // In the order a clip folder filled one by one gets them: "metadata.xml" last.
    std::vector<std::string> names;
    auto write = [&](const std::string& name, const std::string& bytes) {
        names.push_back(name);
        return WriteWholeFile(folder + name, bytes);
    };
    for (const auto& [name, bytes] : clip.Extras) {
        if (!write(name, bytes)) {
            error = "cannot write " + name;
            return false;
        }
    }
    if (!port::RenameFile(incoming.FilePath(), folder + clip.FileName)) {
        error = "cannot name the file " + clip.FileName + " (" + port::LastErrorText() + ")";
        return false;
    }
    names.push_back(clip.FileName);
    if (!write(MetadataName, clip.MetadataXml)) {
        error = "cannot write metadata.xml";
        return false;
    }
    // Everything on the disk before the clip becomes visible under its name.
    for (const std::string& name : names) {
        if (!port::SyncPath(folder + name)) {
            error = "cannot write " + name + " to the disk (" + port::LastErrorText() + ")";
            return false;
        }
    }
    port::SyncPath(folder);
    const std::string target = FFolder + GUIDToString(clip.Uid);
    const std::string source = folder.substr(0, folder.size() - 1);
    switch (port::RenameFileChecked(source, target, false)) {
        case port::RenameResult::Ok:
            break;
        case port::RenameResult::TargetExists:
            error = "a clip of that GUID is stored already";
            return false;
        case port::RenameResult::Unsupported:
            if (!CommitByMoving(folder, names, target, error)) {
                return false;
            }
            break;
        default:
            error = "cannot rename the clip folder (" + port::LastErrorText() + ")";
            return false;
    }
    incoming.FCommitted = true;
    // The clip's name must outlive a crash before the sender is told it is stored.
    if (!port::SyncPath(FFolder)) {
        error = "cannot write the storage folder to the disk (" + port::LastErrorText() + ")";
        return false;
    }
    return true;
}

bool TReelbankStore::CommitByMoving(const std::string& folder,
                                    const std::vector<std::string>& names,
                                    const std::string& target, std::string& error) {
    if (!port::CreateFolder(target)) {
        const int code = errno;
        error = code == EEXIST ? std::string("a clip of that GUID is stored already")
                               : "cannot create the clip folder (" + port::ErrorText(code) + ")";
        return false;
    }
    for (const std::string& name : names) {
        // The metadata goes in last, once the files it describes are there on the disk.
        if (name == MetadataName && !port::SyncPath(target)) {
            error = "cannot write the clip folder to the disk (" + port::LastErrorText() + ")";
            Discard(target);
            return false;
        }
        if (!port::RenameFile(folder + name, target + "/" + name)) {
            error = "cannot move " + name + " into the clip folder (" + port::LastErrorText() + ")";
            Discard(target);
            return false;
        }
    }
    if (!port::SyncPath(target)) {
        error = "cannot write the clip folder to the disk (" + port::LastErrorText() + ")";
        Discard(target);
        return false;
    }
    port::RemoveFolder(folder);
    return true;
}

std::string TReelbankStore::SafeFileName(const std::string& name) {
    std::string safe = name.substr(name.rfind('/') + 1);
    for (char& c : safe) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '_';
        }
    }
    if (safe.empty() || safe == "." || safe == "..") {
        return "clip";
    }
    if (safe.front() == '.') {
        safe.front() = '_';
    }
    for (const char* reserved : ReservedNames) {
        if (safe == reserved) {
            return "clip-" + safe;
        }
    }
    return safe;
}

void TReelbankStore::Release(int64_t bytes) {
    TLock lock(FLock);
    FReserved -= bytes;
}

void TReelbankStore::Discard(const std::string& folder) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
