#include "server/ingest/lmVmTaskList.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/farm/lmVmFarmLink.h"
#include "server/ingest/lmVmSource.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmProcessor.h"

namespace {

// Higher priority first; among equals the most recently queued first.
int CompareTasks(const TTaskItem& A, const TTaskItem& B, uint64_t SequenceA, uint64_t SequenceB) {
    if (A.Priority() != B.Priority()) {
        return A.Priority() > B.Priority() ? -1 : 1;
    }
    if (SequenceA != SequenceB) {
        return SequenceA > SequenceB ? -1 : 1;
    }
    return 0;
}

}  // namespace

const char* TaskStateName(uint8_t State) {
    static const char* const Names[] = {"Queued",   "Transcoding", "Filing",    "Cancelled",
                                        "Finished", "Failed",      "Captioning"};
    return State < 7 ? Names[State] : "";
}

bool IsDoneState(uint8_t State) {
    return State == tsCancelled || State == tsFinished || State == tsFailed;
}

// ---------------------------------------------------------------------------------------------

TTaskItem::TTaskItem(TVmTaskList* Owner, bool MakeUid) : FOwner(Owner), FClipUid(NewGUID()) {
    if (MakeUid) {
        FUid = NewGUID();
    }
    if (FOwner) {
        FOwner->FQueuedCount.fetch_add(1);
    }
}

TTaskItem::~TTaskItem() {
    if (FOwner && FState.load() == tsQueued) {
        FOwner->FQueuedCount.fetch_sub(1);
    }
}

void TTaskItem::SetSource(std::shared_ptr<TVmSource> Source) {
    FSource = std::move(Source);
    if (FSource) {
        FPriority.store(FSource->Settings().Priority);
    }
}

void TTaskItem::SetState(uint8_t State) {
    const uint8_t old = FState.exchange(State);
    if (old == State) {
        return;
    }
    if (FOwner && old == tsQueued) {
        FOwner->FQueuedCount.fetch_sub(1);
    } else if (FOwner && State == tsQueued) {
        FOwner->FQueuedCount.fetch_add(1);
    }
    if (State == tsFinished) {
        FProgress.store(100);
    }
    Changed();
}

std::string TTaskItem::Message() const {
    TLock lock(FLock);
    return FMessage;
}

void TTaskItem::SetMessage(const std::string& Text) {
    {
        TLock lock(FLock);
        if (Text == FMessage) {
            return;
        }
        FMessage = Text;
    }
    Changed();
}

void TTaskItem::SetProgress(float Value) {
    if (FProgress.exchange(Value) == Value) {
        return;
    }
    const uint32_t now = FOwner ? FOwner->FTicks() : port::GetTickCount();
    {
        TLock lock(FLock);
        const uint32_t forward = now - FLastProgressTick;
        const uint32_t backward = FLastProgressTick - now;
        if (std::min(forward, backward) <= 500) {
            return;
        }
        FLastProgressTick = now;
    }
    Changed();
}

std::string TTaskItem::FilePath() const {
    TLock lock(FLock);
    return FFilePath;
}

void TTaskItem::SetFilePath(const std::string& Path) {
    TLock lock(FLock);
    FFilePath = Path;
}

TDateTime TTaskItem::StartTime() const {
    TLock lock(FLock);
    return FStartTime;
}

TDateTime TTaskItem::EndTime() const {
    TLock lock(FLock);
    return FEndTime;
}

TDateTime TTaskItem::QueueTime() const {
    TLock lock(FLock);
    return FQueueTime;
}

void TTaskItem::SetStartTime(TDateTime Value) {
    TLock lock(FLock);
    FStartTime = Value;
}

void TTaskItem::SetEndTime(TDateTime Value) {
    {
        TLock lock(FLock);
        if (Value == FEndTime) {
            return;
        }
        FEndTime = Value;
    }
    Changed();
}

void TTaskItem::BeginUpdate() {
    TLock lock(FLock);
    ++FUpdateDepth;
}

