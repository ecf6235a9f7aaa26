#include "server/farm/lmVmFarm.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "foundation/kxLogFile.h"
#include "foundation/kxThreads.h"
#include "foundation/kxXMLUnicode.h"
#include "port/port.h"
#include "server/core/lmVmEngine.h"
#include "server/farm/lmFarmSchema.h"
#include "server/farm/lmFarmSourceView.h"
#include "server/ingest/kxFileUtils.h"
#include "server/ingest/lmVmSource.h"
#include "server/ingest/lmVmTaskList.h"

namespace {

constexpr int RetryMs = 250;
// Files already in the farm that were reported once; beyond this the oldest notes go.
constexpr size_t NoticedLimit = 10000;

std::vector<std::pair<int64_t, int64_t>> IdsAndEpochs(const std::vector<TFarmLeases::THeld>& Held) {
    std::vector<std::pair<int64_t, int64_t>> pairs;
    for (const TFarmLeases::THeld& lease : Held) {
        pairs.emplace_back(lease.Id, lease.Epoch);
    }
    return pairs;
}

}  // namespace

class TVmFarm::TListenThread final : public TkxThread {
  public:
    explicit TListenThread(TVmFarm& Farm) : TkxThread("FarmListen"), FFarm(Farm) { Start(); }
    ~TListenThread() override {
        Terminate();
        WaitFor();
    }

  private:
    void Execute() override {
        while (!Terminated()) {
            FFarm.ListenOnce();
        }
    }
    TVmFarm& FFarm;
};

std::string TVmFarm::EngineIdFor(const std::string& Host, const std::string& Folder) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : Host + ":" + Folder) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

TVmFarm::TVmFarm(TVmEngine& Engine, std::string Folder, int32_t Port)
    : FEngine(Engine),
      FFolder(std::move(Folder)),
      FHost(port::HostName()),
      FEngineId(EngineIdFor(FHost, FFolder)),
      FPort(Port),
      FLeases([&Engine] {
          TLock lock(Engine);
          return Engine.Settings().FarmLease;
      }()) {
    {
        TLock lock(FEngine);
        const TVmEngineSettings& settings = FEngine.Settings();
        FName = settings.Name.empty() ? FHost : settings.Name;
        FLeaseSeconds = settings.FarmLease;
        FConnectionString = settings.FarmDB;
    }
    // The lease thread's statements must come back well inside a lease.
    const int leaseTimeout = std::min(StatementTimeoutMs, FLeaseSeconds * 1000 / 3);
    FDb = std::make_unique<TFarmConnection>(FConnectionString, "commands", StatementTimeoutMs);
    FLeaseDb = std::make_unique<TFarmConnection>(FConnectionString, "leases", leaseTimeout);
    FListenDb =
        std::make_unique<TFarmConnection>(FConnectionString, "notifications", StatementTimeoutMs);
    FClaims = std::make_unique<TFarmClaims>(*FDb, FEngineId);
    FLeaseClaims = std::make_unique<TFarmClaims>(*FLeaseDb, FEngineId);
    FListenClaims = std::make_unique<TFarmClaims>(*FListenDb, FEngineId);
}

TVmFarm::~TVmFarm() {
    Stop();
}

int32_t TVmFarm::GraceSeconds() const {
    return std::max(1, FLeaseSeconds / 4);
}

void TVmFarm::Start(TVmTaskList& List) {
    FList.store(&List);
    FClaiming.store(true);
    LogText("Farm mode: engine \"" + FName + "\" (" + FEngineId + ") on " + FHost + ", lease " +
            std::to_string(FLeaseSeconds) + " s.");
    FLeaseThread = std::make_unique<TTimerThread>(
        "FarmLease", [this] { LeaseRound(); }, 10);
    FLeaseTimer.store(FLeaseThread.get());
    FListener = std::make_unique<TListenThread>(*this);
}

void TVmFarm::StopClaiming() {
    FClaiming.store(false);
}

void TVmFarm::Stop() {
    FClaiming.store(false);
    FLeaseTimer.store(nullptr);
    FLeaseThread.reset();
    FListener.reset();
}

void TVmFarm::SetLeaseInterval(int Ms) {
    if (TTimerThread* timer = FLeaseTimer.load()) {
        timer->SetInterval(Ms);
    }
}

