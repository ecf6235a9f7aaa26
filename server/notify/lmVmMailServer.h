#pragma once

// The mail server: composes the notification mails of a released batch from its template into
// the on-disk spool, and sends the spool over SMTP from its own thread, "MailThread".
//
// Spool, below the server's data folder: "MailQueue/" holds per batch a folder named by a new GUID
// with its thumbnails ("thumb%.6d.png", by the record's position) and one mail file per
// recipient ("user%.3d.mail", by the recipient's position), and beside it the list of those
// files, GUID + ".batch", written last, so that a batch is never seen half written. Mails the
// SMTP server refuses for good move to "MailQueue/Failed/" as GUID + "-" + mail file name.
// A pass that cannot reach the server, or gets a temporary answer, leaves the mails for later
// passes, waiting longer after each failure; a mail still not sent after a day of failures is
// moved to "Failed" too.

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "server/notify/lmVmMailInfo.h"
#include "server/notify/lmVmSmtpClient.h"

class TTimerThread;
class TVmUser;

class TMailServer {
  public:
    using TClock = std::chrono::steady_clock;

    // Milliseconds between spool passes; a member so that tests can shorten it.
    std::atomic<int> PassIntervalMs{10000};
    // The wait after the first failed pass, doubled after each further one up to the longest.
    std::atomic<int> RetryDelayMs{10000};
    std::atomic<int> LongestRetryDelayMs{3600 * 1000};
    // How long mails of a batch may keep failing before they move to "Failed".
    std::atomic<int64_t> GiveUpMs{24LL * 3600 * 1000};

    // Both folders end with "/": the templates lie in ServerFolder's "EmailTemplates/", the
    // spool in DataFolder's "MailQueue/" (ServerFolder's when DataFolder is empty).
    explicit TMailServer(std::string ServerFolder, std::string DataFolder = {});
    // Stops the mail thread.
    ~TMailServer();
    TMailServer(const TMailServer&) = delete;
    TMailServer& operator=(const TMailServer&) = delete;

    // Creates the spool folders and starts "MailThread". Later calls do nothing.
    void Start();

    const std::string& SpoolFolder() const { return FSpoolFolder; }
    const std::string& FailedFolder() const { return FFailedFolder; }
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
    enum class TBatchOutcome { Done, Waiting, Unreachable };

    // Sends what is left of one batch; removes it once no mail of it waits any more.
    TBatchOutcome SendBatch(TSmtpClient& Client, const std::string& BaseName) REQUIRES(FPassLock);
    void MoveToFailed(const std::string& BaseName, const std::string& MailPath);
    void RemoveBatch(const std::string& BaseName, const std::vector<std::string>& Files);
    // After a pass that could not send everything: the next pass waits longer.
    void PassFailed() REQUIRES(FPassLock);

    const std::string FSpoolFolder;
    const std::string FFailedFolder;
    const std::string FTemplateFolder;
    const std::string FVersionText;
    std::atomic<bool> FStopping{false};
    std::unique_ptr<TTimerThread> FThread;

    mutable TMutex FSettingsLock;
    TSmtpSettings FSettings GUARDED_BY(FSettingsLock);

    // Touched by passes only, which FPassLock keeps apart.
    TMutex FPassLock;
    // When each batch first failed to go out completely.
    std::map<std::string, TClock::time_point> FFirstFailure GUARDED_BY(FPassLock);
    TClock::time_point FNextPass GUARDED_BY(FPassLock){};
    int FCurrentDelayMs GUARDED_BY(FPassLock) = 0;
};
