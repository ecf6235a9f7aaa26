// Notification mails: composing a batch from its template into the spool, the project mail
// queues' batching, and sending the spool to a real SMTP server (aiosmtpd on loopback).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "server/notify/lmVmMailComposer.h"
#include "server/notify/lmVmMailQueue.h"
#include "server/notify/lmVmMailServer.h"
#include "server/protocol/lmVmUser.h"
#include "support/TestSmtpPeer.h"
#include "support/TestWait.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<TVmUser> User(const std::string& Name, const std::string& Email) {
    auto user = std::make_shared<TVmUser>(nullptr, true);
    user->SetName(Name);
    user->SetEmail(Email);
    return user;
}

std::unique_ptr<TMailInfo> Record(const std::string& Clip, bool WithThumbnail = false) {
    auto record = std::make_unique<TMailInfo>();
    record->FileName = Clip + ".mov";
    record->ClipName = Clip;
    record->Project = "Promos";
    record->TargetResults = {{"Main", true}, {"Backup <2>", false}};
    record->RenderTargets();
    if (WithThumbnail) {
        record->Thumbnail = std::make_unique<TPNGImage>(4, 3);
    }
    return record;
}

std::vector<std::string> Lines(const fs::path& Path) {
    std::ifstream file(Path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

class MailTest : public ::testing::Test {
  protected:
    MailTest() {
        std::random_device random;
        Root = fs::temp_directory_path() / ("lmv-mail-" + std::to_string(random()));
        fs::create_directories(Root / "EmailTemplates");
        Server = std::make_unique<TMailServer>(Root.string() + "/");
        Server->RetryDelayMs = 20;
        Server->LongestRetryDelayMs = 40;
    }
    ~MailTest() override {
        Server.reset();
        std::error_code ignored;
        fs::remove_all(Root, ignored);
    }

    void Template(const std::string& Name, const std::string& Text) {
        std::ofstream(Root / "EmailTemplates" / Name, std::ios::binary) << Text;
    }

    // The spooled batches, each as its folder.
    std::vector<fs::path> Batches() const {
        std::vector<fs::path> batches;
        if (fs::exists(Root / "MailQueue")) {
            for (const auto& entry : fs::directory_iterator(Root / "MailQueue")) {
                if (entry.path().extension() == ".batch") {
                    batches.push_back(Root / "MailQueue" / entry.path().stem());
                }
            }
        }
        std::sort(batches.begin(), batches.end());
        return batches;
    }
    std::vector<std::string> FilesOf(const fs::path& Folder) const {
        std::vector<std::string> names;
        if (fs::exists(Folder)) {
            for (const auto& entry : fs::directory_iterator(Folder)) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // The one spooled batch's mail file for the recipient at that position.
    std::vector<std::string> OnlyMail(const char* Name = "user000.mail") {
        const auto batches = Batches();
        EXPECT_EQ(batches.size(), 1u);
        return batches.empty() ? std::vector<std::string>() : Lines(batches[0] / Name);
    }

    void UsePeer(const TTestSmtpPeer& Peer, const std::string& Login = {},
                 const std::string& Password = {}) {
        Server->SetSmtpSettings(TSmtpSettings{"127.0.0.1", Peer.Port(), Login, Password,
                                              "Vidmill Zürich", "mill@example.org"});
    }

    fs::path Root;
    std::unique_ptr<TMailServer> Server;
};

// Peer options, set by the lambda.
template <class TSet>
TTestSmtpPeer::TOptions Options(TSet Set) {
    TTestSmtpPeer::TOptions options;
    Set(options);
    return options;
}

// ---------------------------------------------------------------------------------------------
// Composition

TEST_F(MailTest, SubjectIsTheFilledFirstLineAndABlankSecondLineGoes) {
    Template("t.html", "\n  \nResult %USERNAME%\n\n<p>%FILENAME%</p>\n\n");
    TProjectMailQueue::TBatch records;
    records.push_back(Record("promo"));
    ASSERT_TRUE(Server->WriteMail("t.html", {User("Ann", "ann@example.org")}, records));
    EXPECT_EQ(OnlyMail(), (std::vector<std::string>{"Ann <ann@example.org>", "Result Ann",
                                                    "<p>promo.mov</p>"}));
}

TEST_F(MailTest, RepeatedBlockListsEveryRecordOfTheBatch) {
    Template("t.html",
             "%NUMFILES% clips\n%START_FOREACH%<li>%FILECOUNTER%: %CLIPNAME%</li>%END_FOREACH%"
             "<p>%PROJECT%</p>\n<ul>%START_FOREACH%\n<b>%CLIPNAME%</b>\n");
    TProjectMailQueue::TBatch records;
    for (const char* clip : {"one", "two", "three"}) {
        records.push_back(Record(clip));
    }
    ASSERT_TRUE(Server->WriteMail("t.html", {User("Ann", "ann@example.org")}, records));
    // A block left open at the end is expanded there.
    EXPECT_EQ(OnlyMail(),
              (std::vector<std::string>{"Ann <ann@example.org>", "3 clips", "<li>1: one</li>",
                                        "<li>2: two</li>", "<li>3: three</li>", "<p>Promos</p>",
                                        "<ul>", "<b>one</b>", "<b>two</b>", "<b>three</b>"}));
}

TEST(MailComposer, PlaceholdersStandBetweenWordBoundariesAndValuesStayText) {
    const std::vector<std::string> lines;
    TProjectMailQueue::TBatch records;
    records.push_back(Record("<b>Bold & co</b>"));
    records[0]->FailReason = "%USERNAME% in a reason";
    const TMailComposer composer(lines, records, {true}, "lmVidmill v1.0 build 1");
    const struct {
        const char* Text;
        bool Escape;
        const char* Expected;
    } cases[] = {
        {"abc%USERNAME%", true, "abc%USERNAME%"},
        {"%USERNAME%abc", true, "%USERNAME%abc"},
        {"(%USERNAME%)", true, "(Ann)"},
        {"%username% at %VidmillVersion%", true, "Ann at lmVidmill v1.0 build 1"},
        {"%USERNAME%%NUMFILES%", true, "Ann1"},
        {"x%FILECOUNTER%y", true, "x%FILECOUNTER%y"},  // outside a block it stays
        {"%CLIPNAME%", true, "&lt;b&gt;Bold &amp; co&lt;/b&gt;"},
        {"%CLIPNAME%", false, "<b>Bold & co</b>"},         // the subject is plain text
        {"%FAILREASON%", true, "%USERNAME% in a reason"},  // a value is never read again
        {"src=\"%THUMBNAIL%\"", true, "src=\"cid:IMAGE1\""},
        {"%TARGETS%", true,
         "<table><tr><td>Main</td><td class=\"targetpass\" style=\"color: green;\">PASS</td></tr>"
         "<tr><td>Backup &lt;2&gt;</td><td class=\"targetfail\" style=\"color: red; "
         "font-weight: bold;\">FAIL</td></tr></table>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(composer.Fill(c.Text, 0, false, c.Escape, "Ann"), c.Expected) << c.Text;
    }
    EXPECT_EQ(composer.Fill("x%FILECOUNTER%y", 0, true, true, "Ann"), "x1y");
}

TEST_F(MailTest, OnlyRecipientsWithAUsableAddressGetAMail) {
    Template("t.html", "S\nB\n");
    TProjectMailQueue::TBatch records;
    records.push_back(Record("a"));
    ASSERT_TRUE(Server->WriteMail("t.html",
                                  {User("At", "@example.org"), User("Ann", "ann@example.org"),
                                   User("None", "ann.example.org"), User("Empty", "")},
                                  records));
    ASSERT_EQ(Batches().size(), 1u);
    EXPECT_EQ(FilesOf(Batches()[0]), std::vector<std::string>{"user001.mail"});
    // Nobody to tell: nothing is spooled.
    EXPECT_FALSE(Server->WriteMail("t.html", {User("At", "@example.org")}, records));
    EXPECT_EQ(Batches().size(), 1u);
}

TEST_F(MailTest, ThumbnailsAreWrittenOnlyForATemplateThatShowsThemAndKeepTheirRecordsNumber) {
    Template("plain.html", "S\n<p>%CLIPNAME%</p>\n");
    Template("thumbs.html",
             "S\n%START_FOREACH%<img src=\"%THUMBNAIL%\" alt=\"%CLIPNAME%\">%END_FOREACH%\n");
    auto batch = [] {
        TProjectMailQueue::TBatch records;
        records.push_back(Record("a", true));
        records.push_back(Record("b", false));
        records.push_back(Record("c", true));
        return records;
    };
    ASSERT_TRUE(Server->WriteMail("plain.html", {User("Ann", "ann@example.org")}, batch()));
    EXPECT_EQ(FilesOf(Batches()[0]), std::vector<std::string>{"user000.mail"});
    fs::remove_all(Root / "MailQueue");

    ASSERT_TRUE(Server->WriteMail("thumbs.html", {User("Ann", "ann@example.org")}, batch()));
    EXPECT_EQ(FilesOf(Batches()[0]),
              (std::vector<std::string>{"thumb000000.png", "thumb000002.png", "user000.mail"}));
    // A record without a thumbnail refers to none, so the others keep their own.
    EXPECT_EQ(OnlyMail(), (std::vector<std::string>{
                              "Ann <ann@example.org>", "S", "<img src=\"cid:IMAGE1\" alt=\"a\">",
                              "<img src=\"\" alt=\"b\">", "<img src=\"cid:IMAGE3\" alt=\"c\">"}));
    // The list names the thumbnails first, then the mails, with full paths.
    const auto list = Lines(Batches()[0].string() + ".batch");
    EXPECT_EQ(list, (std::vector<std::string>{(Batches()[0] / "thumb000000.png").string(),
                                              (Batches()[0] / "thumb000002.png").string(),
                                              (Batches()[0] / "user000.mail").string()}));
}

TEST_F(MailTest, TemplateNamesOutsideTheTemplatesFolderAreRefused) {
    std::ofstream(Root / "secret.txt") << "Secret\nbody\n";
    Template("ok.html", "S\nB\n");
    TProjectMailQueue::TBatch records;
    records.push_back(Record("a"));
    for (const char* name : {"../secret.txt", "sub/ok.html", "/etc/passwd", "..", "", "a\\b"}) {
        EXPECT_FALSE(Server->WriteMail(name, {User("Ann", "ann@example.org")}, records)) << name;
    }
    EXPECT_FALSE(Server->WriteMail("missing.html", {User("Ann", "ann@example.org")}, records));
    EXPECT_TRUE(Batches().empty());
    EXPECT_TRUE(Server->WriteMail("ok.html", {User("Ann", "ann@example.org")}, records));
}

// ---------------------------------------------------------------------------------------------
// Batching

class MailQueueTest : public MailTest {
  protected:
    MailQueueTest() {
        Template(TProjectMailQueue::CompletedTemplateDefault,
                 "N %NUMFILES%\n%START_FOREACH%<li>%CLIPNAME%</li>%END_FOREACH%\n");
        Template(TProjectMailQueue::FailedTemplateDefault, "F %NUMFILES%\n<p>%CLIPNAME%</p>\n");
    }
    // The record counts of the spooled batches, from their subjects.
    std::vector<std::string> Subjects() {
        std::vector<std::string> subjects;
        for (const fs::path& batch : Batches()) {
            const auto lines = Lines(batch / "user000.mail");
            subjects.push_back(lines.size() > 1 ? lines[1] : "");
        }
        return subjects;
    }
    void Recipients(TProjectMailQueue& Queue) {
        Queue.SetRecipients({User("Ann", "ann@example.org"), User("Bob", "bob@example.org")});
    }
};

TEST_F(MailQueueTest, WithoutRecipientsNothingIsWritten) {
    TProjectMailQueue queue(Server.get(), false);
    queue.Add(Record("a"));
    queue.SetBatchByTime(true);
    queue.Add(Record("b"));
    EXPECT_EQ(queue.PendingCount(), 0u);
    EXPECT_TRUE(Batches().empty());
}

TEST_F(MailQueueTest, WithoutBatchingEachRecordIsABatchWithAMailPerRecipient) {
    TProjectMailQueue queue(Server.get(), false);
    Recipients(queue);
    queue.Add(Record("a"));
    queue.Add(Record("b"));
    ASSERT_EQ(Batches().size(), 2u);
    for (const fs::path& batch : Batches()) {
        EXPECT_EQ(FilesOf(batch), (std::vector<std::string>{"user000.mail", "user001.mail"}));
    }
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"N 1", "N 1"}));
}

TEST_F(MailQueueTest, BatchByTimeReleasesEveryRecordOfThePeriodTogether) {
    TProjectMailQueue queue(Server.get(), false);
    Recipients(queue);
    queue.SetTimeScale(100, 10);  // a batch minute of 100 ms
    queue.SetBatchMinutes(3);
    queue.SetBatchByTime(true);
    for (const char* clip : {"a", "b", "c"}) {
        queue.Add(Record(clip));
    }
    ASSERT_TRUE(WaitFor([&] { return !Batches().empty(); }));
    EXPECT_EQ(Subjects(), std::vector<std::string>{"N 3"});
    EXPECT_EQ(queue.PendingCount(), 0u);
}

TEST_F(MailQueueTest, AFullBatchGoesAtOnceAndALowerLimitReleasesWhatIsPending) {
    TProjectMailQueue queue(Server.get(), false);
    Recipients(queue);
    queue.SetBatchByTime(true);  // ten real minutes: only the limit releases
    queue.SetFileLimit(2);
    queue.Add(Record("a"));
    EXPECT_EQ(queue.PendingCount(), 1u);
    queue.Add(Record("b"));
    EXPECT_EQ(queue.PendingCount(), 0u);
    ASSERT_TRUE(WaitFor([&] { return Batches().size() == 1; }));
    EXPECT_EQ(Subjects(), std::vector<std::string>{"N 2"});

    queue.SetFileLimit(10);
    for (const char* clip : {"c", "d", "e"}) {
        queue.Add(Record(clip));
    }
    queue.SetFileLimit(3);  // exactly as many as pending: they wait
    EXPECT_EQ(queue.PendingCount(), 3u);
    queue.SetFileLimit(2);
    EXPECT_EQ(queue.PendingCount(), 0u);
    ASSERT_TRUE(WaitFor([&] { return Batches().size() == 2; }));
    queue.SetFileLimit(0);
    EXPECT_EQ(queue.FileLimit(), 1);
}

TEST_F(MailQueueTest, SwitchingBatchingOffReleasesWhatIsPending) {
    TProjectMailQueue queue(Server.get(), false);
    Recipients(queue);
    queue.SetBatchByTime(true);
    queue.SetBatchWhenDone(true);
    queue.Add(Record("a"));
    queue.Add(Record("b"));
    queue.SetBatchByTime(false);  // batching until done still holds them
    EXPECT_EQ(queue.PendingCount(), 2u);
    queue.SetBatchWhenDone(false);
    EXPECT_EQ(queue.PendingCount(), 0u);
    ASSERT_TRUE(WaitFor([&] { return Batches().size() == 1; }));
    EXPECT_EQ(Subjects(), std::vector<std::string>{"N 2"});
    queue.Add(Record("c"));  // no batching any more: written at once
    EXPECT_EQ(Batches().size(), 2u);
}

TEST_F(MailQueueTest, BatchWhenDoneReleasesCompletionsAtOnceAndFailuresAfterTheirDelay) {
    TProjectMailQueue completed(Server.get(), false);
    TProjectMailQueue failed(Server.get(), true);
    for (TProjectMailQueue* queue : {&completed, &failed}) {
        Recipients(*queue);
        queue->SetTimeScale(60000, 40);  // the 30 s delay of failures becomes 1.2 s
        queue->SetBatchWhenDone(true);
        queue->Add(Record("a"));
        queue->Add(Record("b"));
    }
    EXPECT_EQ(failed.DoneDelay(), 30);
    completed.ProjectTasksDone();
    failed.ProjectTasksDone();
    EXPECT_EQ(completed.PendingCount(), 0u);
    EXPECT_EQ(failed.PendingCount(), 2u);
    ASSERT_TRUE(WaitFor([&] { return failed.PendingCount() == 0; }));
    ASSERT_TRUE(WaitFor([&] { return Batches().size() == 2; }));
    std::vector<std::string> subjects = Subjects();
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"F 2", "N 2"}));
}

