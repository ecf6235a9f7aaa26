// The control server's command set against a live server on a loopback port.

#include "server/protocol/lmVmServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxLogFile.h"
#include "foundation/kxLoginDigest.h"
#include "foundation/kxUnicode.h"
#include "server/core/lmVmVersion.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestInstallation.h"
#include "support/TestManagerConnection.h"
#include "support/TestSockets.h"
#include "support/TestWait.h"
#include "support/TestXML.h"

namespace {

using namespace std::chrono_literals;

using testing_support::ClosedByServer;
using testing_support::FrameHeader;
using testing_support::OnlyXMLCharacters;
using testing_support::RawConnection;
using testing_support::UidChildren;
using testing_support::WaitFor;

std::string Text(TXMLPacket& packet, const char* name) {
    packet.Document.GotoRoot();
    return packet.Document.ChildText(name).AsRawString();
}

// A manager's connection that keeps every packet it receives, in order.
class TManager {
  public:
    explicit TManager(uint16_t port) {
        Client.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
            auto copy = std::make_unique<TXMLPacket>();
            copy->Assign(packet);
            std::lock_guard lock(FLock);
            FPackets.push_back(std::move(copy));
            FChanged.notify_all();
        };
        Client.OnDisconnected = [this](TXMLClient&) { Closed = true; };
        EXPECT_TRUE(Client.Connect("127.0.0.1", port));
        Info = Next();
        EXPECT_TRUE(Info && Info->Type == "serverinfo");
    }
    // The reader thread must be gone before the packets it stores are.
    ~TManager() { Client.Disconnect(); }
    TManager(const TManager&) = delete;
    TManager& operator=(const TManager&) = delete;

    // The next packet other than "serverstate" (which comes whenever the counts change), or
    // none within the limit.
    TXMLPacketPtr Next(std::chrono::milliseconds limit = 5000ms, bool skipState = true) {
        std::unique_lock lock(FLock);
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (!FChanged.wait_until(lock, end, [this] { return !FPackets.empty(); }))
                return nullptr;
            TXMLPacketPtr packet = std::move(FPackets.front());
            FPackets.pop_front();
            if (!skipState || packet->Type != "serverstate")
                return packet;
        }
    }

    bool Send(TXMLPacketPtr packet) { return Client.Send(std::move(packet)); }

    void Login() {
        ASSERT_TRUE(Send(NewPacket("login", LoginDigest(ControlSecret(), Text(*Info, "uid")))));
        TXMLPacketPtr reply = Next();
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->Type, "msg");
        ASSERT_EQ(reply->Subtype, "login");
        ASSERT_EQ(Text(*reply, "success"), "1");
    }

    TXMLClient Client;
    TXMLPacketPtr Info;
    std::atomic<bool> Closed{false};

  private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TXMLPacketPtr> FPackets;
};

class ControlServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Folder = Install.Folder().string() + "/";
        LogOpen(Folder + "logs/", "lmvidmill", VersionText("v"), 0, false);
        Server = std::make_unique<TVmServer>(Folder, TVmCommandLine({"SERVERPORT:0"}), Pixels);
        ASSERT_TRUE(Server->Start());
        Port = Server->ListeningPort();
        ASSERT_NE(Port, 0);
    }
    void TearDown() override {
        Release = true;
        // A job still running relays its task events through the engine: it ends first.
        WaitFor([this] { return Tasks.BusyCount() == 0; });
        if (Server) {
            Server->Engine().DetachTaskList();
            Server.reset();
        }
        LogClose();
    }

    bool LogHas(const std::string& text) {
        return WaitFor([&] { return Install.LogText().find(text) != std::string::npos; });
    }

    // Attaches the task list with a job that reports progress and waits until released.
    void AttachTasks() {
        Tasks.SetJobEvent([this](TTaskItem& task, TVmSource&, TVmProcessor&) {
            task.SetState(tsTranscoding);
            while (!Release.load())
                std::this_thread::sleep_for(5ms);
            task.SetState(tsFinished);
        });
        Server->Engine().AttachTaskList(&Tasks);
    }

    // A source with a processor whose watch folder is private to the test.
    std::shared_ptr<TVmSource> NewSource() {
        std::lock_guard lock(Server->Engine());
        auto source = Server->Engine().Sources().AddNew();
        TVmSourceSettings s = source->Settings();
        s.WatchFolder = Folder + "watch/";
        s.ExtensionFilter = "*.mov";
        s.Processor = Server->Engine().Processors().AddNew();
        source->SetSettings(s);
        return source;
    }

    testing_support::TTestInstallation Install;
    std::string Folder;
    TVmPixelLibrary Pixels;
    TVmTaskList Tasks;
    std::atomic<bool> Release{false};
    std::unique_ptr<TVmServer> Server;
    uint16_t Port = 0;
};

