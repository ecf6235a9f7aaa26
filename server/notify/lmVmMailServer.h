#pragma once

// The mail server: composes the notification mails of a released batch from its template into
// the spool (lmVmMailSpool.h), and sends the spool over SMTP from its own thread, "MailThread".
//
// The spool lies in "MailQueue/" below the server's data folder.
//
// Retry rules, per batch: a mail the server refuses for good (a 5xx answer) moves to "Failed"
// at once, and a refused login fails the whole batch at once; a mail answered with a 4xx, or
// a server that cannot be reached or used, leaves the batch waiting. A waiting batch is tried
// again after 10 seconds, then after twice as long each time up to an hour, and once a day has
// passed since its first failure, its mails move to "Failed". The times are kept in the
// spool, so a restart neither forgets nor restarts them; batches due are taken oldest first,
// so a waiting batch never holds back a newer one. A mail whose send broke off after all of
// it had gone out, or was cut short by a crash, may have reached the server: it moves to
// "Failed" and is never sent twice.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "server/notify/lmVmMailInfo.h"
#include "server/notify/lmVmMailSpool.h"
#include "server/notify/lmVmSmtpClient.h"

class TTimerThread;
class TVmUser;

class TMailServer {
  public:
    // Milliseconds between spool passes; members so that tests can shorten them.
    std::atomic<int> PassIntervalMs{10000};
    // A batch's wait after its first failure, doubled after each further one up to the longest.
    std::atomic<int> RetryDelayMs{10000};
    std::atomic<int> LongestRetryDelayMs{3600 * 1000};
    // How long mails of a batch may keep failing before they move to "Failed".
    std::atomic<int64_t> GiveUpMs{24LL * 3600 * 1000};
    // Deadlines of every SMTP exchange: for the connection and for each answer.
    std::atomic<int> ConnectTimeoutSeconds{30};
    std::atomic<int> AnswerTimeoutSeconds{60};

    // Both folders end with "/": the templates lie in ServerFolder's "EmailTemplates/", the
    // spool in DataFolder's "MailQueue/" (ServerFolder's when DataFolder is empty).
    explicit TMailServer(std::string ServerFolder, std::string DataFolder = {});
    // Stops the mail thread.
    ~TMailServer();
    TMailServer(const TMailServer&) = delete;
    TMailServer& operator=(const TMailServer&) = delete;

    // Creates the spool folders and starts "MailThread". Later calls do nothing.
    void Start();

    const std::string& SpoolFolder() const { return FSpool.Folder(); }
    const std::string& FailedFolder() const { return FSpool.FailedFolder(); }
    const std::string& TemplateFolder() const { return FTemplateFolder; }
    // "lmVidmill v1.0 build 1".
    const std::string& VersionText() const { return FVersionText; }

    // Written by the engine whenever its settings are loaded; read by each pass.
    void SetSmtpSettings(const TSmtpSettings& Settings);
    TSmtpSettings SmtpSettings() const;

    // Composes one batch into the spool: a mail per recipient with a usable address, filled
    // from the template (a plain file name in the templates folder). True when the batch was
    // spooled; every reason for not spooling it is logged. Any thread, several at once.
    bool WriteMail(const std::string& Template,
                   const std::vector<std::shared_ptr<TVmUser>>& Recipients,
                   const std::vector<std::unique_ptr<TMailInfo>>& Records);

    // One pass over the spool (what "MailThread" runs every PassIntervalMs); public for tests.
    // Passes never overlap.
    void SpoolPass();

  private:
    // How a batch's turn in a pass ended.
    struct TBatchOutcome {
        enum TKind { Done, Waiting, ServerDown } Kind = Done;
        std::string Reason;
    };
    // How one mail's turn ended, for the rest of its batch: on to the next mail, on to the next
    // mail with this one waiting, the rest waits, the batch fails, or the server cannot be used.
    enum class TMailStep { Next, MailWaits, BatchWaits, BatchFails, ServerDown };

    // Sends what is left of one batch; removes it once no mail of it waits any more.
    TBatchOutcome SendBatch(TSmtpClient& Client, const std::string& Name) REQUIRES(FPassLock);
    TMailStep SendMail(TSmtpClient& Client, const TMailSpool::TBatch& Batch,
                       const std::vector<TSmtpMessage::TImage>& Images, const std::string& Path,
                       std::string& Reason) REQUIRES(FPassLock);
    // A marked mail found at the start of its turn: applies this process's verdict, or sends a
    // mail of an earlier run that was being sent to "Failed". True when it waits again.
    bool SettleEarlier(const TMailSpool::TBatch& Batch, const std::string& Path)
        REQUIRES(FPassLock);
    void Settle(const TMailSpool::TBatch& Batch, const std::string& Path,
                TMailSpool::TVerdict Verdict) REQUIRES(FPassLock);
    void FailMails(const TMailSpool::TBatch& Batch, const std::string& Why) REQUIRES(FPassLock);
    bool RemoveIfDone(const TMailSpool::TBatch& Batch, std::string& Reason) REQUIRES(FPassLock);
    // The batch could not go out completely: its next try, or the end of its tries.
    void BatchFailed(const std::string& Name, const std::string& Reason) REQUIRES(FPassLock);
    // The due batches, those never tried first, then by their next try, then oldest first.
    std::vector<std::string> DueBatches() REQUIRES(FPassLock);

    TMailSpool FSpool;
    const std::string FTemplateFolder;
    const std::string FVersionText;
    std::atomic<bool> FStopping{false};
    std::unique_ptr<TTimerThread> FThread;

    mutable TMutex FSettingsLock;
    TSmtpSettings FSettings GUARDED_BY(FSettingsLock);

    // Keeps passes apart (the mail thread's and a test's).
    TMutex FPassLock;
};