TEST_F(MailQueueTest, RecordsStillPendingAtDestructionAreSpooled) {
    {
        TProjectMailQueue queue(Server.get(), false);
        Recipients(queue);
        queue.SetBatchByTime(true);
        queue.Add(Record("a"));
        queue.Add(Record("b"));
    }
    EXPECT_EQ(Subjects(), std::vector<std::string>{"N 2"});
}

// ---------------------------------------------------------------------------------------------
// Sending

class MailSendTest : public MailTest {
  protected:
    MailSendTest() {
        Template("t.html",
                 "Clip %CLIPNAME% für %USERNAME%\n\n<html><body>%START_FOREACH%<p>%FILECOUNTER% "
                 "%CLIPNAME%</p><img src=\"%THUMBNAIL%\">%END_FOREACH%</body></html>\n");
    }
    void Spool(const std::string& Clip = "Abendschau", const char* Email = "zoe@example.org") {
        TProjectMailQueue::TBatch records;
        records.push_back(Record(Clip, true));
        ASSERT_TRUE(Server->WriteMail("t.html", {User("Zoë", Email)}, records));
    }
    fs::path Peer(const char* Name) const { return Root / Name; }
};

TEST_F(MailSendTest, SpooledMailArrivesWithSubjectBodyAndItsThumbnailInline) {
    TTestSmtpPeer peer(Peer("smtp"), {});
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Spool();
    Server->SpoolPass();
    ASSERT_EQ(peer.Count(), 1u) << peer.Log();
    const TReceivedMail mail = peer.Mails()[0];
    EXPECT_EQ(mail.Meta.at("subject"), "Clip Abendschau für Zoë");
    EXPECT_EQ(mail.Meta.at("mail_from"), "mill@example.org");
    EXPECT_EQ(mail.Meta.at("rcpt"), "zoe@example.org");
    EXPECT_EQ(mail.Meta.at("from"), "Vidmill Zürich <mill@example.org>");
    EXPECT_EQ(mail.Meta.at("sender"), "Vidmill Zürich <mill@example.org>");
    EXPECT_EQ(mail.Meta.at("to"), "Zoë <zoe@example.org>");
    EXPECT_EQ(mail.Meta.at("html_charset"), "utf-8");
    EXPECT_EQ(mail.Meta.at("auth"), "");
    EXPECT_NE(mail.Html.find("<p>1 Abendschau</p><img src=\"cid:IMAGE1\">"), std::string::npos)
        << mail.Html;
    ASSERT_EQ(mail.Images.size(), 1u);
    EXPECT_EQ(mail.Images[0].substr(0, 17), "IMAGE1;image/png;");
    EXPECT_EQ(mail.Images[0].back(), '1');  // a PNG file
    // Sent mails leave the spool entirely.
    EXPECT_TRUE(FilesOf(Root / "MailQueue").empty())
        << ::testing::PrintToString(FilesOf(Root / "MailQueue"));
}