TEST_F(ControlServerTest, GreetsWithChallengeAndLogsInOnlyWithTheRightDigest) {
    EXPECT_TRUE(LogHas("Starting Vidmill using TCP port 0: Success."));
    TManager manager(Port);
    TXMLPacket& info = *manager.Info;
    EXPECT_EQ(Text(info, "version"), VersionText("v"));
    EXPECT_EQ(Text(info, "protocolversion"), "1");
    TGUID challenge;
    EXPECT_TRUE(StringToGUID(Text(info, "uid"), challenge));
    EXPECT_EQ(Text(info, "uid"), GUIDToString(challenge));  // registry form, upper case
    EXPECT_TRUE(LogHas("Client connected: 127.0.0.1"));

    // A digest in lower case is not the digest: refused after the pause, connection kept.
    std::string lower = LoginDigest(ControlSecret(), Text(info, "uid"));
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(manager.Send(NewPacket("login", lower)));
    TXMLPacketPtr refused = manager.Next();
    ASSERT_TRUE(refused);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    EXPECT_EQ(refused->Type, "msg");
    EXPECT_EQ(refused->Subtype, "");
    EXPECT_EQ(Text(*refused, "success"), "0");
    EXPECT_EQ(Text(*refused, "message"), "Handshake failed.");
    EXPECT_FALSE(manager.Closed.load());

    manager.Login();
    // Each connection gets its own challenge.
    TManager other(Port);
    EXPECT_NE(Text(*other.Info, "uid"), Text(info, "uid"));
}

TEST_F(ControlServerTest, AnythingBeforeLoginClosesTheConnection) {
    for (const char* type : {"getconfig", "addsource", "noop", ""}) {
        SCOPED_TRACE(type);
        TManager manager(Port);
        ASSERT_TRUE(manager.Send(NewPacket(type)));
        EXPECT_TRUE(WaitFor([&] { return manager.Closed.load(); }));
        EXPECT_FALSE(manager.Next(100ms));
    }
    std::lock_guard lock(Server->Engine());
    EXPECT_EQ(Server->Engine().Sources().Count(), 0);
}

TEST_F(ControlServerTest, BeforeLoginOnlyALoginSizedFrameWithoutAFileIsTaken) {
    // Refused on the header: the server closes before the rest of the frame is sent.
    for (const std::string& header : {FrameHeader(LoginFrameLength + 1, 100, 0),
                                      FrameHeader(64 << 20, 100, 0), FrameHeader(200, 100, -1)}) {
        auto raw = RawConnection(Port);
        ASSERT_TRUE(raw);
        ASSERT_TRUE(raw->Send(header.data(), header.size()));
        EXPECT_TRUE(ClosedByServer(*raw));
    }
    EXPECT_TRUE(LogHas("Frame of 4097 bytes refused (limit 4096) from 127.0.0.1"));
    EXPECT_TRUE(LogHas("Frame with a file refused from 127.0.0.1"));

    // Once logged in, a manager may send large frames (but still no file).
    TManager manager(Port);
    manager.Login();
    TXMLPacketPtr large = NewPacket("noop");
    large->Document.AddElement("pad", std::string(1 << 20, 'x'));
    ASSERT_TRUE(manager.Send(std::move(large)));
    ASSERT_TRUE(manager.Send(NewPacket("gettasklist")));
    TXMLPacketPtr tasks = manager.Next();
    ASSERT_TRUE(tasks);
    EXPECT_EQ(tasks->Type, "tasklist");
    std::istringstream file("content");
    TXMLPacketPtr upload = NewPacket("noop");
    upload->SetFile(&file);
    manager.Send(std::move(upload));
    EXPECT_TRUE(WaitFor([&] { return manager.Closed.load(); }));
}

TEST_F(ControlServerTest, AConnectionThatDoesNotLogInSoonIsDropped) {
    Server->LoginTimeout = 300;
    TManager anonymous(Port);
    TManager manager(Port);
    manager.Login();
    EXPECT_TRUE(WaitFor([&] { return anonymous.Closed.load(); }));
    EXPECT_TRUE(LogHas("Client 127.0.0.1 did not log in within 300 ms; connection closed"));
    // The logged-in one stays well past the time-out.
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(manager.Closed.load());
    ASSERT_TRUE(manager.Send(NewPacket("gettasklist")));
    TXMLPacketPtr tasks = manager.Next();
    ASSERT_TRUE(tasks);
    EXPECT_EQ(tasks->Type, "tasklist");
}

TEST_F(ControlServerTest, ControlCharactersInTheEngineNameNeverReachTheWire) {
    {
        std::lock_guard lock(Server->Engine());
        TVmEngineSettings settings = Server->Engine().Settings();
        settings.Name = "Ingest\x01 one\xEF\xBF\xBF";
        settings.Desc = std::string("tab\tnul\0", 9);
        Server->Engine().SetSettings(settings);
    }
    // The greeting as it comes off the wire.
    auto raw = RawConnection(Port);
    ASSERT_TRUE(raw);
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < 4 ||
           bytes.size() < 4 + static_cast<size_t>(static_cast<uint8_t>(bytes[0]) |
                                                  static_cast<uint8_t>(bytes[1]) << 8)) {
        ASSERT_EQ(raw->WaitReadable(5000), 1);
        const int64_t got = raw->Receive(buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        bytes.append(buffer, static_cast<size_t>(got));
    }
    const std::string xml = bytes.substr(12);
    EXPECT_TRUE(OnlyXMLCharacters(xml)) << xml;
    EXPECT_NE(xml.find("<name>Ingest one</name>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<description>tab\tnul</description>"), std::string::npos) << xml;

    // A "setengine" whose text carries control bytes is cleaned before it is kept.
    TManager manager(Port);
    manager.Login();
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<packet type=\"setengine\"><name>Two\x02\x1B</name></packet>";
    const std::string frame =
        FrameHeader(static_cast<int32_t>(body.size() + 8), static_cast<int32_t>(body.size()), 0) +
        body;
    ASSERT_TRUE(manager.Client.Socket().Send(frame.data(), frame.size()));
    TXMLPacketPtr reply = manager.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Text(*reply, "success"), "1");
    {
        std::lock_guard lock(Server->Engine());
        EXPECT_EQ(Server->Engine().Settings().Name, "Two");
    }
    TManager next(Port);
    EXPECT_EQ(Text(*next.Info, "name"), "Two");
    next.Login();
}

