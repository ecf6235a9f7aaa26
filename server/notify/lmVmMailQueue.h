#pragma once

// One of a project's two notification queues (failures or completions): who is told, with
// which template, and how records are batched. Without batching each record goes out as a
// mail of its own at once; with batching records collect until the period has passed (timer
// thread "MailQueueTimer"), the batch is full, or the project has no unfinished task left, and
// then leave as one mail per recipient listing them all. Released batches are written by the
// sender thread "MailQueueSender" through the mail server, which spools and sends them.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "server/notify/lmVmMailInfo.h"

class TMailServer;
class TSignalThread;
class TTimerThread;
class TVmUser;

class TProjectMailQueue {
  public:
    static constexpr const char* FailedTemplateDefault = "sample-failed.html";
    static constexpr const char* CompletedTemplateDefault = "sample-completed.html";
    static constexpr int32_t FailedBatchMinutesDefault = 5;
    static constexpr int32_t CompletedBatchMinutesDefault = 10;
    static constexpr int32_t FailedFileLimitDefault = 100;
    static constexpr int32_t CompletedFileLimitDefault = 50;
    static constexpr int32_t FailedDoneDelay = 30;
    static constexpr int32_t CompletedDoneDelay = 0;

    using TBatch = std::vector<std::unique_ptr<TMailInfo>>;

    // The defaults of the failure queue or of the completion queue. Without a mail server
    // every record is logged and dropped.
    TProjectMailQueue(TMailServer* MailServer, bool IsFailureQueue);
    // Stops both threads; what is still pending or released goes to the mail server, so that
    // no notice is lost when the project goes or the server stops.
    ~TProjectMailQueue();
    TProjectMailQueue(const TProjectMailQueue&) = delete;
    TProjectMailQueue& operator=(const TProjectMailQueue&) = delete;

    bool IsFailureQueue() const { return FIsFailureQueue; }

    // Takes the record of a finished task: written at once without batching, else collected.
    // Any thread (the workers).
    void Add(std::unique_ptr<TMailInfo> Record);
    // Releases the pending batch to the sender.
    void Flush();
    // The project has no unfinished task left: with batching until done, the batch goes now
    // (completions) or after the done delay (failures).
    void ProjectTasksDone();

    // The users told, in order. The queue shares them with the users collection, so a user
    // deleted while a mail is being written stays valid for that mail.
    std::vector<std::shared_ptr<TVmUser>> Recipients() const;
    void SetRecipients(std::vector<std::shared_ptr<TVmUser>> Value);
    void AddRecipient(std::shared_ptr<TVmUser> User);
    // Takes every occurrence of User out of the list; true when there was one.
    bool RemoveRecipient(const TVmUser* User);

    // File name of the mail template, relative to the templates folder.
    std::string Template() const;
    void SetTemplate(std::string Value);

    int32_t BatchMinutes() const;
    void SetBatchMinutes(int32_t Value);
    bool BatchByTime() const;
    // Switching it off releases what is pending unless batching until done holds it.
    void SetBatchByTime(bool Value);
    // The most records in one batch; values of 0 or less become 1. Lowering it below the
    // number pending releases them.
    int32_t FileLimit() const;
    void SetFileLimit(int32_t Value);
    bool BatchWhenDone() const;
    // Switching the last batching mode off releases what is pending.
    void SetBatchWhenDone(bool Value);

    // Seconds to wait after the project's tasks are done before a batch goes out: 30 for
    // failures, 0 for completions. Not stored.
    int32_t DoneDelay() const { return FDoneDelay; }

    // Milliseconds a batch minute and a done-delay second last: 60000 and 1000, shortened by
    // tests. Takes effect with the next timer setting.
    void SetTimeScale(int32_t MinuteMs, int32_t SecondMs);

    // Records collected and not yet released; released batches not yet written.
    size_t PendingCount() const;
    size_t OutgoingCount() const;

  private:
    // The sender's drain: writes released batches, oldest first, until none is left.
    void Drain();
    void Write(const TBatch& Batch);
    void SetTimer(int64_t Ms);
    int32_t BatchPeriodMs() const REQUIRES(FLock);

    const bool FIsFailureQueue;
    TMailServer* const FMailServer;
    // Guards everything below; recursive because Add and the setters flush while holding it.
    mutable TRecursiveMutex FLock;
    std::vector<std::shared_ptr<TVmUser>> FRecipients GUARDED_BY(FLock);
    std::string FTemplate GUARDED_BY(FLock);
    int32_t FBatchMinutes GUARDED_BY(FLock);
    bool FBatchByTime GUARDED_BY(FLock) = false;
    int32_t FFileLimit GUARDED_BY(FLock);
    bool FBatchWhenDone GUARDED_BY(FLock) = false;
    const int32_t FDoneDelay;
    int32_t FMinuteMs GUARDED_BY(FLock) = 60000;
    int32_t FSecondMs GUARDED_BY(FLock) = 1000;
    TBatch FPending GUARDED_BY(FLock);
    std::deque<TBatch> FOutgoing GUARDED_BY(FLock);
    // Created last and stopped first, so that neither ever sees a half-built queue.
    std::unique_ptr<TSignalThread> FSender;
    std::unique_ptr<TTimerThread> FTimer;
};
