#include "server/notify/lmVmMailServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "foundation/kxThreads.h"
#include "port/port.h"
#include "server/core/lmVmVersion.h"
#include "server/ingest/kxFileUtils.h"
#include "server/notify/lmVmMailComposer.h"
#include "server/protocol/lmVmUser.h"

namespace {

// Spool files are ours, but a damaged disk may hand back anything: reads stay bounded.
constexpr size_t MaxMailBytes = 8 << 20;
constexpr size_t MaxThumbnailBytes = 16 << 20;
// Names of the records a log line about a lost batch shows.
constexpr size_t RecordsNamed = 5;

std::string FileNameOf(const std::string& Path) {
    return Path.substr(Path.rfind('/') + 1);
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// "2 notice(s) ("a.mov", "b.mov")", for the log line of a batch that could not be spooled.
std::string RecordsText(const std::vector<std::unique_ptr<TMailInfo>>& Records) {
    std::string text = std::to_string(Records.size()) + " notice(s) (";
    for (size_t i = 0; i < Records.size() && i < RecordsNamed; ++i) {
        text += (i ? ", \"" : "\"") + (Records[i] ? Records[i]->FileName : std::string()) + "\"";
    }
    return text + (Records.size() > RecordsNamed ? ", ...)" : ")");
}

}  // namespace

TMailServer::TMailServer(std::string ServerFolder, std::string DataFolder)
    : FSpool((DataFolder.empty() ? ServerFolder : DataFolder) + "MailQueue/"),
      FTemplateFolder(ServerFolder + "EmailTemplates/"),
      FVersionText("lmVidmill " + ::VersionText("v")) {}

TMailServer::~TMailServer() {
    FStopping = true;
    FThread.reset();
}

void TMailServer::Start() {
    if (FThread) {
        return;
    }
    if (!FSpool.CreateFolders()) {
        LogText("Cannot create the mail spool \"" + FSpool.Folder() + "\" (" +
                port::LastErrorText() + ")");
    }
    FThread = std::make_unique<TTimerThread>(
        "MailThread", [this] { SpoolPass(); }, PassIntervalMs.load());
}

void TMailServer::SetSmtpSettings(const TSmtpSettings& Settings) {
    TLock lock(FSettingsLock);
    FSettings = Settings;
}

TSmtpSettings TMailServer::SmtpSettings() const {
    TLock lock(FSettingsLock);
    return FSettings;
}

bool TMailServer::WriteMail(const std::string& Template,
                            const std::vector<std::shared_ptr<TVmUser>>& Recipients,
                            const std::vector<std::unique_ptr<TMailInfo>>& Records) {
    try {
        // The name comes from managers: only a file of the templates folder may be mailed out.
        if (!TMailComposer::PlainFileName(Template)) {
            throw std::runtime_error("template name \"" + smtp_format::Printable(Template) +
                                     "\" refused: only a file name inside \"EmailTemplates\" "
                                     "may be used");
        }
        std::vector<std::string> lines;
        std::string error;
        if (!TMailComposer::ReadTemplate(FTemplateFolder + Template, lines, error)) {
            throw std::runtime_error(error);
        }
        if (lines.empty()) {
            throw std::runtime_error("the template \"" + Template + "\" is empty");
        }
        std::vector<std::pair<size_t, std::shared_ptr<TVmUser>>> addressed;
        for (size_t i = 0; i < Recipients.size(); ++i) {
            if (!Recipients[i]) {
                continue;
            }
            const std::string email = Recipients[i]->Email();
            if (smtp_format::UsableAddress(email)) {
                addressed.emplace_back(i, Recipients[i]);
            } else {
                LogText("No notification mail for user \"" +
                        smtp_format::Printable(Recipients[i]->Name()) +
                        "\": no usable e-mail address (\"" + smtp_format::Printable(email) +
                        "\": " + smtp_format::AddressProblem(email) + ")");
            }
        }
        if (addressed.empty() || Records.empty()) {
            throw std::runtime_error("no recipient with a usable e-mail address");
        }

        std::unique_ptr<TMailSpool::TBatchWriter> batch = FSpool.NewBatch(error);
        if (!batch) {
            throw std::runtime_error(error);
        }
        std::vector<bool> thumbnails(Records.size(), false);
        const bool showsThumbnails = std::any_of(lines.begin(), lines.end(), [](const auto& line) {
            return line.find("%THUMBNAIL%") != std::string::npos;
        });
        for (size_t i = 0; showsThumbnails && i < Records.size(); ++i) {
            std::vector<uint8_t> png;
            if (!Records[i] || !Records[i]->Thumbnail ||
                !Records[i]->Thumbnail->SaveToStream(png)) {
                continue;
            }
            char name[32];
            std::snprintf(name, sizeof name, "thumb%.6zu.png", i);
            if (!batch->Add(name, std::string(png.begin(), png.end()), error)) {
                throw std::runtime_error(error);
            }
            thumbnails[i] = true;
        }
        const TMailComposer composer(lines, Records, thumbnails, FVersionText);
        for (const auto& [position, user] : addressed) {
            std::string mail;
            for (const std::string& line : composer.Compose(user->Name(), user->Email())) {
                mail += line + "\n";
            }
            char name[32];
            std::snprintf(name, sizeof name, "user%.3zu.mail", position);
            if (!batch->Add(name, mail, error)) {
                throw std::runtime_error(error);
            }
        }
        if (!batch->Commit(error)) {
            throw std::runtime_error(error);
        }
        return true;
    } catch (const std::exception& error) {
        // Whatever of the batch was written is gone with its writer.
        LogText(std::string("Exception in WriteMail(): ") + error.what() +
                "; not spooled: " + RecordsText(Records) + " for " +
                std::to_string(Recipients.size()) + " recipient(s)");
    }
    return false;
}

void TMailServer::SpoolPass() {
    TLock pass(FPassLock);
    FSpool.RemoveLeftovers();
    const std::vector<std::string> due = DueBatches();
    if (due.empty()) {
        return;
    }
    TSmtpClient client;
    client.SetAbortFlag(&FStopping);
    client.SetTimeouts(ConnectTimeoutSeconds.load(), AnswerTimeoutSeconds.load());
    client.Reset(SmtpSettings());
    // After two batches in a row could not reach the server, the others of the pass are not
    // tried: they wait as those did.
    int serverDown = 0;
    std::string downReason;
    for (const std::string& name : due) {
        if (FStopping) {
            break;
        }
        if (serverDown >= 2) {
            BatchFailed(name, downReason);
            continue;
        }
        const TBatchOutcome outcome = SendBatch(client, name);
        if (outcome.Kind == TBatchOutcome::Done) {
            serverDown = 0;
            continue;
        }
        if (FStopping) {
            break;  // stopping is no failure of the batch
        }
        BatchFailed(name, outcome.Reason);
        serverDown = outcome.Kind == TBatchOutcome::ServerDown ? serverDown + 1 : 0;
        downReason = outcome.Reason;
    }
    client.Close();
}

std::vector<std::string> TMailServer::DueBatches() {
    const int64_t now = NowMs();
    struct TDue {
        int64_t Next;
        size_t Age;
        std::string Name;
    };
    std::vector<TDue> due;
    const std::vector<std::string> names = FSpool.BatchNames();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::optional<TMailSpool::TRetry> retry = FSpool.Retry(names[i]);
        int64_t next = retry ? retry->NextTryMs : 0;
        // A clock set back never parks a batch longer than the longest wait.
        if (next - now > LongestRetryDelayMs.load()) {
            next = now;
        }
        if (next <= now) {
            due.push_back({next, i, names[i]});
        }
    }
    std::sort(due.begin(), due.end(), [](const TDue& a, const TDue& b) {
        return a.Next != b.Next ? a.Next < b.Next : a.Age < b.Age;
    });
    std::vector<std::string> result;
    for (TDue& batch : due) {
        result.push_back(std::move(batch.Name));
    }
    return result;
}