void TTaskItem::EndUpdate() {
    {
        TLock lock(FLock);
        if (FUpdateDepth == 0 || --FUpdateDepth > 0 || !FChangePending) {
            return;
        }
        FChangePending = false;
    }
    if (FOwner) {
        FOwner->FChangeEvents.Fire(TaskEventChanged, this, 0);
    }
}

void TTaskItem::Changed() {
    {
        TLock lock(FLock);
        if (FUpdateDepth > 0) {
            FChangePending = true;
            return;
        }
    }
    if (FOwner) {
        FOwner->FChangeEvents.Fire(TaskEventChanged, this, 0);
    }
}

void TTaskItem::Cancel() {
    FCancelRequested.store(true);
    // Only the dispatcher, under the list's lock, takes a task out of "Queued"; the caller
    // holds that lock, so the state cannot change between this test and the update.
    if (FState.load() == tsQueued) {
        BeginUpdate();
        SetState(tsCancelled);
        SetMessage("Cancelled by user.");
        EndUpdate();
    }
}

void TTaskItem::Abandon() {
    FAbandoned.store(true);
    FCancelRequested.store(true);
}

void TTaskItem::Reclaim() {
    FAbandoned.store(false);
    FCancelRequested.store(false);
}

void TTaskItem::MarkStarted() {
    FRunning.store(true);
    SetStartTime(NowDateTime());
}

void TTaskItem::MarkEnded() {
    SetEndTime(NowDateTime());
    LogText("Encoding took: " + FormatElapsed(StartTime(), EndTime()));
    FRunning.store(false);
}

void TTaskItem::ReleaseFileMedia() {
    if (FFileItem) {
        FFileItem->Meta.ReleaseMedia();
    }
}

void TTaskItem::SaveToXML(TXMLUnicode& Doc) const {
    Doc.AddGUID("uid", FUid);
    Doc.AddDateTime("stime", StartTime());
    Doc.AddDateTime("etime", EndTime());
    Doc.AddDateTime("qtime", QueueTime());
    Doc.AddElement("fname", FFileItem ? FFileItem->FullName() : std::string());
    Doc.AddGUID("sid", FSourceUid);
    Doc.AddInteger("state", State());
    Doc.AddElement("smsg", Message());
    Doc.AddFloat("prog", Progress());
    Doc.AddInteger("prio", Priority());
    Doc.OpenElement("meta");
    if (FFileItem) {
        FFileItem->Meta.WriteToXML(Doc);
    }
    Doc.CloseElement();
}

void TTaskItem::SaveStateToXML(TXMLUnicode& Doc) const {
    Doc.AddGUID("uid", FUid);
    Doc.AddDateTime("stime", StartTime());
    Doc.AddDateTime("etime", EndTime());
    Doc.AddInteger("state", State());
    Doc.AddElement("smsg", Message());
    Doc.AddFloat("prog", Progress());
    Doc.AddInteger("prio", Priority());
}

// ---------------------------------------------------------------------------------------------

// What one job works on: the task and its private copies, freed when the job has ended.
struct TVmTaskList::TJobRun {
    TTaskItem* Task = nullptr;
    std::unique_ptr<TVmSource> Source;
    std::unique_ptr<TVmProcessor> Processor;
};

TVmTaskList::TVmTaskList(TTickSource Ticks)
    : FTicks(Ticks ? std::move(Ticks) : [] { return port::GetTickCount(); }),
      FDispatchOrder([](const TTaskItem& A, const TTaskItem& B) {
          return CompareTasks(A, B, A.FSequence, B.FSequence);
      }),
      FPool("process pool", 1) {
    FDispatcher =
        std::make_unique<TSignalThread>("setup thread", [this](TSignalThread&) { Dispatch(); });
    // A worker back on the idle stack takes the next queued task at once.
    FPool.SetWorkerIdleCallback([this] { FDispatcher->Signal(); });
}

TVmTaskList::~TVmTaskList() {
    FDispatcher->Stop();
    FPool.Shutdown();
    FChangeEvents.Disable();
    TLock lock(*this);
    FDispatchOrder.Clear();
    FTasks.clear();
}