std::shared_ptr<TVmSource> TVmFarm::FindSource(const TGUID& Uid) const {
    TLock lock(FEngine);
    return FEngine.Sources().FindByUid(Uid);
}

std::vector<std::shared_ptr<TVmSource>> TVmFarm::Sources() const {
    TLock lock(FEngine);
    return FEngine.Sources().All();
}

// ---------------------------------------------------------------------------------------------
// The lease thread

void TVmFarm::LeaseRound() {
    if (!FReady.load() && !BecomeReady()) {
        SetLeaseInterval(RetryMs * 4);
        return;
    }
    const std::vector<TFarmLeases::THeld> held = FLeases.ToRenew();
    const auto sentAt = TFarmLeases::TClock::now();
    std::vector<int64_t> kept;
    if (FLeaseClaims->Renew(IdsAndEpochs(held), FLeaseSeconds, kept) !=
        TFarmClaims::TOutcome::Done) {
        const std::vector<TGUID> lost = FLeases.FenceIfOverdue();
        if (!lost.empty()) {
            Abandon(lost, "no lease renewal succeeded within " + std::to_string(FLeaseSeconds) +
                              " s; this engine may be cut off from the farm");
        }
        SetLeaseInterval(RetryMs);
        return;
    }
    const std::vector<TGUID> lost = FLeases.Renewed(sentAt, held, kept);
    if (!lost.empty()) {
        Abandon(lost, "its lease is gone: another engine has it");
    }
    std::vector<TFarmTaskRow> taken;
    if (FLeaseClaims->TakeOver(GraceSeconds(), MaxAttempts, taken) == TFarmClaims::TOutcome::Done) {
        for (const TFarmTaskRow& row : taken) {
            LogText("Farm: took over task " + GUIDToString(row.Uid) + " (\"" + row.Path +
                    "\"): " + row.Message);
        }
        FileDoneTasks(*FLeaseClaims, taken);
    }
    ResyncLocal(*FLeaseClaims);
    if (TVmTaskList* list = FList.load(); list && FClaiming.load()) {
        list->Signal();
    }
    SetLeaseInterval(std::max(RetryMs, FLeaseSeconds * 1000 / 4));
}

bool TVmFarm::BecomeReady() {
    std::string error;
    if (!TFarmSchema::Migrate(*FLeaseDb, error)) {
        if (error != FLastReadyError) {
            LogText("Farm database not ready: " + error);
            FLastReadyError = error;
        }
        return false;
    }
    if (FLeaseClaims->Register(FName, FHost, FFolder, FPort, FLeaseSeconds) ==
            TFarmClaims::TOutcome::Unavailable ||
        !RecoverOwnWork()) {
        return false;
    }
    // Healthy from the registration on: the first renewal follows at once.
    std::vector<int64_t> none;
    FLeases.Renewed(TFarmLeases::TClock::now(), {}, none);
    FReady.store(true);
    LogText("Farm: engine \"" + FName + "\" joined the farm (schema version " +
            std::to_string(TFarmSchema::Version) + ").");
    return true;
}

bool TVmFarm::RecoverOwnWork() {
    std::vector<TFarmTaskRow> requeued;
    if (FLeaseClaims->RequeueOwn(MaxAttempts, requeued) == TFarmClaims::TOutcome::Unavailable) {
        return false;
    }
    for (const TFarmTaskRow& row : requeued) {
        LogText("Farm: task " + GUIDToString(row.Uid) + " (\"" + row.Path +
                "\") of this engine's last run: " + row.Message);
    }
    FileDoneTasks(*FLeaseClaims, requeued);
    RecoverIngests();
    std::vector<TFarmTaskRow> unfiled;
    if (FLeaseClaims->UnfiledOwn(unfiled) == TFarmClaims::TOutcome::Done) {
        FileDoneTasks(*FLeaseClaims, unfiled);
    }
    const std::vector<std::shared_ptr<TVmSource>> sources = Sources();
    for (const auto& source : sources) {
        TFarmSourceView(source).PurgeOwnIntermediates(FEngineId);
    }
    RemoveOrphans(sources);
    return true;
}