TMailServer::TBatchOutcome TMailServer::SendBatch(TSmtpClient& Client, const std::string& Name) {
    TMailSpool::TBatch batch;
    std::string error;
    if (!FSpool.Read(Name, batch, error)) {
        return {TBatchOutcome::Waiting, error};
    }
    std::vector<TSmtpMessage::TImage> images;
    for (const std::string& path : batch.Thumbnails) {
        std::string png;
        if (TMailSpool::ReadBounded(path, MaxThumbnailBytes, png)) {
            images.push_back(
                {"IMAGE" + std::to_string(TMailSpool::ThumbnailPosition(FileNameOf(path)) + 1),
                 std::vector<uint8_t>(png.begin(), png.end())});
        }
    }
    TBatchOutcome outcome;
    for (const std::string& path : batch.Mails) {
        if (FStopping) {
            outcome = {TBatchOutcome::Waiting, "the server is stopping"};
            break;
        }
        std::string reason;
        const TMailStep step = SendMail(Client, batch, images, path, reason);
        if (step == TMailStep::Next) {
            continue;
        }
        if (step == TMailStep::BatchFails) {
            FailMails(batch, reason);
            break;
        }
        outcome = {
            step == TMailStep::ServerDown ? TBatchOutcome::ServerDown : TBatchOutcome::Waiting,
            reason};
        if (step != TMailStep::MailWaits) {
            break;
        }
    }
    std::string left;
    if (RemoveIfDone(batch, left)) {
        return {};
    }
    if (outcome.Kind == TBatchOutcome::Done) {
        outcome = {TBatchOutcome::Waiting, left};
    }
    return outcome;
}

