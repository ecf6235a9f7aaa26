#include "server/notify/lmVmMailSpool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/ingest/kxFileUtils.h"

namespace {

// Spool files are ours, but a damaged disk may hand back anything: reads stay bounded.
constexpr size_t MaxListBytes = 1 << 20;
constexpr size_t MaxRetryBytes = 4096;

const std::string MailExtension = ".mail";
const std::string MarkedExtension = ".sending";

std::string FileNameOf(const std::string& Path) {
    return Path.substr(Path.rfind('/') + 1);
}

bool EndsWith(const std::string& Text, const std::string& Tail) {
    return Text.size() >= Tail.size() &&
           Text.compare(Text.size() - Tail.size(), Tail.size(), Tail) == 0;
}

bool IsBatchName(const std::string& Name) {
    TGUID uid;
    return StringToGUID(Name, uid) && GUIDToString(uid) == Name;
}

// "the reason" for the failure the last port call left behind.
std::string Failure(const std::string& What, const std::string& Path) {
    return What + " \"" + Path + "\" (" + port::LastErrorText() + ")";
}

// Writes the whole file and pushes it to the disk.
bool WriteSynced(const std::string& Path, const std::string& Bytes, std::string& Error) {
    port::DataFile file;
    if (!file.Create(Path) || !file.Write(Bytes.data(), Bytes.size())) {
        Error = Failure("cannot write", Path);
        return false;
    }
    file.Close();
    if (!port::SyncPath(Path)) {
        Error = Failure("cannot sync", Path);
        return false;
    }
    return true;
}

// Writes under a temporary name and renames, so that the file is whole or absent.
bool ReplaceSynced(const std::string& Path, const std::string& Bytes, std::string& Error) {
    const std::string temporary = Path + ".tmp";
    if (!WriteSynced(temporary, Bytes, Error)) {
        port::DeleteFile(temporary);
        return false;
    }
    if (!port::RenameFile(temporary, Path)) {
        Error = Failure("cannot rename", temporary);
        port::DeleteFile(temporary);
        return false;
    }
    return true;
}

bool PlainName(const std::string& Name) {
    if (Name.empty() || Name == "." || Name == "..") {
        return false;
    }
    return std::none_of(Name.begin(), Name.end(), [](char c) {
        return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
    });
}

// The files of a folder, dot files too.
std::vector<std::string> AllFiles(const std::string& Folder) {
    std::vector<std::string> names = port::ListFiles(Folder, "*");
    const std::vector<std::string> hidden = port::ListFiles(Folder, ".*");
    names.insert(names.end(), hidden.begin(), hidden.end());
    return names;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writing

TMailSpool::TBatchWriter::TBatchWriter(TMailSpool& Spool, std::string Name)
    : FSpool(Spool), FName(std::move(Name)) {}

TMailSpool::TBatchWriter::~TBatchWriter() {
    if (!FCommitted) {
        for (const std::string& file : FFiles) {
            port::DeleteFile(file);
        }
        port::DeleteFile(FSpool.ListPath(FName) + ".tmp");
        if (!port::RemoveFolder(FSpool.BatchFolder(FName))) {
            LogText("Mail batch folder \"" + FSpool.BatchFolder(FName) +
                    "\" stays until a later pass can remove it (" + port::LastErrorText() + ")");
        }
    }
    FSpool.EndWrite(FName);
}

bool TMailSpool::TBatchWriter::Add(const std::string& FileName, const std::string& Bytes,
                                   std::string& Error) {
    const std::string path = FSpool.BatchFolder(FName) + FileName;
    FFiles.push_back(path);
    return WriteSynced(path, Bytes, Error);
}

bool TMailSpool::TBatchWriter::Commit(std::string& Error) {
    const std::string folder = FSpool.BatchFolder(FName);
    if (!port::SyncPath(folder)) {
        Error = Failure("cannot sync", folder);
        return false;
    }
    std::string list;
    for (const std::string& file : FFiles) {
        list += file + "\n";
    }
    const std::string path = FSpool.ListPath(FName);
    if (!WriteSynced(path + ".tmp", list, Error)) {
        return false;
    }
    if (!port::RenameFile(path + ".tmp", path)) {
        Error = Failure("cannot rename", path + ".tmp");
        return false;
    }
    FCommitted = true;
    // The batch exists from here on; a crash before this sync at worst loses it whole.
    port::SyncPath(FSpool.FFolder);
    return true;
}

TMailSpool::TMailSpool(std::string Folder)
    : FFolder(std::move(Folder)), FFailedFolder(FFolder + "Failed/") {}

bool TMailSpool::CreateFolders() {
    const bool spool = port::CreateFolders(FFolder);
    return port::CreateFolders(FFailedFolder) && spool;
}

std::unique_ptr<TMailSpool::TBatchWriter> TMailSpool::NewBatch(std::string& Error) {
    const std::string name = GUIDToString(NewGUID());
    {
        // Known before the folder exists, so that no pass takes it for a leftover.
        TLock lock(FLock);
        FWriting.insert(name);
    }
    if (!port::CreateFolders(BatchFolder(name))) {
        Error = Failure("cannot create", BatchFolder(name));
        EndWrite(name);
        return nullptr;
    }
    return std::unique_ptr<TBatchWriter>(new TBatchWriter(*this, name));
}

void TMailSpool::EndWrite(const std::string& Name) {
    TLock lock(FLock);
    FWriting.erase(Name);
}

bool TMailSpool::Writing(const std::string& Name) const {
    TLock lock(FLock);
    return FWriting.count(Name) != 0;
}

// ---------------------------------------------------------------------------------------------
// Sending side

std::vector<std::string> TMailSpool::BatchNames() const {
    using TTime = std::chrono::system_clock::time_point;
    std::vector<std::pair<TTime, std::string>> batches;
    for (const std::string& file : port::ListFiles(FFolder, "*.batch")) {
        const std::string name = file.substr(0, file.rfind('.'));
        if (IsBatchName(name)) {
            batches.emplace_back(port::FileCreationTime(FFolder + file).value_or(TTime{}), name);
        }
    }
    std::sort(batches.begin(), batches.end());
    std::vector<std::string> names;
    for (auto& batch : batches) {
        names.push_back(std::move(batch.second));
    }
    return names;
}

bool TMailSpool::Read(const std::string& Name, TBatch& Batch, std::string& Error) const {
    Batch = TBatch{Name, {}, {}, {}};
    std::string text;
    if (!ReadBounded(ListPath(Name), MaxListBytes, text)) {
        Error = "its list \"" + ListPath(Name) + "\" cannot be read";
        return false;
    }
    const std::string folder = BatchFolder(Name);
    for (const std::string& path : SplitLines(text)) {
        const std::string name = FileNameOf(path);
        if (path != folder + name || !PlainName(name)) {
            continue;
        }
        Batch.Files.push_back(path);
        if (name.rfind("user", 0) == 0 && EndsWith(name, MailExtension)) {
            Batch.Mails.push_back(path);
        } else if (ThumbnailPosition(name) >= 0) {
            Batch.Thumbnails.push_back(path);
        }
    }
    return true;
}

TMailSpool::TMailState TMailSpool::State(const std::string& MailPath) const {
    if (port::FileExists(MailPath)) {
        return TMailState::Pending;
    }
    return port::FileExists(MarkedPath(MailPath)) ? TMailState::Marked : TMailState::Done;
}

bool TMailSpool::Mark(const std::string& MailPath, std::string& Error) {
    const std::string marked = MarkedPath(MailPath);
    if (!port::RenameFile(MailPath, marked)) {
        Error = Failure("cannot rename", MailPath);
        return false;
    }
    const std::string folder = MailPath.substr(0, MailPath.rfind('/') + 1);
    if (!port::SyncPath(folder)) {
        Error = Failure("cannot sync", folder);
        // Not marked for sure: it must not go out, and waits under its old name.
        port::RenameFile(marked, MailPath);
        return false;
    }
    return true;
}

bool TMailSpool::Settle(const std::string& Name, const std::string& MailPath, TVerdict Verdict,
                        std::string& Error) {
    const std::string marked = MarkedPath(MailPath);
    bool done = false;
    switch (Verdict) {
        case TVerdict::Sent:
            done = port::DeleteFile(marked) || !port::FileExists(marked);
            if (!done) {
                Error = Failure("cannot delete", marked);
            }
            break;
        case TVerdict::Failed:
            done = MoveToFailed(Name, marked, FileNameOf(MailPath), Error);
            break;
        case TVerdict::Unsent:
            done = port::RenameFile(marked, MailPath);
            if (!done) {
                Error = Failure("cannot rename", marked);
            }
            break;
    }
    TLock lock(FLock);
    if (done) {
        FVerdicts.erase(marked);
    } else {
        FVerdicts[marked] = Verdict;
    }
    return done;
}

std::optional<TMailSpool::TVerdict> TMailSpool::Verdict(const std::string& MailPath) const {
    TLock lock(FLock);
    const auto found = FVerdicts.find(MarkedPath(MailPath));
    return found == FVerdicts.end() ? std::nullopt : std::optional<TVerdict>(found->second);
}

bool TMailSpool::Fail(const std::string& Name, const std::string& MailPath, std::string& Error) {
    if (State(MailPath) == TMailState::Marked) {
        return Settle(Name, MailPath, TVerdict::Failed, Error);
    }
    return MoveToFailed(Name, MailPath, FileNameOf(MailPath), Error);
}

bool TMailSpool::MoveToFailed(const std::string& Name, const std::string& From,
                              const std::string& MailName, std::string& Error) {
    const std::string target = FFailedFolder + Name + "-" + MailName;
    port::CreateFolders(FFailedFolder);
    if (!FileMove(From, target)) {
        Error = Failure("cannot move", From) + " to \"" + target + "\"";
        return false;
    }
    port::SyncPath(FFailedFolder);
    return true;
}

std::optional<TMailSpool::TRetry> TMailSpool::Retry(const std::string& Name) {
    {
        TLock lock(FLock);
        if (const auto found = FRetries.find(Name); found != FRetries.end()) {
            return found->second;
        }
    }
    std::string text;
    if (!ReadBounded(BatchFolder(Name) + "retry", MaxRetryBytes, text)) {
        return std::nullopt;
    }
    long long first = 0, next = 0;
    int attempts = 0;
    if (std::sscanf(text.c_str(), "first=%lld\nattempts=%d\nnext=%lld", &first, &attempts, &next) !=
            3 ||
        first <= 0 || attempts <= 0) {
        return std::nullopt;
    }
    const TRetry retry{first, attempts, next};
    TLock lock(FLock);
    FRetries[Name] = retry;
    return retry;
}

bool TMailSpool::SetRetry(const std::string& Name, const TRetry& Retry, std::string& Error) {
    {
        TLock lock(FLock);
        FRetries[Name] = Retry;
    }
    const std::string text = "first=" + std::to_string(Retry.FirstFailureMs) +
                             "\nattempts=" + std::to_string(Retry.Attempts) +
                             "\nnext=" + std::to_string(Retry.NextTryMs) + "\n";
    if (!ReplaceSynced(BatchFolder(Name) + "retry", text, Error)) {
        return false;
    }
    port::SyncPath(BatchFolder(Name));
    return true;
}

bool TMailSpool::Remove(const TBatch& Batch, std::string& Error) {
    const std::string list = ListPath(Batch.Name);
    if (!port::DeleteFile(list) && port::FileExists(list)) {
        Error = Failure("cannot delete", list);
        return false;
    }
    const std::string folder = BatchFolder(Batch.Name);
    for (const std::string& file : Batch.Files) {
        port::DeleteFile(file);
    }
    port::DeleteFile(folder + "retry");
    port::DeleteFile(folder + "retry.tmp");
    // Anything else left in it goes with the leftovers of a later pass.
    port::RemoveFolder(folder);
    port::SyncPath(FFolder);
    TLock lock(FLock);
    FRetries.erase(Batch.Name);
    return true;
}

void TMailSpool::RemoveLeftovers() {
    for (const std::string& name : port::ListFolders(FFolder)) {
        if (IsBatchName(name) && !Writing(name) && !port::FileExists(ListPath(name))) {
            RemoveLeftoverFolder(name);
        }
    }
    // Lists that never made it under their name.
    for (const std::string& file : port::ListFiles(FFolder, "*.tmp")) {
        const std::string name = file.substr(0, file.find('.'));
        if (IsBatchName(name) && !Writing(name)) {
            port::DeleteFile(FFolder + file);
        }
    }
}

void TMailSpool::RemoveLeftoverFolder(const std::string& Name) {
    const std::string folder = BatchFolder(Name);
    const std::vector<std::string> files = AllFiles(folder);
    const size_t mails =
        static_cast<size_t>(std::count_if(files.begin(), files.end(), [](const std::string& file) {
            return EndsWith(file, MailExtension) || EndsWith(file, MarkedExtension);
        }));
    for (const std::string& file : files) {
        port::DeleteFile(folder + file);
    }
    const bool removed = port::RemoveFolder(folder);
    TLock lock(FLock);
    if (removed) {
        FStuckLeftovers.erase(Name);
        LogText("Mail batch folder \"" + folder +
                "\" had no list (its writing or removal was cut short) and is removed" +
                (mails ? ", with " + std::to_string(mails) + " mail(s) never listed for sending"
                       : std::string()));
    } else if (FStuckLeftovers.insert(Name).second) {
        LogText("Mail batch folder \"" + folder + "\" has no list and cannot be removed (" +
                port::LastErrorText() + ")");
    }
}

int TMailSpool::ThumbnailPosition(const std::string& FileName) {
    int number = 0;
    char tail[8] = {};
    if (FileName.size() != 15 || std::sscanf(FileName.c_str(), "thumb%6d%7s", &number, tail) != 2 ||
        std::string(tail) != ".png" || number < 0) {
        return -1;
    }
    return number;
}

std::string TMailSpool::MarkedPath(const std::string& MailPath) {
    if (!EndsWith(MailPath, MailExtension)) {
        return MailPath + MarkedExtension;
    }
    return MailPath.substr(0, MailPath.size() - MailExtension.size()) + MarkedExtension;
}

bool TMailSpool::ReadBounded(const std::string& Path, size_t Limit, std::string& Bytes) {
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        return false;
    }
    Bytes.resize(Limit + 1);
    file.read(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    Bytes.resize(static_cast<size_t>(file.gcount()));
    return Bytes.size() <= Limit;
}

std::vector<std::string> TMailSpool::SplitLines(const std::string& Text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos) {
            end = Text.size();
        }
        std::string line = Text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}