TEST_F(ControlServerTest, AddsAreBroadcastSetsAnsweredToTheSenderOnly) {
    Install.WriteFile("EmailTemplates/done.html", "<html/>");
    Install.WriteFile("EmailTemplates/FAILED.HTML", "<html/>");
    Install.WriteFile("EmailTemplates/notes.txt", "x");
    Install.WriteFile("EmailTemplates/nested/inner.html", "<html/>");
    TManager a(Port), b(Port), anonymous(Port);
    a.Login();
    b.Login();

    ASSERT_TRUE(a.Send(NewPacket("addtarget")));
    TXMLPacketPtr onA = a.Next(), onB = b.Next();
    ASSERT_TRUE(onA && onB);
    // A peer that has not logged in learns nothing of the configuration.
    EXPECT_FALSE(anonymous.Next(200ms, /*skipState=*/false));
    EXPECT_EQ(onA->Type, "target");
    EXPECT_EQ(onB->Type, "target");
    EXPECT_EQ(onA->Subtype, onB->Subtype);
    EXPECT_EQ(Text(*onA, "uid"), onA->Subtype);
    const std::string uid = onA->Subtype;

    // The body carries no uid: the target keeps its own.
    TXMLPacketPtr set = NewPacket("settarget", uid);
    set->Document.AddElement("name", "Renamed target");
    ASSERT_TRUE(a.Send(std::move(set)));
    TXMLPacketPtr reply = a.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Type, "msg");
    EXPECT_EQ(Text(*reply, "success"), "1");
    // Unknown uid: no reply. Bad subtype: logged, no reply.
    TXMLPacketPtr unknown = NewPacket("settarget", GUIDToString(NewGUID()));
    unknown->Document.AddElement("name", "Nobody");
    ASSERT_TRUE(a.Send(std::move(unknown)));
    ASSERT_TRUE(a.Send(NewPacket("settarget", "not-a-guid")));
    ASSERT_TRUE(a.Send(NewPacket("addproject")));
    TXMLPacketPtr projectOnA = a.Next(), projectOnB = b.Next();
    ASSERT_TRUE(projectOnA && projectOnB);
    EXPECT_EQ(projectOnA->Type, "project");  // nothing came in between on either side
    EXPECT_EQ(projectOnB->Type, "project");
    EXPECT_TRUE(LogHas("Error in OnXMLPacket: settarget("));

    ASSERT_TRUE(b.Send(NewPacket("getconfig")));
    TXMLPacketPtr config = b.Next();
    ASSERT_TRUE(config);
    ASSERT_EQ(config->Type, "config");
    std::string xml;
    config->Document.SaveToString(xml);
    EXPECT_NE(xml.find("Renamed target"), std::string::npos);
    EXPECT_NE(xml.find(uid), std::string::npos);
    EXPECT_EQ(xml.find("Nobody"), std::string::npos);
    TXMLElement* templates = config->Document.Root()->FindChild("templates");
    ASSERT_TRUE(templates);
    std::vector<std::string> names;
    for (int i = 0; i < templates->ChildCount(); ++i)
        names.push_back(templates->Children(i)->Text.Text);
    // The installation brings the two default templates.
    EXPECT_EQ(names, (std::vector<std::string>{"FAILED.HTML", "done.html", "sample-completed.html",
                                               "sample-failed.html"}));

    // Saved after every change.
    std::ifstream stored(Server->ConfigPath());
    std::stringstream content;
    content << stored.rdbuf();
    EXPECT_NE(content.str().find("Renamed target"), std::string::npos);

    // A delete of an unknown uid is broadcast all the same.
    const std::string stranger = GUIDToString(NewGUID());
    ASSERT_TRUE(a.Send(NewPacket("deltarget", stranger)));
    TXMLPacketPtr delA = a.Next(), delB = b.Next();
    ASSERT_TRUE(delA && delB);
    EXPECT_EQ(delB->Type, "deltarget");
    EXPECT_EQ(delB->Subtype, stranger);
    ASSERT_TRUE(a.Send(NewPacket("deltarget", uid)));
    ASSERT_TRUE(b.Next());
    std::lock_guard lock(Server->Engine());
    TGUID removed;
    ASSERT_TRUE(StringToGUID(uid, removed));
    EXPECT_FALSE(Server->Engine().Targets().FindByUid(removed));
}