void TVmTaskList::SetJobEvent(TJobEvent Event) {
    TLock lock(FEventLock);
    FJobEvent = std::move(Event);
}

void TVmTaskList::SetProjectQueueEmptyEvent(TProjectQueueEmptyEvent Event) {
    TLock lock(FEventLock);
    FProjectQueueEmpty = std::move(Event);
}

TTaskItem* TVmTaskList::AddTask(std::shared_ptr<TVmSource> Source,
                                std::unique_ptr<TSourceFileItem> Item,
                                const TVmTaskOrigin* Origin) {
    auto task = std::make_unique<TTaskItem>(this, Origin == nullptr);
    TTaskItem* result = task.get();
    task->SetSource(Source);
    if (Origin) {
        task->FUid = Origin->Uid;
        task->FPriority.store(Origin->Priority);
    }
    if (Source) {
        task->FSourceUid = Source->Uid();
        if (std::shared_ptr<TVmProcessor> processor = Source->Processor()) {
            task->FProcessor = std::make_unique<TVmProcessor>(nullptr, true, false);
            task->FProcessor->Assign(*processor);
        }
    }
    task->FFileItem = std::move(Item);
    // The engine has just moved the file there.
    {
        TLock taskLock(task->FLock);
        if (Origin) {
            task->FFilePath = Origin->FilePath;
        } else if (Source && task->FFileItem) {
            task->FFilePath = Source->QueuedFolder() + task->FFileItem->FullName();
        }
        task->FQueueTime = NowDateTime();
    }
    {
        TLock lock(*this);
        task->FSequence = ++FNextSequence;
        FDispatchOrder.Add(result);
        FTasks.push_back(std::move(task));
        // Announced under the lock: the dispatcher, a cancel or a removal reaches the task only
        // through the list, so every change of it is reported after its arrival.
        FChangeEvents.Fire(TaskEventAdded, result, 0);
    }
    FDispatcher->Signal();
    return result;
}

TTaskItem* TVmTaskList::FindByUid(const TGUID& Uid) const {
    TLock lock(*this);
    for (const auto& task : FTasks) {
        if (task->FUid == Uid) {
            return task.get();
        }
    }
    return nullptr;
}

std::vector<std::string> TVmTaskList::LiveFileNames(const std::string& QueuedFolder) const {
    TLock lock(*this);
    std::vector<std::string> names;
    for (const auto& task : FTasks) {
        // A failed job is "Failed" before it has moved its file out of the queued folder.
        const bool live = !IsDoneState(task->State()) || task->Running();
        if (live && task->FSource && task->FFileItem &&
            task->FSource->QueuedFolder() == QueuedFolder) {
            names.push_back(task->FFileItem->FullName());
        }
    }
    return names;
}

bool TVmTaskList::IsLiveFile(const std::string& Path) const {
    TLock lock(*this);
    for (const auto& task : FTasks) {
        if ((!IsDoneState(task->State()) || task->Running()) && task->FilePath() == Path) {
            return true;
        }
    }
    return false;
}

bool TVmTaskList::CancelTask(const TGUID& Uid) {
    TLock lock(*this);
    TTaskItem* task = FindByUid(Uid);
    if (!task || IsDoneState(task->State())) {
        return false;
    }
    task->Cancel();
    return true;
}

bool TVmTaskList::RemoveTask(const TGUID& Uid) {
    TLock lock(*this);
    TTaskItem* task = FindByUid(Uid);
    if (!task || task->Running()) {
        return false;
    }
    const uint8_t state = task->State();
    if (state != tsQueued && !IsDoneState(state)) {
        return false;
    }
    Destroy({task});
    return true;
}

bool TVmTaskList::DropTask(const TGUID& Uid) {
    TLock lock(*this);
    TTaskItem* task = FindByUid(Uid);
    if (!task || task->Running()) {
        return false;
    }
    FChangeEvents.Fire(TaskEventRemoved, task, 0);
    Destroy({task});
    return true;
}

