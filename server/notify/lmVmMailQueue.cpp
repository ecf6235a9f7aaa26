#include "server/notify/lmVmMailQueue.h"

#include <algorithm>
#include <utility>

TProjectMailQueue::TProjectMailQueue(bool IsFailureQueue)
    : FIsFailureQueue(IsFailureQueue),
      FTemplate(IsFailureQueue ? FailedTemplateDefault : CompletedTemplateDefault),
      FBatchMinutes(IsFailureQueue ? FailedBatchMinutesDefault : CompletedBatchMinutesDefault),
      FFileLimit(IsFailureQueue ? FailedFileLimitDefault : CompletedFileLimitDefault),
      FDoneDelay(IsFailureQueue ? FailedDoneDelay : CompletedDoneDelay) {}

std::vector<std::shared_ptr<TVmUser>> TProjectMailQueue::Recipients() const {
    std::lock_guard lock(FLock);
    return FRecipients;
}

void TProjectMailQueue::SetRecipients(std::vector<std::shared_ptr<TVmUser>> Value) {
    std::lock_guard lock(FLock);
    FRecipients = std::move(Value);
}

void TProjectMailQueue::AddRecipient(std::shared_ptr<TVmUser> User) {
    if (!User) {
        return;
    }
    std::lock_guard lock(FLock);
    FRecipients.push_back(std::move(User));
}

bool TProjectMailQueue::RemoveRecipient(const TVmUser* User) {
    std::lock_guard lock(FLock);
    return std::erase_if(FRecipients, [User](const auto& user) { return user.get() == User; }) > 0;
}

std::string TProjectMailQueue::Template() const {
    std::lock_guard lock(FLock);
    return FTemplate;
}

void TProjectMailQueue::SetTemplate(std::string Value) {
    std::lock_guard lock(FLock);
    FTemplate = std::move(Value);
}

int32_t TProjectMailQueue::BatchMinutes() const {
    std::lock_guard lock(FLock);
    return FBatchMinutes;
}

void TProjectMailQueue::SetBatchMinutes(int32_t Value) {
    std::lock_guard lock(FLock);
    FBatchMinutes = Value;
}

bool TProjectMailQueue::BatchByTime() const {
    std::lock_guard lock(FLock);
    return FBatchByTime;
}

void TProjectMailQueue::SetBatchByTime(bool Value) {
    std::lock_guard lock(FLock);
    FBatchByTime = Value;
}

int32_t TProjectMailQueue::FileLimit() const {
    std::lock_guard lock(FLock);
    return FFileLimit;
}

void TProjectMailQueue::SetFileLimit(int32_t Value) {
    std::lock_guard lock(FLock);
    FFileLimit = std::max(Value, 1);
}

bool TProjectMailQueue::BatchWhenDone() const {
    std::lock_guard lock(FLock);
    return FBatchWhenDone;
}

void TProjectMailQueue::SetBatchWhenDone(bool Value) {
    std::lock_guard lock(FLock);
    FBatchWhenDone = Value;
}