// A Reelbank target's own secret is set through the control protocol and kept in the store,
// but never goes back to a manager, which only learns that one is set; a set that does not
// carry it (from a manager that never saw it) keeps it.
TEST_F(ControlServerTest, ATargetsSecretIsStoredButNeverSentToManagers) {
    TManager manager(Port);
    manager.Login();
    ASSERT_TRUE(manager.Send(NewPacket("addtarget")));
    TXMLPacketPtr added = manager.Next();
    ASSERT_TRUE(added);
    const std::string uid = added->Subtype;
    for (const bool withSecret : {true, false}) {
        TXMLPacketPtr set = NewPacket("settarget", uid);
        set->Document.AddElement("name", withSecret ? "Archive" : "Archive renamed");
        set->Document.AddInteger("type", 1);
        if (withSecret)
            set->Document.AddElement("secret", "Gr33n-Room-Archive");
        ASSERT_TRUE(manager.Send(std::move(set)));
        TXMLPacketPtr reply = manager.Next();
        ASSERT_TRUE(reply);
        EXPECT_EQ(Text(*reply, "success"), "1");
    }
    ASSERT_TRUE(manager.Send(NewPacket("getconfig")));
    TXMLPacketPtr config = manager.Next();
    ASSERT_TRUE(config);
    std::string xml;
    config->Document.SaveToString(xml);
    EXPECT_NE(xml.find("Archive renamed"), std::string::npos);
    EXPECT_EQ(xml.find("Gr33n-Room-Archive"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<hassecret>1</hassecret>"), std::string::npos) << xml;

    std::ifstream stored(Server->ConfigPath());
    std::stringstream content;
    content << stored.rdbuf();
    EXPECT_NE(content.str().find("<secret>Gr33n-Room-Archive</secret>"), std::string::npos);
    std::lock_guard lock(Server->Engine());
    TGUID id;
    ASSERT_TRUE(StringToGUID(uid, id));
    EXPECT_EQ(Server->Engine().Targets().FindByUid(id)->Secret(), "Gr33n-Room-Archive");
}

TEST_F(ControlServerTest, NoopAndUnknownTypesAreNeverAnswered) {
    TManager manager(Port);
    manager.Login();
    ASSERT_TRUE(manager.Send(NewPacket("noop")));
    ASSERT_TRUE(manager.Send(NewPacket("bogus", "x")));
    ASSERT_TRUE(manager.Send(NewPacket("gettasklist")));
    TXMLPacketPtr next = manager.Next();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->Type, "tasklist");
    EXPECT_TRUE(next->Document.Root()->FindChild("tasks"));
    EXPECT_FALSE(manager.Closed.load());
}

TEST_F(ControlServerTest, TaskPushesFollowFilesThroughTheIngestPipeline) {
    AttachTasks();
    auto source = NewSource();
    TManager manager(Port);
    manager.Login();
    std::filesystem::create_directories(source->WatchFolder());
    std::ofstream(source->WatchFolder() + "first.mov") << "clip";
    std::ofstream(source->WatchFolder() + "second.mov") << "clip";
    source->Scan();

    // Two "task" pushes with the full form; the running one reports "Transcoding".
    std::vector<std::string> names;
    std::vector<std::string> uids;
    bool transcoding = false;
    while (names.size() < 2 || !transcoding) {
        TXMLPacketPtr packet = manager.Next();
        ASSERT_TRUE(packet);
        if (packet->Type == "task") {
            names.push_back(Text(*packet, "fname"));
            uids.push_back(Text(*packet, "uid"));
            EXPECT_TRUE(packet->Document.Root()->FindChild("meta"));
        } else if (packet->Type == "taskstate") {
            EXPECT_FALSE(packet->Document.Root()->FindChild("meta"));
            transcoding = transcoding || Text(*packet, "state") == "1";
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"first.mov", "second.mov"}));

    // "serverstate" once the counts differ from the last report (both jobs run on workers
    // of the pool), then not again while nothing changes.
    TXMLPacketPtr state;
    do {
        state = manager.Next(5000ms, false);
        ASSERT_TRUE(state);
    } while (state->Type != "serverstate" || Text(*state, "active") != "2");
    EXPECT_EQ(Text(*state, "queued"), "0");
    EXPECT_EQ(Text(*state, "failed"), "0");
    TXMLPacketPtr quiet = manager.Next(2500ms, false);
    EXPECT_TRUE(!quiet || quiet->Type != "serverstate");

    // "setprior" names only the tasks found; "remtask" echoes every uid asked for.
    const std::string unknown = GUIDToString(NewGUID());
    TXMLPacketPtr prior = NewPacket("setprior");
    prior->Document.AddAttributeInteger("priority", 5);
    prior->Document.AddElement("uid", uids[0]);
    prior->Document.AddElement("uid", unknown);
    ASSERT_TRUE(manager.Send(std::move(prior)));
    TXMLPacketPtr priorDone = manager.Next();
    ASSERT_TRUE(priorDone);
    EXPECT_EQ(priorDone->Type, "setprior");
    EXPECT_EQ(priorDone->Document.Root()->AttributeByName("priority").Value, "5");
    EXPECT_EQ(UidChildren(priorDone->Document.Root()), std::vector<std::string>{uids[0]});
    TGUID first;
    ASSERT_TRUE(StringToGUID(uids[0], first));
    {
        std::lock_guard lock(Tasks);
        ASSERT_TRUE(Tasks.FindByUid(first));
        EXPECT_EQ(Tasks.FindByUid(first)->Priority(), 5);
    }

    Release = true;
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(Tasks);
        for (int i = 0; i < Tasks.Count(); ++i)
            if (Tasks.Items(i)->State() != tsFinished)
                return false;
        // A task stays running, and cannot be removed, until its worker is back in the pool.
        return Tasks.BusyCount() == 0;
    }));
    TXMLPacketPtr rem = NewPacket("remtask");
    rem->Document.AddElement("uid", unknown);
    rem->Document.AddElement("uid", uids[0]);
    rem->Document.AddElement("uid", "rubbish");
    ASSERT_TRUE(manager.Send(std::move(rem)));
    TXMLPacketPtr removed;
    do {
        removed = manager.Next();
        ASSERT_TRUE(removed);
    } while (removed->Type != "remtask");
    EXPECT_EQ(UidChildren(removed->Document.Root()),
              (std::vector<std::string>{unknown, uids[0], GUIDToString(NullGUID)}));
    std::lock_guard lock(Tasks);
    EXPECT_FALSE(Tasks.FindByUid(first));
    EXPECT_EQ(Tasks.Count(), 1);
}