TMailServer::TMailStep TMailServer::SendMail(TSmtpClient& Client, const TMailSpool::TBatch& Batch,
                                             const std::vector<TSmtpMessage::TImage>& Images,
                                             const std::string& Path, std::string& Reason) {
    const TMailSpool::TMailState state = FSpool.State(Path);
    if (state == TMailSpool::TMailState::Done ||
        (state == TMailSpool::TMailState::Marked && !SettleEarlier(Batch, Path))) {
        return TMailStep::Next;
    }
    std::string text;
    std::string error;
    if (!TMailSpool::ReadBounded(Path, MaxMailBytes, text) ||
        TMailSpool::SplitLines(text).size() < 2) {
        LogText("Mail file \"" + Path + "\" is damaged; it moves to \"Failed\"");
        if (!FSpool.Fail(Batch.Name, Path, error)) {
            LogText("Mail file \"" + Path + "\" stays: " + error);
        }
        return TMailStep::Next;
    }
    const std::vector<std::string> lines = TMailSpool::SplitLines(text);
    TSmtpMessage message;
    message.Recipient = lines[0];
    message.Subject = lines[1];
    for (size_t i = 2; i < lines.size(); ++i) {
        message.HtmlBody += lines[i] + "\r\n";
    }
    message.Images = Images;
    const std::string what = "Mail \"" + smtp_format::Printable(message.Subject) + "\" to " +
                             smtp_format::Printable(message.Recipient);
    // Only a mail marked on disk goes out: whatever happens next, it is never sent twice.
    if (!FSpool.Mark(Path, error)) {
        Reason = "the spool cannot be written: " + error;
        LogText(what + " is not sent: " + Reason);
        return TMailStep::BatchWaits;
    }
    const TSmtpResult result = Client.Send(message);
    switch (result) {
        case TSmtpResult::Sent:
            LogText(what + " sent");
            Settle(Batch, Path, TMailSpool::TVerdict::Sent);
            return TMailStep::Next;
        case TSmtpResult::Refused:
            LogText(what + " refused: " + Client.LastError() + "; it moves to \"Failed\"");
            Settle(Batch, Path, TMailSpool::TVerdict::Failed);
            return TMailStep::Next;
        case TSmtpResult::InDoubt:
            LogText(what + " may have reached the server (" + Client.LastError() +
                    "); it is not sent again and moves to \"Failed\"");
            Settle(Batch, Path, TMailSpool::TVerdict::Failed);
            return TMailStep::Next;
        case TSmtpResult::LoginRefused:
            Reason = "the SMTP server refused the login: " + Client.LastError();
            Settle(Batch, Path, TMailSpool::TVerdict::Failed);
            return TMailStep::BatchFails;
        case TSmtpResult::Deferred:
            Reason = what + " deferred: " + Client.LastError();
            Settle(Batch, Path, TMailSpool::TVerdict::Unsent);
            return TMailStep::MailWaits;
        case TSmtpResult::Unreachable:
            Reason = "SMTP server not usable: " + Client.LastError();
            Settle(Batch, Path, TMailSpool::TVerdict::Unsent);
            return TMailStep::ServerDown;
    }
    return TMailStep::Next;
}