void TVmFarm::RecoverIngests() {
    std::vector<TFarmTaskRow> rows;
    if (FLeaseClaims->UnconfirmedIngests(rows) != TFarmClaims::TOutcome::Done) {
        return;
    }
    // The engine stopped between the insert and the move: finish the move, or forget the row.
    for (const TFarmTaskRow& row : rows) {
        const std::shared_ptr<TVmSource> source = FindSource(row.SourceUid);
        const std::string from = source ? source->WatchFolder() + row.Path : std::string();
        if (port::FileExists(row.FilePath) ||
            (source && port::FileExists(from) &&
             FileMove(LongPath(from), LongPath(row.FilePath), false))) {
            FLeaseClaims->ConfirmIngest(row.Id);
        } else {
            FLeaseClaims->DeleteIngest(row.Id);
        }
    }
}

void TVmFarm::RemoveOrphans(const std::vector<std::shared_ptr<TVmSource>>& Sources) {
    for (const auto& source : Sources) {
        TFarmSourceView view(source);
        // Listed before the owners are read: a file that is there was moved after its row was
        // made, so an engine ingesting meanwhile never loses its file.
        const std::vector<std::string> queued = view.QueuedFiles();
        if (queued.empty()) {
            continue;
        }
        std::vector<std::string> owned;
        if (FLeaseClaims->FilesIn(source->Uid(), source->QueuedFolder(), owned) ==
            TFarmClaims::TOutcome::Done) {
            view.MoveOrphans(queued, owned);
        }
    }
}

void TVmFarm::FileDoneTasks(TFarmClaims& Claims, const std::vector<TFarmTaskRow>& Rows) {
    for (const TFarmTaskRow& row : Rows) {
        if (!IsDoneState(row.State)) {
            continue;
        }
        const std::shared_ptr<TVmSource> source = FindSource(row.SourceUid);
        if (!source || row.FilePath.rfind(source->QueuedFolder(), 0) != 0 ||
            !port::FileExists(row.FilePath)) {
            Claims.Filed(row.Uid, row.FilePath);
            continue;
        }
        const TVmSourceSettings settings = source->Settings();
        if (row.State == tsFinished && settings.ActOnCompletion && settings.CompletionMode == 1) {
            if (port::DeleteFile(LongPath(row.FilePath))) {
                Claims.Filed(row.Uid, std::string());
            }
            continue;
        }
        const std::string target = TFarmSourceView(source).DoneFolder(row.State) + row.Path;
        if (FileMove(LongPath(row.FilePath), LongPath(target))) {
            Claims.Filed(row.Uid, target);
        } else {
            LogText("Farm: could not file \"" + row.FilePath + "\" to \"" + target + "\"");
        }
    }
}

void TVmFarm::Abandon(const std::vector<TGUID>& Uids, const std::string& Why) {
    TVmTaskList* list = FList.load();
    for (const TGUID& uid : Uids) {
        LogText("Farm: the job of task " + GUIDToString(uid) +
                " stops and leaves its files alone: " + Why + ".");
    }
    if (!list) {
        return;
    }
    TLock lock(*list);
    for (const TGUID& uid : Uids) {
        if (TTaskItem* task = list->FindByUid(uid)) {
            task->Abandon();
        }
    }
}

void TVmFarm::ResyncLocal(TFarmClaims& Claims) {
    TVmTaskList* list = FList.load();
    if (!list) {
        return;
    }
    std::vector<TGUID> uids;
    {
        TLock lock(*list);
        for (int32_t i = 0; i < list->Count(); ++i) {
            const TTaskItem* task = list->Items(i);
            if (!IsDoneState(task->State()) || task->Abandoned()) {
                uids.push_back(task->Uid());
            }
        }
    }
    Resync(Claims, uids);
}

