#include "server/notify/lmVmMailServer.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
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
constexpr size_t MaxListBytes = 1 << 20;
constexpr size_t MaxMailBytes = 8 << 20;
constexpr size_t MaxThumbnailBytes = 16 << 20;

void WriteFileBytes(const std::string& Path, const std::string& Bytes) {
    std::ofstream file(Path, std::ios::binary | std::ios::trunc);
    file.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write \"" + Path + "\"");
    }
}

// The file's bytes, or false when it cannot be read or is bigger than Limit.
bool ReadFileBytes(const std::string& Path, size_t Limit, std::string& Bytes) {
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        return false;
    }
    Bytes.resize(Limit + 1);
    file.read(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    Bytes.resize(static_cast<size_t>(file.gcount()));
    return Bytes.size() <= Limit;
}

std::vector<std::string> SplitLines(const std::string& Text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos) {
            end = Text.size();
        }
        std::string line = Text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string FileNameOf(const std::string& Path) {
    return Path.substr(Path.rfind('/') + 1);
}

bool StartsWith(const std::string& Text, const char* Prefix) {
    return Text.rfind(Prefix, 0) == 0;
}

// "thumb000002.png" -> 2; -1 for any other name.
int ThumbnailNumber(const std::string& Name) {
    int number = 0;
    char tail[8] = {};
    if (Name.size() != 15 || std::sscanf(Name.c_str(), "thumb%6d%7s", &number, tail) != 2 ||
        std::string(tail) != ".png") {
        return -1;
    }
    return number;
}

std::string ResultText(TSmtpResult Result) {
    switch (Result) {
        case TSmtpResult::Sent:
            return "sent";
        case TSmtpResult::Refused:
            return "refused";
        case TSmtpResult::Deferred:
            return "deferred";
        case TSmtpResult::Unreachable:
            return "server not reached";
    }
    return {};
}

}  // namespace

TMailServer::TMailServer(std::string ServerFolder, std::string DataFolder)
    : FSpoolFolder((DataFolder.empty() ? ServerFolder : DataFolder) + "MailQueue/"),
      FFailedFolder(FSpoolFolder + "Failed/"),
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
    port::CreateFolders(FSpoolFolder);
    port::CreateFolders(FFailedFolder);
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
            throw std::runtime_error("template name \"" + Template +
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
            if (smtp_format::UsableAddress(Recipients[i]->Email())) {
                addressed.emplace_back(i, Recipients[i]);
            } else {
                LogText("No notification mail for user \"" + Recipients[i]->Name() +
                        "\": no usable e-mail address (\"" + Recipients[i]->Email() + "\")");
            }
        }
        if (addressed.empty() || Records.empty()) {
            throw std::runtime_error("no recipient with a usable e-mail address");
        }

        const std::string base = GUIDToString(NewGUID());
        const std::string folder = FSpoolFolder + base + "/";
        if (!port::CreateFolders(folder)) {
            throw std::runtime_error("cannot create \"" + folder + "\"");
        }
        std::vector<std::string> files;
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
            WriteFileBytes(folder + name, std::string(png.begin(), png.end()));
            files.push_back(folder + name);
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
            WriteFileBytes(folder + name, mail);
            files.push_back(folder + name);
        }
        // The list goes in under its name in one step, once every file it lists is complete.
        std::string list;
        for (const std::string& file : files) {
            list += file + "\n";
        }
        WriteFileBytes(FSpoolFolder + base + ".tmp", list);
        if (!port::RenameFile(FSpoolFolder + base + ".tmp", FSpoolFolder + base + ".batch")) {
            throw std::runtime_error("cannot write \"" + FSpoolFolder + base + ".batch\"");
        }
        return true;
    } catch (const std::exception& error) {
        LogText(std::string("Exception in WriteMail(): ") + error.what());
    }
    return false;
}

void TMailServer::SpoolPass() {
    TLock pass(FPassLock);
    if (FNextPass != TClock::time_point{} && TClock::now() < FNextPass) {
        return;
    }
    std::vector<std::string> names = port::ListFiles(FSpoolFolder, "*.batch");
    std::sort(names.begin(), names.end());
    TSmtpClient client;
    client.SetAbortFlag(&FStopping);
    client.Reset(SmtpSettings());
    bool everythingSent = true;
    for (const std::string& name : names) {
        if (FStopping) {
            break;
        }
        const std::string base = name.substr(0, name.rfind('.'));
        TGUID uid;
        if (!StringToGUID(base, uid)) {
            continue;  // not one of ours
        }
        const TBatchOutcome outcome = SendBatch(client, base);
        everythingSent = everythingSent && outcome == TBatchOutcome::Done;
        if (outcome == TBatchOutcome::Unreachable) {
            break;
        }
    }
    client.Close();
    if (everythingSent) {
        FCurrentDelayMs = 0;
        FNextPass = {};
    } else {
        PassFailed();
    }
}