TEST_F(ControlServerTest, SetEngineWithANewPortDropsEveryConnectionAndListensAgain) {
    TManager a(Port), b(Port);
    a.Login();
    b.Login();
    TXMLPacketPtr engine = NewPacket("setengine");
    engine->Document.AddElement("name", "Ingest two");
    engine->Document.AddInteger("port", 9123);
    ASSERT_TRUE(a.Send(std::move(engine)));
    EXPECT_TRUE(WaitFor([&] { return a.Closed.load() && b.Closed.load(); }));
    EXPECT_TRUE(LogHas("Stopped listening on TCP port: " + std::to_string(Port)));
    ASSERT_TRUE(WaitFor([&] { return Server->ListeningPort() != 0; }));
    EXPECT_TRUE(LogHas("Starting server using TCP port " + std::to_string(Server->ListeningPort()) +
                       ": Success."));
    TManager again(Server->ListeningPort());
    EXPECT_EQ(Text(*again.Info, "name"), "Ingest two");
    again.Login();
    std::lock_guard lock(Server->Engine());
    EXPECT_EQ(Server->Engine().Settings().Port, 9123);
}

TEST_F(ControlServerTest, BadInputClosesOnlyTheOffendingConnection) {
    TManager manager(Port);
    manager.Login();
    auto frame = [](int32_t l, const std::string& rest) {
        std::string bytes;
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<char>((static_cast<uint32_t>(l) >> (8 * i)) & 0xFF));
        return bytes + rest;
    };
    std::string noise(3000, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2246822519u) >> 11);
    const std::string xml = "<packet type=\"getconfig\"><<";
    std::string malformed;
    for (int32_t v : {static_cast<int32_t>(xml.size() + 8), static_cast<int32_t>(xml.size()), 0})
        for (int i = 0; i < 4; ++i)
            malformed.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
    malformed += xml;
    const std::vector<std::string> inputs = {noise, frame(-1, ""), frame(INT32_MAX, ""),
                                             frame(100, "short"), malformed};
    for (const std::string& input : inputs) {
        TqvSocket raw;
        uint32_t address = 0;
        ASSERT_TRUE(port::ResolveIPv4("127.0.0.1", address));
        ASSERT_TRUE(raw.Open());
        ASSERT_TRUE(raw.ConnectTo(address, Port));
        raw.Send(input.data(), input.size());
        if (input == noise || input == frame(100, "short")) {
            // Noise may read as the start of a long frame: whatever it is, the connection
            // goes away here and the server carries on.
            raw.Close();
            continue;
        }
        // The greeting may arrive first; then the server closes the connection.
        bool closed = false;
        char buffer[4096];
        for (int i = 0; i < 100 && !closed; ++i)
            if (raw.WaitReadable(100) == 1)
                closed = raw.Receive(buffer, sizeof buffer) <= 0;
        EXPECT_TRUE(closed);
    }
    // The logged-in manager was never disturbed and is still served.
    ASSERT_TRUE(manager.Send(NewPacket("getconfig")));
    TXMLPacketPtr config = manager.Next();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->Type, "config");
    EXPECT_FALSE(manager.Closed.load());
    EXPECT_TRUE(LogHas("Invalid socket size -1 message received."));
}

std::string StoredConfig(TVmServer& server) {
    std::ifstream stored(server.ConfigPath());
    std::stringstream content;
    content << stored.rdbuf();
    return content.str();
}

// The name of the object with this uid in the collection, or "(none)".
template <class TCollection>
std::string NameIn(const TCollection& items, const std::string& uid) {
    TGUID guid;
    if (!StringToGUID(uid, guid))
        return "(bad uid)";
    auto item = items.FindByUid(guid);
    return item ? item->Name() : std::string("(none)");
}

