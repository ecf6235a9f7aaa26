// Notification mails through the whole server process: clips dropped into the watch folder of
// a project with two users end as mails on a real SMTP server (aiosmtpd on loopback), a mail
// spooled while that server is away survives a kill of the process and arrives once after the
// restart, and a mail the SMTP server had taken when the process died is not sent again.

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"
#include "support/TestInstallation.h"
#include "support/TestProcess.h"
#include "support/TestSmtpPeer.h"
#include "support/TestWait.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ServerMail : public ::testing::Test {
  protected:
    ServerMail() { Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs"); }

    // "config.dat": a watch folder of project "Promos", whose completion and failure mails go
    // to Ann and Bob, without batching, to the SMTP server on SmtpPort.
    void WriteConfig() {
        TVmEngine engine(Install.Folder().string() + "/");
        TVmEngineSettings settings = engine.Settings();
        settings.Port = Port;
        settings.Threads = 2;
        settings.SHost = "127.0.0.1";
        settings.SPort = SmtpPort;
        settings.SFromName = "Vidmill";
        settings.SFromEmail = "mill@example.org";
        engine.SetSettings(settings);
        auto ann = engine.Users().AddNew();
        ann->SetName("Ann");
        ann->SetEmail("ann@example.org");
        auto bob = engine.Users().AddNew();
        bob->SetName("Bob");
        bob->SetEmail("bob@example.org");
        auto project = engine.Projects().AddNew();
        project->SetName("Promos");
        for (TProjectMailQueue* queue : {&project->CompletionQueue(), &project->FailureQueue()}) {
            queue->AddRecipient(ann);
            queue->AddRecipient(bob);
        }
        auto target = engine.Targets().AddNew();
        target->SetName("Output");
        target->SetType(TVmTarget::FolderType);
        target->SetFolder((Install.Folder() / "out").string() + "/");
        auto processor = engine.Processors().AddNew();
        processor->AddTarget(target);
        auto source = engine.Sources().AddNew();
        source->SetName("Drop");
        source->SetWatchFolder((Install.Folder() / "watch").string() + "/");
        source->SetExtensionFilter("*.synth");
        source->SetProcessor(processor);
        TVmSourceSettings s = source->Settings();
        s.Project = project;
        s.UseTimer = true;
        s.TimerInterval = 1;
        s.UseSettleTime = false;
        source->SetSettings(s);
        ASSERT_TRUE(TVmConfigStore(engine).SaveConfig((Install.Folder() / "config.dat").string()));
        fs::create_directories(Install.Folder() / "watch");
    }

    void StartServer() {
        Server = std::make_unique<TChildProcess>(
            std::vector<std::string>{Install.Server(), "-NOSERVICE"},
            (Install.Folder() / "out.txt").string());
    }

    void Drop(const std::string& Name, const std::string& Descriptor) {
        std::ofstream(Install.Folder() / Name) << Descriptor << "\n";
        fs::rename(Install.Folder() / Name, Install.Folder() / "watch" / Name);
    }

    std::vector<std::string> FailedMails() const {
        std::vector<std::string> names;
        if (fs::exists(Install.Folder() / "MailQueue" / "Failed"))
            for (const auto& entry :
                 fs::directory_iterator(Install.Folder() / "MailQueue" / "Failed"))
                names.push_back(entry.path().filename().string());
        return names;
    }

    std::vector<fs::path> SpooledBatches() const {
        std::vector<fs::path> batches;
        if (fs::exists(Install.Folder() / "MailQueue"))
            for (const auto& entry : fs::directory_iterator(Install.Folder() / "MailQueue"))
                if (entry.path().extension() == ".batch")
                    batches.push_back(entry.path());
        return batches;
    }

    // Recipient -> subjects received.
    static std::map<std::string, std::vector<std::string>> ByRecipient(const TTestSmtpPeer& Peer) {
        std::map<std::string, std::vector<std::string>> mails;
        for (const TReceivedMail& mail : Peer.Mails())
            mails[mail.Meta.at("rcpt")].push_back(mail.Meta.at("subject"));
        return mails;
    }

    TTestInstallation Install;
    int Port = FreePort();
    int SmtpPort = FreePort();
    std::unique_ptr<TChildProcess> Server;
};

