#pragma once

// The task list: every media file queued for processing becomes a task. Tasks are kept in the
// order they were queued (reports, lookups, trimming) and in priority order for dispatch; a
// dispatcher thread ("setup thread") hands the best queued task to an idle worker of the
// "process pool", whose job is whatever the transcoder assigns.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxEventLinks.h"
#include "foundation/kxFastList.h"
#include "foundation/kxGUID.h"
#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "foundation/kxXMLUnicode.h"
#include "server/ingest/lmVmSourceFileItem.h"

class IVmFarm;
class TVmProcessor;
class TVmProject;
class TVmSource;
class TVmTaskList;

enum TTaskState : uint8_t {
    tsQueued = 0,
    tsTranscoding = 1,
    tsFiling = 2,
    tsCancelled = 3,
    tsFinished = 4,
    tsFailed = 5,
    tsCaptioning = 6,
};

// "Queued", "Transcoding", ... as the manager shows them; empty for an unknown value.
const char* TaskStateName(uint8_t State);
// Cancelled, finished and failed tasks are done.
bool IsDoneState(uint8_t State);

inline constexpr int32_t TaskEventAdded = 102;
inline constexpr int32_t TaskEventChanged = 104;
// The task left the list because another engine of the farm took it, or it left the farm.
inline constexpr int32_t TaskEventRemoved = 105;

// Where a task comes from when it is not a new file of this engine's own: its uid, the file's
// place and its priority are given (farm mode).
struct TVmTaskOrigin {
    TGUID Uid;
    std::string FilePath;
    int32_t Priority = 0;
};

class TTaskItem {
  public:
    // Raises the owner's queued count (a new task is queued).
    TTaskItem(TVmTaskList* Owner, bool MakeUid);
    ~TTaskItem();
    TTaskItem(const TTaskItem&) = delete;
    TTaskItem& operator=(const TTaskItem&) = delete;

    const TGUID& Uid() const { return FUid; }
    const TGUID& ClipUid() const { return FClipUid; }
    const TGUID& SourceUid() const { return FSourceUid; }
    TVmTaskList* Owner() const { return FOwner; }

    // The media file; owned by the task.
    TSourceFileItem* FileItem() const { return FFileItem.get(); }
    // Where the media file lies as far as the server knows: in the queued folder from the
    // task's arrival, then wherever its job filed it (empty once deleted).
    std::string FilePath() const;
    void SetFilePath(const std::string& Path);
    // The copy of the source's processor taken when the task was made; none when the source
    // had no processor.
    TVmProcessor* Processor() const { return FProcessor.get(); }
    // The live source that delivered the file. Shared, so a source deleted meanwhile stays
    // valid for as long as its tasks need it.
    const std::shared_ptr<TVmSource>& Source() const { return FSource; }
    // Stores the source and takes its priority.
    void SetSource(std::shared_ptr<TVmSource> Source);

    uint8_t State() const { return FState.load(); }
    void SetState(uint8_t State);
    std::string Message() const;
    void SetMessage(const std::string& Text);
    float Progress() const { return FProgress.load(); }
    // Announced at most about twice a second; an unannounced value rides on the next event.
    void SetProgress(float Value);
    int32_t Priority() const { return FPriority.load(); }
    // Changes the dispatch rank; the list needs a `Resort` afterwards.
    void SetPriority(int32_t Value) { FPriority.store(Value); }

    TDateTime StartTime() const;
    TDateTime EndTime() const;
    TDateTime QueueTime() const;
    void SetStartTime(TDateTime Value);
    void SetEndTime(TDateTime Value);

    // Changes made between these two go out as one change event.
    void BeginUpdate();
    void EndUpdate();
    // Sends the change event (104), or marks it pending inside an update.
    void Changed();

    // Asks the task to stop; a queued task is cancelled at once.
    void Cancel();
    bool CancelRequested() const { return FCancelRequested.load(); }
    // The task is no longer this engine's (its farm lease is gone): the job stops as it would
    // on a cancel, but leaves every file alone and reports nothing.
    void Abandon();
    bool Abandoned() const { return FAbandoned.load(); }
    // The farm has given the task to this engine again, after the job that stopped or gave it
    // up has ended: the new job starts with neither mark.
    void Reclaim();
    bool Running() const { return FRunning.load(); }
    void MarkStarted();
    void MarkEnded();