// The next packet of this type, passing over task pushes and anything else before it.
TXMLPacketPtr NextOfType(TManager& manager, const std::string& type) {
    for (;;) {
        TXMLPacketPtr packet = manager.Next();
        if (!packet || packet->Type == type)
            return packet;
    }
}

struct TSetCase {
    const char* Add;
    const char* Element;
    const char* Set;
    std::function<std::string(TVmEngine&, const std::string& uid)> Name;
};

TEST_F(ControlServerTest, SetCommandsLoadTheBodyIntoTheNamedObjectOfEveryKind) {
    const std::vector<TSetCase> cases = {
        {"addsource", "source", "setsource",
         [](TVmEngine& e, const std::string& uid) { return NameIn(e.Sources(), uid); }},
        {"addproc", "processor", "setprocessor",
         [](TVmEngine& e, const std::string& uid) { return NameIn(e.Processors(), uid); }},
        {"addtarget", "target", "settarget",
         [](TVmEngine& e, const std::string& uid) { return NameIn(e.Targets(), uid); }},
        {"addproject", "project", "setproject",
         [](TVmEngine& e, const std::string& uid) { return NameIn(e.Projects(), uid); }},
        {"adduser", "user", "setuser",
         [](TVmEngine& e, const std::string& uid) { return NameIn(e.Users(), uid); }},
    };
    TManager a(Port), b(Port);
    a.Login();
    b.Login();
    for (const TSetCase& c : cases) {
        SCOPED_TRACE(c.Set);
        ASSERT_TRUE(a.Send(NewPacket(c.Add)));
        TXMLPacketPtr added = a.Next();
        ASSERT_TRUE(added);
        ASSERT_EQ(added->Type, c.Element);
        ASSERT_TRUE(b.Next());
        const std::string uid = added->Subtype;

        // The body names another uid: the object keeps its own all the same.
        const std::string name = std::string("Set ") + c.Element;
        const std::string otherUid = GUIDToString(NewGUID());
        const std::string watch = Folder + "set-watch/";
        TXMLPacketPtr set = NewPacket(c.Set, uid);
        set->Document.AddElement("uid", otherUid);
        set->Document.AddElement("name", name);
        set->Document.AddElement("wfolder", watch);
        ASSERT_TRUE(a.Send(std::move(set)));
        TXMLPacketPtr reply = a.Next();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->Type, "msg");
        EXPECT_EQ(reply->Subtype, "");
        EXPECT_EQ(Text(*reply, "success"), "1");
        EXPECT_EQ(Text(*reply, "message"), "");

        // An unknown uid is not answered; the other manager hears of neither.
        TXMLPacketPtr unknown = NewPacket(c.Set, GUIDToString(NewGUID()));
        unknown->Document.AddElement("name", "Nobody");
        ASSERT_TRUE(a.Send(std::move(unknown)));
        for (TManager* manager : {&a, &b}) {
            ASSERT_TRUE(manager->Send(NewPacket("gettasklist")));
            TXMLPacketPtr next = manager->Next();
            ASSERT_TRUE(next);
            EXPECT_EQ(next->Type, "tasklist");
        }

        {
            std::lock_guard lock(Server->Engine());
            EXPECT_EQ(c.Name(Server->Engine(), uid), name);
            EXPECT_EQ(c.Name(Server->Engine(), otherUid), "(none)");
        }
        const std::string stored = StoredConfig(*Server);
        EXPECT_NE(stored.find(name), std::string::npos);
        EXPECT_EQ(stored.find("Nobody"), std::string::npos);
        if (std::string(c.Element) == "source") {
            // The source was activated again on its new settings: its watch folder exists.
            EXPECT_TRUE(std::filesystem::is_directory(watch));
        }
    }
}

