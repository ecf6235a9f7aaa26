#include "server/notify/lmVmMailQueue.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "foundation/kxLogFile.h"
#include "foundation/kxThreads.h"
#include "server/notify/lmVmMailServer.h"

TProjectMailQueue::TProjectMailQueue(TMailServer* MailServer, bool IsFailureQueue)
    : FIsFailureQueue(IsFailureQueue),
      FMailServer(MailServer),
      FTemplate(IsFailureQueue ? FailedTemplateDefault : CompletedTemplateDefault),
      FBatchMinutes(IsFailureQueue ? FailedBatchMinutesDefault : CompletedBatchMinutesDefault),
      FFileLimit(IsFailureQueue ? FailedFileLimitDefault : CompletedFileLimitDefault),
      FDoneDelay(IsFailureQueue ? FailedDoneDelay : CompletedDoneDelay),
      FSender(
          std::make_unique<TSignalThread>("MailQueueSender", [this](TSignalThread&) { Drain(); })),
      FTimer(std::make_unique<TTimerThread>("MailQueueTimer", [this] { Flush(); })) {}

TProjectMailQueue::~TProjectMailQueue() {
    FTimer.reset();
    FSender->Stop();
    FSender.reset();
    {
        TLock lock(FLock);
        if (!FPending.empty()) {
            FOutgoing.push_back(std::move(FPending));
        }
    }
    Drain();
}

void TProjectMailQueue::Add(std::unique_ptr<TMailInfo> Record) {
    if (!Record) {
        return;
    }
    const char* kind = FIsFailureQueue ? "failure" : "completion";
    TLock lock(FLock);
    if (FRecipients.empty() || !FMailServer) {
        lock.Unlock();
        LogText(std::string("No ") + kind + " mail for \"" + Record->FileName + "\" of project \"" +
                Record->Project +
                "\": " + (FMailServer ? "the queue has no recipients" : "no mail server"));
        return;
    }
    Record->RenderTargets();
    if (FBatchByTime || FBatchWhenDone) {
        FPending.push_back(std::move(Record));
        if (FPending.size() >= static_cast<size_t>(FFileLimit)) {
            Flush();
        } else if (FBatchByTime && FPending.size() == 1) {
            // The period runs from the first record of the batch.
            SetTimer(BatchPeriodMs());
        }
        return;
    }
    lock.Unlock();
    TBatch batch;
    batch.push_back(std::move(Record));
    Write(batch);
}

void TProjectMailQueue::Flush() {
    TLock lock(FLock);
    if (FPending.empty()) {
        return;
    }
    FOutgoing.push_back(std::move(FPending));
    FPending.clear();
    if (FSender) {
        FSender->Signal();
    }
}

void TProjectMailQueue::ProjectTasksDone() {
    TLock lock(FLock);
    if (!FBatchWhenDone) {
        return;
    }
    if (FDoneDelay <= 0) {
        Flush();
    } else {
        SetTimer(static_cast<int64_t>(FDoneDelay) * FSecondMs);
    }
}

void TProjectMailQueue::Drain() {
    for (;;) {
        TBatch batch;
        {
            TLock lock(FLock);
            if (FOutgoing.empty()) {
                return;
            }
            batch = std::move(FOutgoing.front());
            FOutgoing.pop_front();
        }
        Write(batch);
    }
}

void TProjectMailQueue::Write(const TBatch& Batch) {
    std::vector<std::shared_ptr<TVmUser>> recipients;
    std::string name;
    {
        TLock lock(FLock);
        recipients = FRecipients;
        name = FTemplate;
    }
    if (recipients.empty() || !FMailServer) {
        LogText(std::string("A batch of ") + std::to_string(Batch.size()) + " " +
                (FIsFailureQueue ? "failure" : "completion") +
                " notices is dropped: the queue has no recipients left");
        return;
    }
    // Errors are logged by the mail server; the records go in any case.
    FMailServer->WriteMail(name, recipients, Batch);
}

void TProjectMailQueue::SetTimer(int64_t Ms) {
    if (FTimer) {
        FTimer->SetInterval(
            static_cast<int>(std::clamp<int64_t>(Ms, 0, std::numeric_limits<int>::max())));
    }
}

int32_t TProjectMailQueue::BatchPeriodMs() const {
    return static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(FBatchMinutes) * FMinuteMs,
                                                    0, std::numeric_limits<int32_t>::max()));
}

void TProjectMailQueue::SetTimeScale(int32_t MinuteMs, int32_t SecondMs) {
    TLock lock(FLock);
    FMinuteMs = std::max(MinuteMs, 1);
    FSecondMs = std::max(SecondMs, 1);
}

size_t TProjectMailQueue::PendingCount() const {
    TLock lock(FLock);
    return FPending.size();
}

size_t TProjectMailQueue::OutgoingCount() const {
    TLock lock(FLock);
    return FOutgoing.size();
}

std::vector<std::shared_ptr<TVmUser>> TProjectMailQueue::Recipients() const {
    TLock lock(FLock);
    return FRecipients;
}

void TProjectMailQueue::SetRecipients(std::vector<std::shared_ptr<TVmUser>> Value) {
    TLock lock(FLock);
    FRecipients = std::move(Value);
}

void TProjectMailQueue::AddRecipient(std::shared_ptr<TVmUser> User) {
    if (!User) {
        return;
    }
    TLock lock(FLock);
    FRecipients.push_back(std::move(User));
}

bool TProjectMailQueue::RemoveRecipient(const TVmUser* User) {
    TLock lock(FLock);
    return std::erase_if(FRecipients, [User](const auto& user) { return user.get() == User; }) > 0;
}

std::string TProjectMailQueue::Template() const {
    TLock lock(FLock);
    return FTemplate;
}

void TProjectMailQueue::SetTemplate(std::string Value) {
    TLock lock(FLock);
    FTemplate = std::move(Value);
}

int32_t TProjectMailQueue::BatchMinutes() const {
    TLock lock(FLock);
    return FBatchMinutes;
}

void TProjectMailQueue::SetBatchMinutes(int32_t Value) {
    TLock lock(FLock);
    if (Value == FBatchMinutes) {
        return;
    }
    FBatchMinutes = Value;
    if (FBatchByTime) {
        SetTimer(BatchPeriodMs());
    }
}

bool TProjectMailQueue::BatchByTime() const {
    TLock lock(FLock);
    return FBatchByTime;
}

void TProjectMailQueue::SetBatchByTime(bool Value) {
    TLock lock(FLock);
    if (Value == FBatchByTime) {
        return;
    }
    FBatchByTime = Value;
    if (Value) {
        SetTimer(BatchPeriodMs());
    } else {
        SetTimer(0);
        if (!FBatchWhenDone) {
            Flush();
        }
    }
}

int32_t TProjectMailQueue::FileLimit() const {
    TLock lock(FLock);
    return FFileLimit;
}

void TProjectMailQueue::SetFileLimit(int32_t Value) {
    TLock lock(FLock);
    Value = std::max(Value, 1);
    if (Value == FFileLimit) {
        return;
    }
    FFileLimit = Value;
    if ((FBatchByTime || FBatchWhenDone) && FPending.size() > static_cast<size_t>(FFileLimit)) {
        Flush();
    }
}

bool TProjectMailQueue::BatchWhenDone() const {
    TLock lock(FLock);
    return FBatchWhenDone;
}

void TProjectMailQueue::SetBatchWhenDone(bool Value) {
    TLock lock(FLock);
    if (Value == FBatchWhenDone) {
        return;
    }
    FBatchWhenDone = Value;
    if (!FBatchByTime && !FBatchWhenDone) {
        Flush();
    }
}