TEST_F(MailSendTest, LoginGoesWithAuthLoginAndOverStartTlsWhenOffered) {
    {
        TTestSmtpPeer peer(Peer("plain"), Options([&](auto& o) { o.Login = "mill:s3cret"; }));
        ASSERT_TRUE(peer.Ready) << peer.Log();
        UsePeer(peer, "mill", "s3cret");
        Spool();
        Server->SpoolPass();
        ASSERT_EQ(peer.Count(), 1u) << peer.Log();
        EXPECT_EQ(peer.Mails()[0].Meta.at("auth"), "LOGIN mill");
        EXPECT_EQ(peer.Mails()[0].Meta.at("tls"), "0");
    }
    // This server takes a login only after STARTTLS.
    TTestSmtpPeer peer(Peer("tls"), Options([&](auto& o) {
                           o.Login = "mill:s3cret";
                           o.StartTls = true;
                       }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer, "mill", "s3cret");
    Spool();
    Server->SpoolPass();
    ASSERT_EQ(peer.Count(), 1u) << peer.Log();
    EXPECT_EQ(peer.Mails()[0].Meta.at("tls"), "1");
    EXPECT_EQ(peer.Mails()[0].Meta.at("auth"), "LOGIN mill");
}

TEST_F(MailSendTest, ImplicitTlsOnPort465) {
    TTestSmtpPeer peer(Peer("smtps"), Options([&](auto& o) {
                           o.ImplicitTls = true;
                           o.Port = 465;
                       }));
    if (!peer.Ready) {
        GTEST_SKIP() << "port 465 cannot be taken here: " << peer.Log();
    }
    UsePeer(peer);
    Spool();
    Server->SpoolPass();
    ASSERT_EQ(peer.Count(), 1u) << peer.Log();
    EXPECT_EQ(peer.Mails()[0].Meta.at("tls"), "1");
}

TEST_F(MailSendTest, WithTheServerDownMailsWaitAndArriveOnceItIsBack) {
    const int port = FreePort();
    Server->SetSmtpSettings(
        TSmtpSettings{"127.0.0.1", port, "", "", "Vidmill", "mill@example.org"});
    Spool("first");
    Spool("second");
    Server->SpoolPass();
    EXPECT_EQ(Batches().size(), 2u);
    EXPECT_TRUE(FilesOf(Root / "MailQueue" / "Failed").empty());

    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Port = port; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    ASSERT_TRUE(WaitFor([&] {
        Server->SpoolPass();
        return Batches().empty();
    }));
    EXPECT_EQ(peer.Count(), 2u);
    // Both batches went over one connection.
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_TRUE(FilesOf(Root / "MailQueue" / "Failed").empty());
}

TEST_F(MailSendTest, PermanentRefusalMovesTheMailToFailedUnderItsBatchName) {
    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Answer = "550"; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Spool();
    const std::string batch = Batches().at(0).filename().string();
    Server->SpoolPass();
    EXPECT_TRUE(Batches().empty());
    EXPECT_EQ(FilesOf(Root / "MailQueue" / "Failed"),
              std::vector<std::string>{batch + "-user000.mail"});
    EXPECT_FALSE(fs::exists(Root / "MailQueue" / batch));
}

TEST_F(MailSendTest, TemporaryRefusalKeepsTheMailUntilADayOfFailures) {
    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Answer = "451"; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Spool();
    const std::string batch = Batches().at(0).filename().string();
    Server->SpoolPass();
    EXPECT_EQ(Batches().size(), 1u);
    EXPECT_TRUE(FilesOf(Root / "MailQueue" / "Failed").empty());

    Server->GiveUpMs = 0;  // the day is over
    ASSERT_TRUE(WaitFor([&] {
        Server->SpoolPass();
        return Batches().empty();
    }));
    EXPECT_EQ(FilesOf(Root / "MailQueue" / "Failed"),
              std::vector<std::string>{batch + "-user000.mail"});
}

TEST_F(MailSendTest, TheMailThreadSendsTheSpoolOnItsOwn) {
    TTestSmtpPeer peer(Peer("smtp"), {});
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Server->PassIntervalMs = 50;
    Server->Start();
    Spool();
    EXPECT_TRUE(peer.WaitForCount(1)) << peer.Log();
    EXPECT_TRUE(WaitFor([&] { return Batches().empty(); }));
}

}  // namespace