TEST_F(ControlServerTest, AddressesThatWouldAddMailHeadersAreRefusedAndNothingIsStored) {
    TManager manager(Port);
    manager.Login();
    std::shared_ptr<TVmUser> user;
    {
        std::lock_guard lock(Server->Engine());
        TVmEngineSettings settings = Server->Engine().Settings();
        settings.SFromEmail = "mill@example.org";
        Server->Engine().SetSettings(settings);
        user = Server->Engine().Users().AddNew();
        user->SetName("Ann");
        user->SetEmail("ann@example.org");
    }
    Server->SaveConfig();
    const std::string stored = StoredConfig(*Server);
    const std::string injected = "x@example.org\r\nBcc: eve@example.org";

    // The engine settings: the sender's copy is set back with the whole configuration.
    TXMLPacketPtr engine = NewPacket("setengine");
    engine->Document.AddElement("name", "Changed");
    engine->Document.AddElement("sfromemail", injected);
    ASSERT_TRUE(manager.Send(std::move(engine)));
    TXMLPacketPtr config = manager.Next();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->Type, "config");
    EXPECT_EQ(Text(*config, "sfromemail"), "mill@example.org");
    TXMLPacketPtr reply = manager.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Text(*reply, "success"), "0");
    EXPECT_NE(Text(*reply, "message")
                  .find("Engine settings refused: the sender address "
                        "\"sfromemail\" (\"x@example.org\\x0D\\x0ABcc"),
              std::string::npos)
        << Text(*reply, "message");

    // A user: the sender gets the user back as the engine keeps it.
    TXMLPacketPtr set = NewPacket("setuser", GUIDToString(user->Uid()));
    set->Document.AddElement("name", "Eve");
    set->Document.AddElement("email", injected);
    ASSERT_TRUE(manager.Send(std::move(set)));
    TXMLPacketPtr kept = manager.Next();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->Type, "user");
    EXPECT_EQ(Text(*kept, "email"), "ann@example.org");
    reply = manager.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Text(*reply, "success"), "0");
    EXPECT_NE(Text(*reply, "message").find("the e-mail address"), std::string::npos);

    // A CA file that is not there is refused as well; sound values are taken.
    engine = NewPacket("setengine");
    engine->Document.AddElement("smtpcafile", Folder + "absent.pem");
    ASSERT_TRUE(manager.Send(std::move(engine)));
    ASSERT_TRUE(NextOfType(manager, "config"));
    reply = manager.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Text(*reply, "success"), "0");
    EXPECT_NE(Text(*reply, "message").find("\"smtpcafile\""), std::string::npos);
    EXPECT_EQ(StoredConfig(*Server), stored);
    {
        std::lock_guard lock(Server->Engine());
        EXPECT_EQ(Server->Engine().Settings().Name, "");
        EXPECT_EQ(Server->Engine().Settings().SFromEmail, "mill@example.org");
        EXPECT_EQ(user->Name(), "Ann");
        EXPECT_EQ(user->Email(), "ann@example.org");
    }
    EXPECT_TRUE(LogHas("Refused \"setuser\" from 127.0.0.1: the e-mail address"));

    Install.WriteFile("ca.pem", "certificates");
    engine = NewPacket("setengine");
    engine->Document.AddElement("sfromemail", "ops@example.org");
    engine->Document.AddBoolean("smtpallowplain", true);
    engine->Document.AddElement("smtpcafile", Folder + "ca.pem");
    ASSERT_TRUE(manager.Send(std::move(engine)));
    reply = manager.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Text(*reply, "success"), "1");
    const TSmtpSettings mail = Server->Engine().MailServer().SmtpSettings();
    EXPECT_EQ(mail.FromEmail, "ops@example.org");
    EXPECT_TRUE(mail.AllowPlain);
    EXPECT_EQ(mail.CAFile, Folder + "ca.pem");
    EXPECT_NE(StoredConfig(*Server).find("<smtpallowplain>1</smtpallowplain>"), std::string::npos);
}

// One of each kind, every reference between them in place.
struct TObjectGraph {
    std::shared_ptr<TVmSource> Source;
    std::shared_ptr<TVmProcessor> Processor;
    std::shared_ptr<TVmTarget> Target;
    std::shared_ptr<TVmProject> Project;
    std::shared_ptr<TVmUser> User;
};

TObjectGraph NewObjectGraph(TVmEngine& engine) {
    std::lock_guard lock(engine);
    TObjectGraph g;
    g.User = engine.Users().AddNew();
    g.Project = engine.Projects().AddNew();
    g.Project->FailureQueue().AddRecipient(g.User);
    g.Project->CompletionQueue().AddRecipient(g.User);
    g.Target = engine.Targets().AddNew();
    g.Processor = engine.Processors().AddNew();
    g.Processor->AddTarget(g.Target);
    g.Source = engine.Sources().AddNew();
    g.Source->SetProcessor(g.Processor);
    g.Source->SetProject(g.Project);
    return g;
}

struct TDeleteCase {
    const char* Command;
    std::function<TGUID(const TObjectGraph&)> Uid;
    std::function<bool(TVmEngine&, const TGUID&)> Configured;
    // Whether anything else configured still refers to the object.
    std::function<bool(const TObjectGraph&)> Referenced;
};