TMailServer::TBatchOutcome TMailServer::SendBatch(TSmtpClient& Client,
                                                  const std::string& BaseName) {
    const std::string folder = FSpoolFolder + BaseName + "/";
    std::string listText;
    if (!ReadFileBytes(FSpoolFolder + BaseName + ".batch", MaxListBytes, listText)) {
        LogText("Mail batch \"" + BaseName + "\" has an unreadable list; it is removed");
        RemoveBatch(BaseName, {});
        return TBatchOutcome::Done;
    }
    // Only files of the batch's own folder are touched, whatever the list says.
    std::vector<std::string> files, mails;
    std::vector<TSmtpMessage::TImage> images;
    for (const std::string& path : SplitLines(listText)) {
        const std::string name = FileNameOf(path);
        if (path != folder + name || !TMailComposer::PlainFileName(name)) {
            continue;
        }
        files.push_back(path);
        if (StartsWith(name, "user")) {
            mails.push_back(path);
        } else if (const int number = ThumbnailNumber(name); number >= 0) {
            std::string png;
            if (ReadFileBytes(path, MaxThumbnailBytes, png)) {
                images.push_back({"IMAGE" + std::to_string(number + 1),
                                  std::vector<uint8_t>(png.begin(), png.end())});
            }
        }
    }

    TBatchOutcome outcome = TBatchOutcome::Done;
    for (const std::string& path : mails) {
        std::string text;
        if (!port::FileExists(path)) {
            continue;  // sent before
        }
        if (!ReadFileBytes(path, MaxMailBytes, text) || SplitLines(text).size() < 2) {
            LogText("Mail file \"" + path + "\" is damaged");
            MoveToFailed(BaseName, path);
            continue;
        }
        std::vector<std::string> lines = SplitLines(text);
        TSmtpMessage message;
        message.Recipient = lines[0];
        message.Subject = lines[1];
        for (size_t i = 2; i < lines.size(); ++i) {
            message.HtmlBody += lines[i] + "\r\n";
        }
        message.Images = images;
        const TSmtpResult result = Client.Send(message);
        if (result == TSmtpResult::Sent) {
            // Gone at once, so that a crash later in the pass cannot send it twice.
            port::DeleteFile(path);
            LogText("Mail \"" + message.Subject + "\" sent to " + message.Recipient);
            continue;
        }
        LogText("Mail \"" + message.Subject + "\" to " + message.Recipient + " " +
                ResultText(result) + ": " + Client.LastError());
        if (result == TSmtpResult::Refused) {
            MoveToFailed(BaseName, path);
            continue;
        }
        outcome = result == TSmtpResult::Unreachable ? TBatchOutcome::Unreachable
                                                     : TBatchOutcome::Waiting;
        if (outcome == TBatchOutcome::Unreachable) {
            break;
        }
    }

    if (outcome == TBatchOutcome::Done) {
        RemoveBatch(BaseName, files);
        FFirstFailure.erase(BaseName);
        return outcome;
    }
    const auto now = TClock::now();
    const auto first = FFirstFailure.emplace(BaseName, now).first->second;
    if (now - first >= std::chrono::milliseconds(GiveUpMs.load())) {
        LogText("Mail batch \"" + BaseName + "\" could not be sent for " +
                std::to_string(GiveUpMs.load() / 1000) + " seconds; its mails move to \"Failed\"");
        for (const std::string& path : mails) {
            if (port::FileExists(path)) {
                MoveToFailed(BaseName, path);
            }
        }
        RemoveBatch(BaseName, files);
        FFirstFailure.erase(BaseName);
    }
    return outcome;
}

void TMailServer::MoveToFailed(const std::string& BaseName, const std::string& MailPath) {
    const std::string target = FFailedFolder + BaseName + "-" + FileNameOf(MailPath);
    port::CreateFolders(FFailedFolder);
    port::DeleteFile(target);
    if (!FileMove(MailPath, target)) {
        LogText("* Failed moving mail file \"" + MailPath + "\" to \"" + target + "\"");
        port::DeleteFile(MailPath);
    }
}

void TMailServer::RemoveBatch(const std::string& BaseName, const std::vector<std::string>& Files) {
    port::DeleteFile(FSpoolFolder + BaseName + ".batch");
    for (const std::string& file : Files) {
        port::DeleteFile(file);
    }
    std::error_code ignored;
    std::filesystem::remove(FSpoolFolder + BaseName, ignored);
}

void TMailServer::PassFailed() {
    const int longest = LongestRetryDelayMs.load();
    FCurrentDelayMs =
        FCurrentDelayMs == 0 ? RetryDelayMs.load() : std::min(FCurrentDelayMs * 2, longest);
    FNextPass = TClock::now() + std::chrono::milliseconds(FCurrentDelayMs);
}
