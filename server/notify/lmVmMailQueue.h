#pragma once

// One of a project's two notification queues (failures or completions): who is told, with
// which template, and how records are batched. The batching itself (pending records, timer,
// sender thread) extends this class; the setters are where a change of a batching mode will
// release what is pending.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

    // The defaults of the failure queue or of the completion queue.
    explicit TProjectMailQueue(bool IsFailureQueue);
    TProjectMailQueue(const TProjectMailQueue&) = delete;
    TProjectMailQueue& operator=(const TProjectMailQueue&) = delete;

    bool IsFailureQueue() const { return FIsFailureQueue; }

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
    void SetBatchByTime(bool Value);
    // The most records in one batch; values of 0 or less become 1.
    int32_t FileLimit() const;
    void SetFileLimit(int32_t Value);
    bool BatchWhenDone() const;
    void SetBatchWhenDone(bool Value);

    // Seconds to wait after the project's tasks are done before a batch goes out: 30 for
    // failures, 0 for completions. Not stored.
    int32_t DoneDelay() const { return FDoneDelay; }

  private:
    const bool FIsFailureQueue;
    mutable std::recursive_mutex FLock;
    std::vector<std::shared_ptr<TVmUser>> FRecipients;
    std::string FTemplate;
    int32_t FBatchMinutes;
    bool FBatchByTime = false;
    int32_t FFileLimit;
    bool FBatchWhenDone = false;
    const int32_t FDoneDelay;
};