TEST_F(ServerMail, DroppedClipsAreMailedToBothUsersOfTheProject) {
    TTestSmtpPeer peer(Install.Folder() / "smtp", [&] {
        TTestSmtpPeer::TOptions options;
        options.Port = SmtpPort;
        return options;
    }());
    ASSERT_TRUE(peer.Ready) << peer.Log();
    WriteConfig();
    StartServer();
    Drop("Morning news.synth", "width=64 height=32 frames=2");
    Drop("Weather.synth", "width=64 height=32 frames=2");

    ASSERT_TRUE(peer.WaitForCount(4, 90s)) << Install.LogText() << peer.Log();
    const auto mails = ByRecipient(peer);
    ASSERT_EQ(mails.size(), 2u);
    for (const char* user : {"ann@example.org", "bob@example.org"}) {
        std::vector<std::string> subjects = mails.at(user);
        std::sort(subjects.begin(), subjects.end());
        EXPECT_EQ(subjects, (std::vector<std::string>{"[Promos] 1 clip(s) ready - Morning news",
                                                      "[Promos] 1 clip(s) ready - Weather"}))
            << user;
    }
    for (const TReceivedMail& mail : peer.Mails()) {
        EXPECT_EQ(mail.Meta.at("mail_from"), "mill@example.org");
        EXPECT_NE(mail.Html.find("cid:IMAGE1"), std::string::npos);
        ASSERT_EQ(mail.Images.size(), 1u) << mail.Html;
        EXPECT_EQ(mail.Images[0].substr(0, 7), "IMAGE1;");
        EXPECT_NE(mail.Html.find("64x32"), std::string::npos);         // the format line
        EXPECT_NE(mail.Html.find(">Output</td>"), std::string::npos);  // the targets table
    }
    EXPECT_EQ(Server->Stop(SIGTERM), 0) << Install.LogText();
}

TEST_F(ServerMail, SpooledMailSurvivesAKillAndIsSentOnceAfterTheRestart) {
    WriteConfig();
    StartServer();  // nothing listens on the SMTP port yet
    Drop("Late show.synth", "width=32 height=16 frames=2");
    ASSERT_TRUE(WaitFor([&] { return !SpooledBatches().empty(); }, 60s)) << Install.LogText();
    Server->Stop(SIGKILL);
    ASSERT_EQ(SpooledBatches().size(), 1u);

    TTestSmtpPeer peer(Install.Folder() / "smtp", [&] {
        TTestSmtpPeer::TOptions options;
        options.Port = SmtpPort;
        return options;
    }());
    ASSERT_TRUE(peer.Ready) << peer.Log();
    StartServer();
    ASSERT_TRUE(WaitFor([&] { return SpooledBatches().empty(); }, 60s)) << Install.LogText();
    ASSERT_TRUE(peer.WaitForCount(2)) << Install.LogText();
    EXPECT_EQ(Server->Stop(SIGTERM), 0) << Install.LogText();
    const auto mails = ByRecipient(peer);
    const std::vector<std::string> once = {"[Promos] 1 clip(s) ready - Late show"};
    EXPECT_EQ(mails.at("ann@example.org"), once);
    EXPECT_EQ(mails.at("bob@example.org"), once);
}

TEST_F(ServerMail, AMailTheSmtpServerHadWhenTheProcessDiedIsNotSentAgain) {
    // The SMTP server keeps Ann's mail but holds its answer until the file appears.
    const fs::path release = Install.Folder() / "release";
    TTestSmtpPeer peer(Install.Folder() / "smtp", [&] {
        TTestSmtpPeer::TOptions options;
        options.Port = SmtpPort;
        options.Hold = release.string();
        return options;
    }());
    ASSERT_TRUE(peer.Ready) << peer.Log();
    WriteConfig();
    StartServer();
    Drop("Night show.synth", "width=32 height=16 frames=2");
    ASSERT_TRUE(peer.WaitForCount(1, 90s)) << Install.LogText() << peer.Log();
    ASSERT_EQ(SpooledBatches().size(), 1u);
    const std::string batch = SpooledBatches()[0].stem().string();
    Server->Stop(SIGKILL);
    std::ofstream(release) << "1";

    StartServer();
    ASSERT_TRUE(WaitFor([&] { return SpooledBatches().empty(); }, 60s)) << Install.LogText();
    EXPECT_EQ(Server->Stop(SIGTERM), 0) << Install.LogText();
    // Bob's mail, still waiting, went after the restart; Ann's only ever once.
    const auto mails = ByRecipient(peer);
    const std::vector<std::string> once = {"[Promos] 1 clip(s) ready - Night show"};
    EXPECT_EQ(mails.at("ann@example.org"), once);
    EXPECT_EQ(mails.at("bob@example.org"), once);
    EXPECT_EQ(FailedMails(), std::vector<std::string>{batch + "-user000.mail"});
    EXPECT_NE(Install.LogText().find("was being sent when the server stopped"), std::string::npos)
        << Install.LogText();
}

}  // namespace