bool TMailServer::SettleEarlier(const TMailSpool::TBatch& Batch, const std::string& Path) {
    if (const std::optional<TMailSpool::TVerdict> verdict = FSpool.Verdict(Path)) {
        Settle(Batch, Path, *verdict);
        return FSpool.State(Path) == TMailSpool::TMailState::Pending;
    }
    LogText("Mail file \"" + Path +
            "\" was being sent when the server stopped: the SMTP server may have it, so it is "
            "not sent again and moves to \"Failed\"");
    Settle(Batch, Path, TMailSpool::TVerdict::Failed);
    return false;
}

void TMailServer::Settle(const TMailSpool::TBatch& Batch, const std::string& Path,
                         TMailSpool::TVerdict Verdict) {
    std::string error;
    if (!FSpool.Settle(Batch.Name, Path, Verdict, error)) {
        LogText("Mail file \"" + Path + "\": " + error +
                "; its outcome is kept until the spool takes it, and it is not sent again");
    }
}

void TMailServer::FailMails(const TMailSpool::TBatch& Batch, const std::string& Why) {
    LogText("Mail batch \"" + Batch.Name + "\" fails (" + Why + "); its mails move to \"Failed\"");
    for (const std::string& path : Batch.Mails) {
        std::string error;
        if (FSpool.State(path) != TMailSpool::TMailState::Done &&
            !FSpool.Fail(Batch.Name, path, error)) {
            LogText("Mail file \"" + path + "\" stays: " + error);
        }
    }
}

bool TMailServer::RemoveIfDone(const TMailSpool::TBatch& Batch, std::string& Reason) {
    for (const std::string& path : Batch.Mails) {
        if (FSpool.State(path) != TMailSpool::TMailState::Done) {
            Reason = "mail \"" + FileNameOf(path) + "\" still waits";
            return false;
        }
    }
    if (!FSpool.Remove(Batch, Reason)) {
        LogText("Mail batch \"" + Batch.Name + "\" is done but stays: " + Reason);
        return false;
    }
    return true;
}

void TMailServer::BatchFailed(const std::string& Name, const std::string& Reason) {
    const int64_t now = NowMs();
    TMailSpool::TRetry retry = FSpool.Retry(Name).value_or(TMailSpool::TRetry{now, 0, 0});
    // A clock set back restarts the count rather than stretching it.
    retry.FirstFailureMs = std::min(retry.FirstFailureMs, now);
    if (now - retry.FirstFailureMs >= GiveUpMs.load()) {
        TMailSpool::TBatch batch{Name, {}, {}, {}};
        std::string error;
        FSpool.Read(Name, batch, error);
        FailMails(batch, "not sent for " + std::to_string((now - retry.FirstFailureMs) / 1000) +
                             " seconds, the last time: " + Reason);
        RemoveIfDone(batch, error);
        return;
    }
    ++retry.Attempts;
    const int64_t delay = std::min<int64_t>(static_cast<int64_t>(RetryDelayMs.load())
                                                << std::min(retry.Attempts - 1, 30),
                                            LongestRetryDelayMs.load());
    retry.NextTryMs = now + delay;
    std::string error;
    if (!FSpool.SetRetry(Name, retry, error)) {
        LogText("Mail batch \"" + Name + "\": its next try is kept in memory only: " + error);
    }
    LogText("Mail batch \"" + Name + "\" waits (" + Reason + "); next try in " +
            std::to_string((delay + 999) / 1000) + " s");
}