    // Frees the file's images and flipbook once the job no longer needs them.
    void ReleaseFileMedia();

    // The full form: uid, times, file, source, state, message, progress, priority, metadata.
    void SaveToXML(TXMLUnicode& Doc) const;
    // The short form: uid, times, state, message, progress, priority.
    void SaveStateToXML(TXMLUnicode& Doc) const;

  private:
    friend class TVmTaskList;

    TVmTaskList* const FOwner;
    TGUID FUid;
    const TGUID FClipUid;
    TGUID FSourceUid;
    uint64_t FSequence = 0;  // order of queueing, newest highest
    std::unique_ptr<TSourceFileItem> FFileItem;
    std::unique_ptr<TVmProcessor> FProcessor;
    std::shared_ptr<TVmSource> FSource;

    std::atomic<uint8_t> FState{tsQueued};
    std::atomic<float> FProgress{0};
    std::atomic<int32_t> FPriority{0};
    std::atomic<bool> FCancelRequested{false};
    std::atomic<bool> FAbandoned{false};
    std::atomic<bool> FRunning{false};

    // Guards the text, the times and the update bookkeeping, which several threads read.
    mutable TMutex FLock;
    std::string FMessage GUARDED_BY(FLock);
    std::string FFilePath GUARDED_BY(FLock);
    TDateTime FStartTime GUARDED_BY(FLock) = 0;
    TDateTime FEndTime GUARDED_BY(FLock) = 0;
    TDateTime FQueueTime GUARDED_BY(FLock) = 0;
    int32_t FUpdateDepth GUARDED_BY(FLock) = 0;
    bool FChangePending GUARDED_BY(FLock) = false;
    uint32_t FLastProgressTick GUARDED_BY(FLock) = 0;
};

class CAPABILITY("mutex") TVmTaskList {
  public:
    // The job run on a worker for one task, with private copies of its source and processor.
    using TJobEvent =
        std::function<void(TTaskItem& Task, TVmSource& Source, TVmProcessor& Processor)>;
    // Told when the last unfinished task of a project that batches its mail until the queue
    // is empty has ended.
    using TProjectQueueEmptyEvent = std::function<void(TVmProject& Project)>;

    // Milliseconds of a monotonic clock, wrapping at 32 bits.
    using TTickSource = std::function<uint32_t()>;

    static constexpr int32_t TrimLimit = 1500;

    // Ticks (the progress rate limit of the tasks) are port::GetTickCount unless another source
    // is given (tests).
    explicit TVmTaskList(TTickSource Ticks = {});
    // Stops the dispatcher, waits for running jobs, then frees every task.
    ~TVmTaskList();
    TVmTaskList(const TVmTaskList&) = delete;
    TVmTaskList& operator=(const TVmTaskList&) = delete;

    // Queues the file as a task of the source, raises event 102, then wakes the dispatcher. A
    // task of a source without a processor is queued too; its job fails it. Without an origin
    // the task gets a new uid and its file lies in the source's queued folder.
    TTaskItem* AddTask(std::shared_ptr<TVmSource> Source, std::unique_ptr<TSourceFileItem> Item,
                       const TVmTaskOrigin* Origin = nullptr);
    // Takes a task that is not running out of the list, announced with event 105 (farm mode:
    // another engine took it, or it left the farm). False for a running or unknown task.
    bool DropTask(const TGUID& Uid);
    // Farm mode: the dispatcher claims tasks from the farm instead of taking them from the
    // dispatch order, and the jobs commit through it. Set before the first task arrives.
    void SetFarm(IVmFarm* Farm) { FFarm.store(Farm); }
    IVmFarm* Farm() const { return FFarm.load(); }
    // Wakes the dispatcher (farm mode: tasks may wait in the farm).
    void Signal();
    TTaskItem* FindByUid(const TGUID& Uid) const;
    // Names of the files that tasks still waiting or running (a job included that has not yet
    // filed its file) expect in the queued folder of their live source: a re-activated source
    // must leave those files where they are.
    std::vector<std::string> LiveFileNames(const std::string& QueuedFolder) const;
    // Whether a task still waiting or running (a job included that has not yet filed its file)
    // has its media file at that path.
    bool IsLiveFile(const std::string& Path) const;
    bool CancelTask(const TGUID& Uid);
    bool RemoveTask(const TGUID& Uid);
    void RemoveFinished() { RemoveDone(tsFinished); }
    void RemoveCancelled() { RemoveDone(tsCancelled); }
    void RemoveFailed() { RemoveDone(tsFailed); }
    // Restores the dispatch order after priorities changed; among equal priorities the most
    // recently queued task stays first.
    void Resort();
    // Keeps the list at TrimLimit tasks where done tasks allow it (run after every job).
    void Trim();