void TVmTaskList::Signal() {
    FDispatcher->Signal();
}

void TVmTaskList::RemoveDone(uint8_t State) {
    TLock lock(*this);
    std::vector<TTaskItem*> doomed;
    for (auto it = FTasks.rbegin(); it != FTasks.rend(); ++it) {
        if ((*it)->State() == State && !(*it)->Running()) {
            doomed.push_back(it->get());
        }
    }
    Destroy(doomed);
}

void TVmTaskList::Destroy(const std::vector<TTaskItem*>& Tasks) {
    if (Tasks.empty()) {
        return;
    }
    const std::unordered_set<TTaskItem*> doomed(Tasks.begin(), Tasks.end());
    // Deleting from the back moves each later entry at most once per removal; the dispatch
    // order stays as it was, sorted or not.
    for (int32_t i = FDispatchOrder.Count() - 1; i >= 0; --i) {
        if (doomed.count(FDispatchOrder[i])) {
            FDispatchOrder.Delete(i);
        }
    }
    std::erase_if(FTasks, [&](const std::unique_ptr<TTaskItem>& task) {
        return doomed.count(task.get()) != 0;
    });
}

void TVmTaskList::Resort() {
    TLock lock(*this);
    FDispatchOrder.Sort();
}

void TVmTaskList::Trim() {
    TLock lock(*this);
    size_t count = FTasks.size();
    if (count <= static_cast<size_t>(TrimLimit)) {
        return;
    }
    std::vector<TTaskItem*> doomed;
    for (uint8_t state : {tsCancelled, tsFinished, tsFailed}) {
        for (auto it = FTasks.rbegin(); it != FTasks.rend() && count > TrimLimit; ++it) {
            // Each task is in one state, so no task is chosen twice.
            TTaskItem* task = it->get();
            if (task->State() == state && !task->Running()) {
                doomed.push_back(task);
                --count;
            }
        }
    }
    Destroy(doomed);
}

void TVmTaskList::SaveToXML(TXMLUnicode& Doc) const {
    TLock lock(*this);
    Doc.OpenElement("tasks");
    for (const auto& task : FTasks) {
        Doc.OpenElement("task");
        task->SaveToXML(Doc);
        Doc.CloseElement();
    }
    Doc.CloseElement();
}

uint64_t TVmTaskList::VisitTasks(uint64_t After, size_t Count,
                                 const std::function<void(const TTaskItem& Task)>& Visit) const {
    TLock lock(*this);
    // The queue order is the order of the positions, whatever was removed.
    auto task = std::upper_bound(FTasks.begin(), FTasks.end(), After,
                                 [](uint64_t position, const std::unique_ptr<TTaskItem>& item) {
                                     return position < item->FSequence;
                                 });
    uint64_t last = 0;
    for (size_t visited = 0; task != FTasks.end() && visited < Count; ++task, ++visited) {
        Visit(**task);
        last = (*task)->FSequence;
    }
    return last;
}

int32_t TVmTaskList::Count() const {
    TLock lock(*this);
    return static_cast<int32_t>(FTasks.size());
}

TTaskItem* TVmTaskList::Items(int32_t Index) const {
    TLock lock(*this);
    return FTasks.at(static_cast<size_t>(Index)).get();
}

std::vector<TTaskItem*> TVmTaskList::DispatchOrder() const {
    TLock lock(*this);
    std::vector<TTaskItem*> order;
    for (int32_t i = 0; i < FDispatchOrder.Count(); ++i) {
        order.push_back(FDispatchOrder[i]);
    }
    return order;
}

void TVmTaskList::Dispatch() {
    if (IVmFarm* farm = FFarm.load()) {
        DispatchClaims(*farm);
        return;
    }
    TLock lock(*this);
    for (int32_t i = 0; i < FDispatchOrder.Count() && FPool.IdleCount() > 0; ++i) {
        TTaskItem* task = FDispatchOrder[i];
        if (task->State() != tsQueued) {
            continue;
        }
        if (!StartJob(task)) {
            break;  // the pool is shutting down; the task stays queued
        }
    }
}

