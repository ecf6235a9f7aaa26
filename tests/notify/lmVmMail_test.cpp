// Notification mails: composing a batch from its template into the spool, the project mail
// queues' batching, and sending the spool to a real SMTP server (aiosmtpd on loopback).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "server/notify/lmVmMailComposer.h"
#include "server/notify/lmVmMailQueue.h"
#include "server/notify/lmVmMailServer.h"
#include "server/protocol/lmVmUser.h"
#include "support/TestMounts.h"
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
        // Before any thread starts, so that every later one shares the test's own mounts.
        PrivateMounts();
        std::random_device random;
        Root = fs::temp_directory_path() / ("lmv-mail-" + std::to_string(random()));
        fs::create_directories(Root / "EmailTemplates");
        LogOpen((Root / "logs").string() + "/", "mail", "v1", 0, false);
        NewServer();
    }
    ~MailTest() override {
        Server.reset();
        LogClose();
        std::error_code ignored;
        fs::remove_all(Root, ignored);
    }

    // A server on the same folder, as after a restart.
    void NewServer() {
        Server = std::make_unique<TMailServer>(Root.string() + "/");
        Server->RetryDelayMs = 20;
        Server->LongestRetryDelayMs = 40;
    }

    std::string LogText() const {
        std::string text;
        if (fs::exists(Root / "logs")) {
            for (const auto& entry : fs::directory_iterator(Root / "logs")) {
                text += TTestSmtpPeer::ReadText(entry.path());
            }
        }
        return text;
    }
    ::testing::AssertionResult LogHas(const std::string& Text) const {
        if (WaitFor([&] { return LogText().find(Text) != std::string::npos; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "the log lacks \"" << Text << "\":\n" << LogText();
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

    // The server's settings for the peer on Port, changed by the lambda.
    template <class TChange>
    void UsePort(int Port, TChange Change) {
        TSmtpSettings settings;
        settings.Host = "127.0.0.1";
        settings.Port = Port;
        settings.FromName = "Vidmill Zürich";
        settings.FromEmail = "mill@example.org";
        Change(settings);
        Server->SetSmtpSettings(settings);
    }
    void UsePeer(const TTestSmtpPeer& Peer) {
        UsePort(Peer.Port(), [](TSmtpSettings&) {});
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
// Addresses

TEST(MailAddress, OnlyAddressesAHeaderCanCarryAreUsable) {
    for (const char* good : {"ann@example.org", "a.b+tag@mail.example.co.uk", "x@localhost",
                             "o'neil_2@example.org", "ops@[127.0.0.1]"}) {
        EXPECT_EQ(smtp_format::AddressProblem(good), "") << good;
    }
    for (const char* bad :
         {"", "ann.example.org", "@example.org", "ann@", "a@b@example.org",
          "ann@example.org\r\nBcc: eve@example.org", "ann@example.org\n", "ann @example.org",
          "<ann@example.org>", "\"ann\"@example.org", "ann..b@example.org", ".ann@example.org",
          "ann@-example.org", "ann@example..org", "ann@example.org.", "zoë@example.org",
          "ann@exa_mple.org", "ann,bob@example.org", "ann@[1.2.3.4"}) {
        EXPECT_NE(smtp_format::AddressProblem(bad), "") << smtp_format::Printable(bad);
    }
    EXPECT_EQ(smtp_format::Printable("a\r\nb"), "a\\x0D\\x0Ab");
}

// ---------------------------------------------------------------------------------------------
// Spool on disk

TEST_F(MailTest, AFullDiskLeavesNoHalfWrittenBatchAndTheLogNamesTheLostNotices) {
    fs::create_directories(Root / "MailQueue");
    TTestMount disk = TTestMount::Tmpfs(Root / "MailQueue", 256 * 1024);
    if (!disk.Mounted) {
        GTEST_SKIP() << "no mounts can be made here";
    }
    // Each mail takes 100 KiB: the third finds the disk full.
    Template("big.html", "S\n<p>" + std::string(100 * 1024, 'x') + "</p>\n");
    TProjectMailQueue::TBatch records;
    records.push_back(Record("promo"));
    EXPECT_FALSE(Server->WriteMail(
        "big.html",
        {User("Ann", "ann@example.org"), User("Bob", "bob@example.org"), User("Cy", "cy@x.org")},
        records));
    EXPECT_TRUE(FilesOf(Root / "MailQueue").empty())
        << ::testing::PrintToString(FilesOf(Root / "MailQueue"));
    EXPECT_TRUE(LogHas("No space left on device"));
    EXPECT_TRUE(LogHas("not spooled: 1 notice(s) (\"promo.mov\") for 3 recipient(s)"));
    // Nothing of it holds on to the room: a batch that fits is written whole.
    ASSERT_TRUE(Server->WriteMail(
        "big.html", {User("Ann", "ann@example.org"), User("Bob", "bob@example.org")}, records));
    EXPECT_EQ(FilesOf(Batches().at(0)), (std::vector<std::string>{"user000.mail", "user001.mail"}));
}

TEST_F(MailTest, AFolderLeftWithoutItsListGoesButABatchBeingWrittenStays) {
    const fs::path left = Root / "MailQueue" / GUIDToString(NewGUID());
    fs::create_directories(left);
    std::ofstream(left / "user000.mail") << "Ann <ann@example.org>\nS\nB\n";
    TMailSpool spool((Root / "MailQueue").string() + "/");
    std::string error;
    std::unique_ptr<TMailSpool::TBatchWriter> writing = spool.NewBatch(error);
    ASSERT_TRUE(writing) << error;
    ASSERT_TRUE(writing->Add("user000.mail", "Bob <bob@example.org>\nS\nB\n", error)) << error;

    spool.RemoveLeftovers();
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(
        LogHas("\" had no list (its writing or removal was cut short) and is removed, "
               "with 1 mail(s) never listed for sending"));
    const fs::path written = Root / "MailQueue" / writing->Name();
    EXPECT_TRUE(fs::exists(written / "user000.mail"));
    // A write given up takes its files with it.
    writing.reset();
    EXPECT_FALSE(fs::exists(written));
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
    std::vector<std::string> Failed() const { return FilesOf(Root / "MailQueue" / "Failed"); }
    // Passes until the spool holds no batch.
    bool SendAll() {
        return WaitFor([&] {
            Server->SpoolPass();
            return Batches().empty();
        });
    }
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

TEST_F(MailSendTest, ASenderAddressThatWouldAddHeadersSendsNothing) {
    TTestSmtpPeer peer(Peer("smtp"), {});
    ASSERT_TRUE(peer.Ready) << peer.Log();
    // As a configuration edited by hand may hold it.
    UsePort(peer.Port(),
            [](TSmtpSettings& s) { s.FromEmail = "mill@example.org\r\nBcc: eve@example.org"; });
    Spool();
    Server->SpoolPass();
    EXPECT_EQ(peer.Connections(), 0);
    EXPECT_EQ(peer.Count(), 0u);
    EXPECT_EQ(Batches().size(), 1u);  // it waits for the setting to be mended
    EXPECT_TRUE(
        LogHas("the sender address \"mill@example.org\\x0D\\x0ABcc: eve@example.org\" "
               "(\"sfromemail\") is not usable"));

    // A display name goes into the headers as text, whatever it holds.
    UsePort(peer.Port(), [](TSmtpSettings& s) { s.FromName = "Vidmill\r\nBcc: eve@example.org"; });
    ASSERT_TRUE(SendAll());
    ASSERT_EQ(peer.Count(), 1u);
    const TReceivedMail mail = peer.Mails()[0];
    EXPECT_EQ(mail.Meta.at("rcpt"), "zoe@example.org");
    EXPECT_EQ(mail.Raw.find("\nBcc:"), std::string::npos) << mail.Raw;
    EXPECT_NE(mail.Meta.at("from").find("<mill@example.org>"), std::string::npos);
}

TEST_F(MailSendTest, ALoginGoesOnlyToAServerWhoseCertificateIsTrusted) {
    TTestSmtpPeer peer(Peer("tls"), Options([&](auto& o) {
                           o.Login = "mill:s3cret";
                           o.StartTls = true;
                       }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    TTestSmtpPeer::MakeCertificate(Root / "other");
    Spool();
    // The system's store, then a file of other certificates: neither vouches for this one.
    for (const std::string& caFile : {std::string(), (Root / "other" / "cert.pem").string()}) {
        UsePort(peer.Port(), [&](TSmtpSettings& s) {
            s.Login = "mill";
            s.Password = "s3cret";
            s.CAFile = caFile;
        });
        Server->SpoolPass();
        EXPECT_EQ(peer.Count(), 0u) << caFile;
        EXPECT_EQ(peer.AuthAttempts(), 0) << caFile;
        EXPECT_EQ(Batches().size(), 1u) << caFile;
        std::this_thread::sleep_for(50ms);  // past the batch's wait
    }
    EXPECT_TRUE(LogHas("the server's certificate is not trusted"));

    UsePort(peer.Port(), [&](TSmtpSettings& s) {
        s.Login = "mill";
        s.Password = "s3cret";
        s.CAFile = peer.Certificate().string();
    });
    ASSERT_TRUE(SendAll()) << peer.Log();
    ASSERT_EQ(peer.Count(), 1u);
    EXPECT_EQ(peer.Mails()[0].Meta.at("tls"), "1");
    EXPECT_EQ(peer.Mails()[0].Meta.at("auth"), "LOGIN mill");
}

TEST_F(MailSendTest, ALoginNeverCrossesInClearTextUnlessThatIsAllowed) {
    TTestSmtpPeer peer(Peer("plain"), Options([&](auto& o) { o.Login = "mill:s3cret"; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    auto login = [&](bool AllowPlain) {
        UsePort(peer.Port(), [&](TSmtpSettings& s) {
            s.Login = "mill";
            s.Password = "s3cret";
            s.AllowPlain = AllowPlain;
        });
    };
    login(false);
    Spool();
    Server->SpoolPass();
    EXPECT_EQ(peer.Count(), 0u);
    EXPECT_EQ(peer.AuthAttempts(), 0);
    EXPECT_EQ(Batches().size(), 1u);
    EXPECT_TRUE(
        LogHas("the server offers no STARTTLS, and the login is not sent in clear text "
               "unless \"smtpallowplain\" allows it"));

    login(true);
    ASSERT_TRUE(SendAll());
    ASSERT_EQ(peer.Count(), 1u) << peer.Log();
    EXPECT_EQ(peer.Mails()[0].Meta.at("auth"), "LOGIN mill");
    EXPECT_EQ(peer.Mails()[0].Meta.at("tls"), "0");
}

TEST_F(MailSendTest, ImplicitTlsOnPort465) {
    TTestSmtpPeer peer(Peer("smtps"), Options([&](auto& o) {
                           o.ImplicitTls = true;
                           o.Port = 465;
                       }));
    if (!peer.Ready) {
        GTEST_SKIP() << "port 465 cannot be taken here: " << peer.Log();
    }
    UsePort(peer.Port(), [&](TSmtpSettings& s) { s.CAFile = peer.Certificate().string(); });
    Spool();
    Server->SpoolPass();
    ASSERT_EQ(peer.Count(), 1u) << peer.Log();
    EXPECT_EQ(peer.Mails()[0].Meta.at("tls"), "1");
}

TEST_F(MailSendTest, ARefusedLoginFailsItsBatchAtOnce) {
    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Login = "mill:s3cret"; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePort(peer.Port(), [](TSmtpSettings& s) {
        s.Login = "mill";
        s.Password = "wrong";
        s.AllowPlain = true;
    });
    Spool();
    const std::string batch = Batches().at(0).filename().string();
    Server->SpoolPass();
    EXPECT_EQ(peer.Count(), 0u);
    EXPECT_TRUE(Batches().empty());
    EXPECT_EQ(Failed(), std::vector<std::string>{batch + "-user000.mail"});
    EXPECT_TRUE(LogHas("Mail batch \"" + batch + "\" fails (the SMTP server refused the login"));
}

TEST_F(MailSendTest, WithTheServerDownMailsWaitAndArriveOnceItIsBack) {
    const int port = FreePort();
    UsePort(port, [](TSmtpSettings&) {});
    Spool("first");
    Spool("second");
    Server->SpoolPass();
    EXPECT_EQ(Batches().size(), 2u);
    EXPECT_TRUE(Failed().empty());

    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Port = port; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    std::this_thread::sleep_for(100ms);  // past both batches' wait
    ASSERT_TRUE(SendAll());
    EXPECT_EQ(peer.Count(), 2u);
    // Both batches went over one connection.
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_TRUE(Failed().empty());
}

TEST_F(MailSendTest, AWaitingBatchHoldsBackNoNewerOne) {
    TTestSmtpPeer peer(Peer("smtp"),
                       Options([&](auto& o) { o.RcptAnswers = {"late@example.org=451"}; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Server->RetryDelayMs = 3600 * 1000;
    Server->LongestRetryDelayMs = 3600 * 1000;
    Spool("Late", "late@example.org");
    Server->SpoolPass();
    EXPECT_EQ(Batches().size(), 1u);
    EXPECT_TRUE(LogHas("next try in 3600 s"));
    Spool("Fresh");
    Server->SpoolPass();
    ASSERT_EQ(peer.Count(), 1u);
    EXPECT_EQ(peer.Mails()[0].Meta.at("rcpt"), "zoe@example.org");
    EXPECT_EQ(Batches().size(), 1u);  // the deferred one waits for its hour
}

TEST_F(MailSendTest, PermanentRefusalMovesTheMailToFailedUnderItsBatchName) {
    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Answer = "550"; }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Spool();
    const std::string batch = Batches().at(0).filename().string();
    Server->SpoolPass();
    EXPECT_TRUE(Batches().empty());
    EXPECT_EQ(Failed(), std::vector<std::string>{batch + "-user000.mail"});
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
    EXPECT_TRUE(Failed().empty());

    Server->GiveUpMs = 0;  // the day is over
    ASSERT_TRUE(SendAll());
    EXPECT_EQ(Failed(), std::vector<std::string>{batch + "-user000.mail"});
}

TEST_F(MailSendTest, TheDayOfFailuresCountsFromTheFirstFailureAcrossRestarts) {
    const int port = FreePort();
    UsePort(port, [](TSmtpSettings&) {});
    Spool();
    const std::string batch = Batches().at(0).filename().string();
    Server->SpoolPass();
    EXPECT_TRUE(fs::exists(Batches().at(0) / "retry"));
    std::this_thread::sleep_for(600ms);

    NewServer();
    Server->GiveUpMs = 500;
    UsePort(port, [](TSmtpSettings&) {});
    // One pass of the new server: it knows the batch has been failing for long enough.
    Server->SpoolPass();
    EXPECT_TRUE(Batches().empty());
    EXPECT_EQ(Failed(), std::vector<std::string>{batch + "-user000.mail"});
    EXPECT_TRUE(LogHas("Mail batch \"" + batch + "\" fails (not sent for "));
}

TEST_F(MailSendTest, AServerThatNeverAnswersHoldsTheSenderOnlyUntilTheDeadline) {
    // It takes connections but never greets: the kernel completes them while nobody accepts.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    Server->AnswerTimeoutSeconds = 1;
    UsePort(ntohs(address.sin_port), [](TSmtpSettings&) {});
    Spool();
    Server->SpoolPass();
    close(listener);
    EXPECT_EQ(Batches().size(), 1u);
    EXPECT_TRUE(Failed().empty());
    EXPECT_TRUE(LogHas("server response timeout"));
}

TEST_F(MailSendTest, AMailWhoseAnswerNeverComesIsNotSentAgain) {
    const fs::path release = Root / "release";
    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Hold = release.string(); }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    Server->AnswerTimeoutSeconds = 1;
    UsePeer(peer);
    Spool();
    const std::string batch = Batches().at(0).filename().string();
    Server->SpoolPass();
    std::ofstream(release) << "1";
    EXPECT_EQ(peer.Count(), 1u);  // the server has it: it must not get it twice
    EXPECT_TRUE(Batches().empty());
    EXPECT_EQ(Failed(), std::vector<std::string>{batch + "-user000.mail"});
    EXPECT_TRUE(LogHas("may have reached the server"));
}

TEST_F(MailSendTest, NoMailGoesOutThatTheSpoolCannotMarkAsSending) {
    TTestSmtpPeer peer(Peer("smtp"), {});
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Spool();
    TTestMount readOnly = TTestMount::ReadOnly(Batches().at(0));
    if (!readOnly.Mounted) {
        GTEST_SKIP() << "no mounts can be made here";
    }
    for (int pass = 0; pass < 3; ++pass) {
        Server->SpoolPass();
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(peer.Count(), 0u);
    EXPECT_TRUE(LogHas("is not sent: the spool cannot be written"));
    readOnly.Undo();
    ASSERT_TRUE(SendAll());
    EXPECT_EQ(peer.Count(), 1u);
}

TEST_F(MailSendTest, AMailTheServerTookIsNotSentAgainWhenItsFileCannotBeRemoved) {
    if (!PrivateMounts()) {
        GTEST_SKIP() << "no mounts can be made here";
    }
    const fs::path release = Root / "release";
    TTestSmtpPeer peer(Peer("smtp"), Options([&](auto& o) { o.Hold = release.string(); }));
    ASSERT_TRUE(peer.Ready) << peer.Log();
    UsePeer(peer);
    Spool();
    const fs::path folder = Batches().at(0);
    const std::string batch = folder.filename().string();
    std::thread pass([&] { Server->SpoolPass(); });
    ASSERT_TRUE(peer.WaitForCount(1)) << peer.Log();
    // The server has the mail and holds its answer while the spool turns read-only.
    TTestMount readOnly = TTestMount::ReadOnly(folder);
    std::ofstream(release) << "1";
    pass.join();
    ASSERT_TRUE(readOnly.Mounted);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(50ms);
        Server->SpoolPass();
    }
    EXPECT_EQ(peer.Count(), 1u);
    EXPECT_TRUE(LogHas("its outcome is kept until the spool takes it, and it is not sent again"));

    // After a restart the mail's fate is unknown: it is not sent again either.
    NewServer();
    UsePeer(peer);
    Server->SpoolPass();
    readOnly.Undo();
    ASSERT_TRUE(SendAll());
    EXPECT_EQ(peer.Count(), 1u);
    EXPECT_EQ(Failed(), std::vector<std::string>{batch + "-user000.mail"});
    EXPECT_TRUE(LogHas("was being sent when the server stopped"));
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