    // "tasks" with one "task" element per task, in queue order.
    void SaveToXML(TXMLUnicode& Doc) const;
    // Calls `Visit`, under the lock, for at most `Count` tasks in queue order from the first
    // one queued after the task at position `After` (0: from the start). Returns the position
    // of the last task visited, to go on after it, or 0 when none was left. So a long list is
    // read in slices that each hold the lock briefly; a task queued in between is reached
    // when it is queued behind the last one visited, and none is visited twice.
    uint64_t VisitTasks(uint64_t After, size_t Count,
                        const std::function<void(const TTaskItem& Task)>& Visit) const;

    // The list's lock, for callers that walk it (recursive).
    // The list itself is the capability callers hold; FLock is how it is held.
    void Lock() const ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { FLock.Lock(); }
    void Unlock() const RELEASE() NO_THREAD_SAFETY_ANALYSIS { FLock.Unlock(); }
    void lock() const ACQUIRE() { Lock(); }
    void unlock() const RELEASE() { Unlock(); }
    // In queue order; call under the lock.
    int32_t Count() const;
    TTaskItem* Items(int32_t Index) const;
    // The dispatch order at this moment (tests, reports).
    std::vector<TTaskItem*> DispatchOrder() const;

    int32_t QueuedCount() const { return FQueuedCount.load(); }
    int32_t BusyCount() const { return FPool.BusyCount(); }
    void SetThreadCount(int32_t Count) { FPool.SetThreadCount(Count); }
    TThreadPool& Pool() { return FPool; }

    void SetJobEvent(TJobEvent Event);
    void SetProjectQueueEmptyEvent(TProjectQueueEmptyEvent Event);
    // Receives (code, task, 0): 102 added, 104 changed.
    TEventLinks<TTaskItem>& ChangeEvents() { return FChangeEvents; }

  private:
    friend class TTaskItem;
    struct TJobRun;

    void Dispatch();
    // Farm mode: one claim per idle worker.
    void DispatchClaims(IVmFarm& Farm);
    // Hands a queued task to an idle worker; false when the pool would not take it.
    bool StartJob(TTaskItem* Task) REQUIRES(this);
    void RunJob(TJobRun& Run);
    void ProjectCheck(TVmProject& Project);
    void RemoveDone(uint8_t State);
    // Takes the tasks out of both lists and frees them.
    void Destroy(const std::vector<TTaskItem*>& Tasks) REQUIRES(this);

    TTickSource FTicks;
    mutable TRecursiveMutex FLock;
    std::vector<std::unique_ptr<TTaskItem>> FTasks GUARDED_BY(this);  // queue order
    TkxFastList<TTaskItem*> FDispatchOrder GUARDED_BY(this);
    std::atomic<int32_t> FQueuedCount{0};
    uint64_t FNextSequence GUARDED_BY(this) = 0;

    TMutex FEventLock ACQUIRED_AFTER(FLock);
    TJobEvent FJobEvent GUARDED_BY(FEventLock);
    TProjectQueueEmptyEvent FProjectQueueEmpty GUARDED_BY(FEventLock);
    TEventLinks<TTaskItem> FChangeEvents;

    std::atomic<IVmFarm*> FFarm{nullptr};

    TThreadPool FPool;
    std::unique_ptr<TSignalThread> FDispatcher;
};