TEST_F(ControlServerTest, DeleteCommandsRemoveTheObjectAndEveryReferenceToIt) {
    const std::vector<TDeleteCase> cases = {
        {"delsource", [](const TObjectGraph& g) { return g.Source->Uid(); },
         [](TVmEngine& e, const TGUID& uid) { return e.Sources().FindByUid(uid) != nullptr; },
         [](const TObjectGraph&) { return false; }},
        {"delproc", [](const TObjectGraph& g) { return g.Processor->Uid(); },
         [](TVmEngine& e, const TGUID& uid) { return e.Processors().FindByUid(uid) != nullptr; },
         [](const TObjectGraph& g) { return g.Source->Processor() != nullptr; }},
        {"deltarget", [](const TObjectGraph& g) { return g.Target->Uid(); },
         [](TVmEngine& e, const TGUID& uid) { return e.Targets().FindByUid(uid) != nullptr; },
         [](const TObjectGraph& g) { return g.Processor->TargetCount() != 0; }},
        {"delproj", [](const TObjectGraph& g) { return g.Project->Uid(); },
         [](TVmEngine& e, const TGUID& uid) { return e.Projects().FindByUid(uid) != nullptr; },
         [](const TObjectGraph& g) { return g.Source->Project() != nullptr; }},
        {"deluser", [](const TObjectGraph& g) { return g.User->Uid(); },
         [](TVmEngine& e, const TGUID& uid) { return e.Users().FindByUid(uid) != nullptr; },
         [](const TObjectGraph& g) {
             return !g.Project->FailureQueue().Recipients().empty() ||
                    !g.Project->CompletionQueue().Recipients().empty();
         }},
    };
    TManager a(Port), b(Port);
    a.Login();
    b.Login();
    for (const TDeleteCase& c : cases) {
        SCOPED_TRACE(c.Command);
        const TObjectGraph graph = NewObjectGraph(Server->Engine());
        const TGUID uid = c.Uid(graph);
        TVmEngine& engine = Server->Engine();
        {
            std::lock_guard lock(engine);
            ASSERT_TRUE(c.Configured(engine, uid));
        }
        // The subtype goes back as it came, lower case included.
        std::string subtype = GUIDToString(uid);
        for (char& ch : subtype)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        ASSERT_TRUE(a.Send(NewPacket(c.Command, subtype)));
        for (TManager* manager : {&a, &b}) {
            TXMLPacketPtr deleted = manager->Next();
            ASSERT_TRUE(deleted);
            EXPECT_EQ(deleted->Type, c.Command);
            EXPECT_EQ(deleted->Subtype, subtype);
        }
        std::lock_guard lock(engine);
        EXPECT_FALSE(c.Configured(engine, uid));
        EXPECT_FALSE(c.Referenced(graph));
        EXPECT_EQ(StoredConfig(*Server).find(GUIDToString(uid)), std::string::npos);
    }
}

struct TRemoveCase {
    const char* Command;
    uint8_t State;
};

TEST_F(ControlServerTest, TaskListCommandsCancelAndRemoveTasksByState) {
    // Each file's name says how its job ends; "cancel.mov" runs until it is cancelled.
    Tasks.SetJobEvent([this](TTaskItem& task, TVmSource&, TVmProcessor&) {
        const std::string name = task.FileItem()->FullName();
        task.SetState(tsTranscoding);
        if (name == "failed.mov") {
            task.SetState(tsFailed);
        } else if (name == "finished.mov") {
            task.SetState(tsFinished);
        } else {
            while (!task.CancelRequested() && !Release.load())
                std::this_thread::sleep_for(5ms);
            task.SetState(tsCancelled);
        }
    });
    Server->Engine().AttachTaskList(&Tasks);
    auto source = NewSource();
    TManager a(Port), b(Port);
    a.Login();
    b.Login();
    std::filesystem::create_directories(source->WatchFolder());
    for (const char* name : {"failed.mov", "finished.mov", "cancel.mov"})
        std::ofstream(source->WatchFolder() + name) << "clip";
    source->Scan();

    auto count = [this](uint8_t state) {
        std::lock_guard lock(Tasks);
        int n = 0;
        for (int i = 0; i < Tasks.Count(); ++i)
            n += Tasks.Items(i)->State() == state && !Tasks.Items(i)->Running();
        return n;
    };
    TGUID running = NullGUID;
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(Tasks);
        for (int i = 0; i < Tasks.Count(); ++i)
            if (Tasks.Items(i)->FileItem()->FullName() == "cancel.mov" &&
                Tasks.Items(i)->State() == tsTranscoding)
                running = Tasks.Items(i)->Uid();
        return !running.IsNull();
    }));
    ASSERT_TRUE(WaitFor([&] { return count(tsFailed) == 1 && count(tsFinished) == 1; }));

    // "cantask" has no answer of its own: the cancel arrives as the task's state push.
    TXMLPacketPtr cancel = NewPacket("cantask");
    cancel->Document.AddElement("uid", GUIDToString(NewGUID()));
    cancel->Document.AddElement("uid", GUIDToString(running));
    ASSERT_TRUE(a.Send(std::move(cancel)));
    ASSERT_TRUE(WaitFor([&] { return count(tsCancelled) == 1; }));
    for (TXMLPacketPtr packet = a.Next();; packet = a.Next()) {
        ASSERT_TRUE(packet);
        ASSERT_TRUE(packet->Type == "task" || packet->Type == "taskstate") << packet->Type;
        if (packet->Type == "taskstate" && Text(*packet, "uid") == GUIDToString(running) &&
            Text(*packet, "state") == std::to_string(tsCancelled))
            break;
    }

    const std::vector<TRemoveCase> cases = {
        {"remfailed", tsFailed}, {"remcomp", tsFinished}, {"remcan", tsCancelled}};
    int remaining = 3;
    for (const TRemoveCase& c : cases) {
        SCOPED_TRACE(c.Command);
        ASSERT_TRUE(a.Send(NewPacket(c.Command, "as sent")));
        for (TManager* manager : {&a, &b}) {
            TXMLPacketPtr removed = NextOfType(*manager, c.Command);
            ASSERT_TRUE(removed);
            EXPECT_EQ(removed->Subtype, "as sent");
        }
        --remaining;
        EXPECT_EQ(count(c.State), 0);
        std::lock_guard lock(Tasks);
        EXPECT_EQ(Tasks.Count(), remaining);
    }
}

}  // namespace