void TVmTaskList::DispatchClaims(IVmFarm& Farm) {
    // Only this thread hands out work, so idle workers can only grow while a claim runs; the
    // claim itself runs without the list's lock, which no database wait may hold up.
    while (FPool.IdleCount() > 0) {
        TVmFarmClaim claim;
        if (!Farm.Claim(claim)) {
            return;
        }
        TLock lock(*this);
        TTaskItem* task = FindByUid(claim.Uid);
        if (!task) {
            auto item = std::make_unique<TSourceFileItem>();
            item->SetFileName(claim.FileName);
            claim.Source->ParseFileName(*item);
            const TVmTaskOrigin origin{claim.Uid, claim.FilePath, claim.Priority};
            task = AddTask(claim.Source, std::move(item), &origin);
        }
        if (task->Running()) {
            Farm.Release(claim.Uid);
            return;
        }
        // The same task claimed again (its lease was lost while this engine was cut off): the
        // item the abandoned job left behind runs the new attempt.
        task->Reclaim();
        if (!StartJob(task)) {
            Farm.Release(claim.Uid);
            return;
        }
    }
}

bool TVmTaskList::StartJob(TTaskItem* Task) {
    Task->SetState(tsTranscoding);
    auto run = std::make_shared<TJobRun>();
    run->Task = Task;
    run->Source = std::make_unique<TVmSource>(nullptr, false);
    if (Task->FSource) {
        run->Source->Assign(*Task->FSource);
    }
    // Without a processor the job still runs with an empty one: it fails the task in its
    // own words and files the source file under "Failed".
    run->Processor = std::make_unique<TVmProcessor>(nullptr, true, false);
    if (Task->FProcessor) {
        run->Processor->Assign(*Task->FProcessor);
    }
    LogText("Transcoding: " + Task->FFileItem->FullName() + " from source: " + run->Source->Name());
    const bool handed = FPool.Dispatch(Task, run->Source.get(), std::string(), 0,
                                       [this, run](void*, void*, int64_t) { RunJob(*run); });
    if (!handed) {
        Task->SetState(tsQueued);
    }
    return handed;
}

void TVmTaskList::RunJob(TJobRun& Run) {
    TTaskItem& task = *Run.Task;
    task.MarkStarted();
    TJobEvent job;
    {
        TLock lock(FEventLock);
        job = FJobEvent;
    }
    if (job) {
        try {
            job(task, *Run.Source, *Run.Processor);
        } catch (...) {
            // The job reports its own failures; whatever escapes still ends the task below.
        }
    }
    if (!IsDoneState(task.State())) {
        // A task left running would never leave the list nor release its file.
        task.BeginUpdate();
        task.SetState(tsFailed);
        task.SetMessage("Processing ended without a result.");
        task.EndUpdate();
    }
    if (IVmFarm* farm = FFarm.load()) {
        farm->JobEnded(task);
    }
    task.MarkEnded();
    // From here on the task may be removed by another thread: only the copies are used.
    std::shared_ptr<TVmProject> project = Run.Source->Project();
    if (project && project->BatchWhenDone()) {
        ProjectCheck(*project);
    }
    Run.Source.reset();
    Run.Processor.reset();
    Trim();
    FDispatcher->Signal();
}

void TVmTaskList::ProjectCheck(TVmProject& Project) {
    const TGUID uid = Project.Uid();
    {
        TLock lock(*this);
        for (const auto& task : FTasks) {
            if (IsDoneState(task->State()) || !task->FSource) {
                continue;
            }
            const std::shared_ptr<TVmProject> other = task->FSource->Project();
            if (other && other->Uid() == uid) {
                return;
            }
        }
    }
    TProjectQueueEmptyEvent handler;
    {
        TLock lock(FEventLock);
        handler = FProjectQueueEmpty;
    }
    if (handler) {
        handler(Project);
    }
}