void TVmFarm::Resync(TFarmClaims& Claims, const std::vector<TGUID>& Uids) {
    TVmTaskList* list = FList.load();
    if (!list || Uids.empty()) {
        return;
    }
    std::vector<TFarmTaskRow> rows;
    if (Claims.Rows(Uids, rows) != TFarmClaims::TOutcome::Done) {
        return;
    }
    std::map<TGUID, const TFarmTaskRow*> byUid;
    for (const TFarmTaskRow& row : rows) {
        byUid[row.Uid] = &row;
    }
    TLock lock(*list);
    bool resort = false;
    for (const TGUID& uid : Uids) {
        TTaskItem* task = list->FindByUid(uid);
        if (!task) {
            continue;
        }
        const auto found = byUid.find(uid);
        // Gone from the farm, or another engine's now: it leaves this engine's list.
        if (found == byUid.end() ||
            (!found->second->Owner.empty() && found->second->Owner != FEngineId)) {
            if (!task->Running()) {
                list->DropTask(uid);
            }
            continue;
        }
        const TFarmTaskRow& row = *found->second;
        if (row.CancelRequested && !IsDoneState(task->State())) {
            task->Cancel();
        }
        if (row.Priority != task->Priority()) {
            task->SetPriority(row.Priority);
            task->Changed();
            resort = true;
        }
    }
    if (resort) {
        list->Resort();
    }
}

// ---------------------------------------------------------------------------------------------
// The listen thread

void TVmFarm::ListenOnce() {
    std::vector<std::string> payloads;
    bool reconnected = false;
    if (!FListenDb->WaitForNotifications(TFarmClaims::Channel, 500, payloads, reconnected)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(RetryMs));
        return;
    }
    if (!FReady.load()) {
        return;
    }
    // Notifications sent while the connection was away are lost: read the record instead.
    if (reconnected) {
        ResyncLocal(*FListenClaims);
    }
    std::vector<TGUID> changed;
    bool queued = false;
    for (const std::string& payload : payloads) {
        std::istringstream words(payload);
        std::string kind, uidText, engine;
        words >> kind >> uidText >> engine;
        TGUID uid;
        if (kind == "queued") {
            queued = true;
        } else if ((kind == "claim" || kind == "change") && engine != FEngineId &&
                   StringToGUID(uidText, uid)) {
            changed.push_back(uid);
        }
    }
    Resync(*FListenClaims, changed);
    if (TVmTaskList* list = FList.load(); queued && list && FClaiming.load()) {
        list->Signal();
    }
}

// ---------------------------------------------------------------------------------------------
// Ingest

void TVmFarm::NoteTaken(const std::string& Path, int64_t Size, int64_t ModifiedNs) {
    const std::string key = Path + "\n" + std::to_string(Size) + "\n" + std::to_string(ModifiedNs);
    {
        TLock lock(FNoticeLock);
        if (!FNoticed.insert(key).second) {
            return;
        }
        if (FNoticed.size() > NoticedLimit) {
            FNoticed.clear();
        }
    }
    LogText("Farm: \"" + Path +
            "\" is a task of the farm already; left to the engine that has it.");
}

void TVmFarm::NewMedia(const std::shared_ptr<TVmSource>& Source,
                       std::unique_ptr<TSourceFileItem> Item) {
    TVmTaskList* list = FList.load();
    if (!list || !FReady.load() || !FClaiming.load()) {
        return;  // the file waits in the watch folder for a later scan
    }
    const std::string name = Item->FullName();
    const std::string from = Source->WatchFolder() + name;
    int64_t size = 0;
    int64_t modified = 0;
    if (!TFarmSourceView::Identity(from, size, modified)) {
        return;
    }
    const TGUID uid = NewGUID();
    const std::string to = TFarmSourceView(Source).QueuedPath(name, uid);
    const int32_t priority = Source->Settings().Priority;
    int64_t id = 0;
    switch (FClaims->Insert(uid, Source->Uid(), name, size, modified, to, priority, id)) {
        case TFarmClaims::TOutcome::NotMatched:
            NoteTaken(from, size, modified);
            return;
        case TFarmClaims::TOutcome::Unavailable:
            LogText("* Farm database unavailable: new media left in the watch folder: \"" + from +
                    "\"");
            return;
        case TFarmClaims::TOutcome::Done:
            break;
    }
    // Only the engine whose insert made the row moves the file, and onto a name of its task.
    if (!FileMove(LongPath(from), LongPath(to), false)) {
        LogText("* Failed moving new media from: \"" + from + "\" to: \"" + to + "\"");
        FClaims->DeleteIngest(id);
        return;
    }
    if (FClaims->ConfirmIngest(id) == TFarmClaims::TOutcome::Unavailable) {
        // Confirmed at this engine's next start, which finds the file moved.
        LogText("* Farm database unavailable: the task of \"" + to + "\" waits for confirmation");
        return;
    }
    const TVmTaskOrigin origin{uid, to, priority};
    list->AddTask(Source, std::move(Item), &origin);
    LogText("Queued new media at: \"" + to + "\"");
}

// ---------------------------------------------------------------------------------------------
// Claims and jobs

bool TVmFarm::Claim(TVmFarmClaim& Claim) {
    if (!FReady.load() || !FClaiming.load() || !FLeases.Healthy()) {
        return false;
    }
    std::vector<TGUID> sourceUids;
    for (const auto& source : Sources()) {
        sourceUids.push_back(source->Uid());
    }
    if (sourceUids.empty()) {
        return false;
    }
    TFarmTaskRow row;
    if (FClaims->Claim(sourceUids, FLeaseSeconds, row) != TFarmClaims::TOutcome::Done) {
        return false;
    }
    FLeases.Hold(row.Uid, row.Id, row.Epoch);
    std::shared_ptr<TVmSource> source = FindSource(row.SourceUid);
    if (!source) {
        Release(row.Uid);
        return false;
    }
    Claim.Uid = row.Uid;
    Claim.Source = std::move(source);
    Claim.FileName = row.Path;
    Claim.FilePath = row.FilePath;
    Claim.Priority = row.Priority;
    return true;
}

void TVmFarm::Release(const TGUID& Uid) {
    TFarmLeases::THeld held;
    if (FLeases.Find(Uid, held)) {
        FLeases.Drop(Uid);
        FClaims->Release(held.Id, held.Epoch);
    }
}

std::string TVmFarm::IntermediateName(const TTaskItem& Task) {
    TFarmLeases::THeld held;
    FLeases.Find(Task.Uid(), held);
    return GUIDToString(Task.Uid()) + "." + std::to_string(held.Epoch) + "." + FEngineId;
}

bool TVmFarm::Holds(const TTaskItem& Task) {
    TFarmLeases::THeld held;
    return !Task.Abandoned() && FLeases.Find(Task.Uid(), held) && FLeases.Healthy();
}

bool TVmFarm::Commit(const TTaskItem& Task, uint8_t State, const std::string& Message) {
    TFarmLeases::THeld held;
    if (Task.Abandoned() || !FLeases.Find(Task.Uid(), held)) {
        return false;
    }
    // A database away for a moment is waited for, as long as the lease lasts.
    while (FLeases.Healthy()) {
        switch (FClaims->Commit(held.Id, held.Epoch, State, Message)) {
            case TFarmClaims::TOutcome::Done:
                if (IsDoneState(State)) {
                    FLeases.MarkCommitted(Task.Uid());
                }
                return true;
            case TFarmClaims::TOutcome::NotMatched:
                FLeases.Drop(Task.Uid());
                LogText("Farm: task " + GUIDToString(Task.Uid()) +
                        " is no longer this engine's; its job leaves its files alone.");
                return false;
            case TFarmClaims::TOutcome::Unavailable:
                std::this_thread::sleep_for(std::chrono::milliseconds(RetryMs));
                break;
        }
    }
    return false;
}

void TVmFarm::Filed(const TTaskItem& Task, const std::string& Path) {
    FClaims->Filed(Task.Uid(), Path);
}

void TVmFarm::JobEnded(TTaskItem& Task) {
    TFarmLeases::THeld held;
    if (!FLeases.Find(Task.Uid(), held)) {
        return;
    }
    if (!held.Committed && !Task.Abandoned()) {
        const uint8_t state = IsDoneState(Task.State()) ? Task.State() : uint8_t{tsFailed};
        Commit(Task, state, Task.Message());
    }
    FLeases.Drop(Task.Uid());
}

// ---------------------------------------------------------------------------------------------
// Commands

std::vector<TGUID> TVmFarm::SetPriority(const std::vector<TGUID>& Uids, int32_t Priority) {
    std::vector<TGUID> changed;
    FClaims->SetPriority(Uids, Priority, changed);
    return changed;
}

void TVmFarm::CancelTasks(const std::vector<TGUID>& Uids) {
    std::vector<TGUID> changed;
    FClaims->Cancel(Uids, changed);
}

void TVmFarm::RemoveTasks(const std::vector<TGUID>& Uids) {
    std::vector<TGUID> changed;
    FClaims->Remove(Uids, changed);
}

void TVmFarm::RequeueTasks(const std::vector<TGUID>& Uids, TVmRequeueResult& Result) {
    std::set<TGUID> seen;
    for (const TGUID& uid : Uids) {
        if (seen.insert(uid).second) {
            RequeueOne(uid, Result);
        }
    }
    // The requeued tasks leave this engine's list here; the others' lists hear of it.
    if (TVmTaskList* list = FList.load(); list && !Result.Requeued.empty()) {
        TLock lock(*list);
        for (const TGUID& uid : Result.Requeued) {
            list->RemoveTask(uid);
        }
    }
}

void TVmFarm::RequeueOne(const TGUID& Uid, TVmRequeueResult& Result) {
    std::vector<TFarmTaskRow> rows;
    if (FClaims->Rows({Uid}, rows) != TFarmClaims::TOutcome::Done || rows.empty()) {
        Result.Refused.push_back({Uid, std::string(), "no such task"});
        return;
    }
    const TFarmTaskRow& row = rows.front();
    const auto refuse = [&](const char* Reason) {
        Result.Refused.push_back({Uid, row.Path, Reason});
    };
    if (row.State == tsQueued) {
        return refuse("the task is still waiting");
    }
    if (!IsDoneState(row.State)) {
        return refuse("the task is still running");
    }
    if (row.State == tsFinished) {
        return refuse("the task has finished");
    }
    const std::shared_ptr<TVmSource> source = FindSource(row.SourceUid);
    if (!source) {
        return refuse("its source no longer exists");
    }
    const std::string to = source->WatchFolder() + row.Path;
    if (row.FilePath.empty() || !port::FileExists(LongPath(row.FilePath))) {
        return refuse("its file is gone");
    }
    if (port::FileExists(LongPath(to))) {
        return refuse("a file of that name is in the watch folder");
    }
    TFarmTaskRow taken;
    if (FClaims->TakeForRequeue(Uid, taken) != TFarmClaims::TOutcome::Done) {
        return refuse("the task changed meanwhile");
    }
    if (FileMove(LongPath(taken.FilePath), LongPath(to), false)) {
        LogText("Requeued \"" + taken.FilePath + "\" into \"" + to + "\"");
        Result.Requeued.push_back(Uid);
    } else {
        LogText("* Failed requeueing \"" + taken.FilePath + "\" into \"" + to + "\"");
        refuse("its file could not be moved to the watch folder");
    }
}

bool TVmFarm::WriteStatus(TXMLUnicode& Doc, std::string& Message) {
    std::vector<TFarmEngineRow> engines;
    int32_t queued = 0;
    if (!FReady.load()) {
        Message = "The farm database is not ready yet.";
        return false;
    }
    if (FClaims->Engines(engines, queued) != TFarmClaims::TOutcome::Done) {
        Message = "The farm database cannot be read.";
        return false;
    }
    int32_t alive = 0;
    for (const TFarmEngineRow& engine : engines) {
        const bool live = engine.HeartbeatAge < engine.LeaseSeconds;
        alive += live;
        Doc.OpenElement("record");
        Doc.AddElement("uid", engine.Uid);
        Doc.AddElement("name", engine.Name);
        Doc.AddElement("host", engine.Host);
        Doc.AddElement("folder", engine.Folder);
        Doc.AddInteger("port", engine.Port);
        Doc.AddInteger("lease", engine.LeaseSeconds);
        Doc.AddFloat("heartbeat", static_cast<float>(engine.HeartbeatAge));
        Doc.AddBoolean("alive", live);
        Doc.AddBoolean("self", engine.Uid == FEngineId);
        Doc.AddInteger("running", engine.Running);
        Doc.AddInteger("finished", engine.Finished);
        Doc.AddInteger("failed", engine.Failed);
        Doc.AddInteger("cancelled", engine.Cancelled);
        Doc.CloseElement();
    }
    Doc.AddInteger("count", queued);
    Message = std::to_string(engines.size()) + (engines.size() == 1 ? " engine" : " engines") +
              " (" + std::to_string(alive) + " alive), " + std::to_string(queued) + " queued.";
    return true;
}
