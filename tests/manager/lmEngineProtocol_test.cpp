// The engine against an engine of our own that sends what a test tells it: protocol versions
// the manager does not speak, packets before the login, task pushes a real server never sends
// in that order, dangling references, hostile frames, and many engines connecting and dropping
// at once.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>

#include "ManagerTestKit.h"
#include "support/TestSockets.h"

using namespace manager_testing;

namespace {

namespace fs = std::filesystem;

std::string ConfigPath() {
    std::random_device random;
    return (fs::temp_directory_path() / ("lmv-manager-" + std::to_string(random()) + ".dat"))
        .string();
}

std::string TaskBody(const TGUID& uid, const std::string& name, int state, double progress = 0) {
    return "<uid>" + GUIDToString(uid) +
           "</uid><stime>01-02-2026 10:00:00</stime>"
           "<etime>00-00-0000 00:00:00</etime><qtime>01-02-2026 09:59:00</qtime><fname>" +
           name + "</fname><sid>" + GUIDToString(NewGUID()) + "</sid><state>" +
           std::to_string(state) + "</state><smsg>m" + std::to_string(state) + "</smsg><prog>" +
           std::to_string(progress) + "</prog><prio>0</prio><meta><recallid>R" + name +
           "</recallid></meta>";
}

class EngineProtocol : public ::testing::Test {
  protected:
    // Connects an engine of the fixture to the fake engine and waits for the login.
    TEngine* ConnectedEngine(TFakeEngine& fake, const std::string& secret = std::string()) {
        TEngine* engine = Fixture.AddEngine(fake.Port);
        engine->SetSecret(secret);
        engine->Connect();
        EXPECT_TRUE(Fixture.Until([&] { return engine->ConnectionState() == csConnected; }))
            << engine->StateText() << " " << engine->StatusText();
        // The login reply asked for the configuration and the task list.
        EXPECT_TRUE(Fixture.Until(
            [&] { return fake.ReceivedType("getconfig") && fake.ReceivedType("gettasklist"); }));
        return engine;
    }

    TManagerFixture Fixture{ConfigPath()};
};

}  // namespace

TEST_F(EngineProtocol, AnotherProtocolVersionEndsInErrorWithoutALogin) {
    for (int32_t version : {0, 2}) {
        TFakeEngine fake(version);
        TEngine* engine = Fixture.AddEngine(fake.Port);
        engine->Connect();
        ASSERT_TRUE(Fixture.Until([&] { return engine->ConnectionState() == csError; }));
        EXPECT_EQ(engine->StatusText(),
                  "Manager protocol mismatch for engine version: v9.9 build 7");
        EXPECT_EQ(engine->ServerVersion(), "v9.9 build 7");
        EXPECT_EQ(engine->Name(), "Fake engine");  // the greeting's identity is taken
        EXPECT_FALSE(fake.ReceivedType("login")) << version;
        Fixture.Manager.RemoveEngine(engine);
    }
}

// Until the login succeeded nothing but the greeting and the login reply is acted upon.
TEST_F(EngineProtocol, PacketsBeforeTheLoginAreDropped) {
    TFakeEngine fake(1, /*acceptLogin=*/false);
    TEngine* engine = Fixture.AddEngine(fake.Port);
    engine->Connect();
    ASSERT_TRUE(Fixture.Until([&] { return engine->ConnectionState() == csError; }));
    EXPECT_EQ(engine->StatusText(), "Connection handshake failed.");
    fake.Push("task", "", TaskBody(NewGUID(), "early", 0));
    fake.Push("user", GUIDToString(NewGUID()), "<name>Early</name>");
    fake.Push("serverstate", "", "<queued>3</queued>");
    // A marker the engine answers to shows that everything before it was read.
    fake.Push("serverinfo", "", "<protocolversion>1</protocolversion>");
    ASSERT_TRUE(testing_support::WaitFor([&] { return engine->PacketsHandled() >= 5; }));
    Fixture.Dispatcher.DeliverPending();
    EXPECT_EQ(engine->TaskCount(), 0);
    EXPECT_EQ(engine->Users().Count(), 0);
    EXPECT_EQ(engine->QueuedCount(), 0);
    EXPECT_EQ(Fixture.Log.Count(ntTaskAdded) + Fixture.Log.Count(ntUserAdded), 0);
    // The refused login keeps its connection, as the server keeps it, until the operator
    // disconnects: then it closes, and nothing reconnects.
    EXPECT_EQ(engine->ConnectionState(), csError);
    EXPECT_TRUE(engine->IsConnected());
    engine->Disconnect();
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntConnectionLost) == 1; }));
    EXPECT_EQ(engine->ConnectionState(), csDisconnected);
    EXPECT_FALSE(engine->IsConnected());
    EXPECT_TRUE(testing_support::WaitFor([&] { return fake.Connections() == 0; }));
}

// The engine's own settings go out as "setengine" and are kept even when the send fails, so
// that new connection details take effect at the next connect.
TEST_F(EngineProtocol, EngineSettingsAreKeptWhetherOrNotTheSendSucceeds) {
    TEngine* engine = Fixture.AddEngine(1);
    TEngineSettings settings = engine->Settings();
    settings.Name = "Renamed";
    settings.SHost = "smtp.example";
    EXPECT_FALSE(engine->ApplySettings(settings));
    EXPECT_EQ(engine->Name(), "Renamed");
    EXPECT_EQ(engine->Settings().SHost, "smtp.example");
    auto edit = engine->NewUser();
    edit->Uid = NewGUID();
    EXPECT_FALSE(engine->Apply(*edit));

    TFakeEngine fake;
    TEngine* connected = ConnectedEngine(fake);
    EXPECT_TRUE(connected->ApplySettings(connected->Settings()));
    EXPECT_TRUE(Fixture.Until([&] { return fake.ReceivedType("setengine"); }));
}

// An engine whose installation has its own secret logs in with it, an engine without one with
// the built-in secret; no packet ever carries the secret, "setengine" included.
TEST_F(EngineProtocol, TheEngineLogsInWithItsOwnSecretAndNeverSendsIt) {
    const std::string secret = "k9Qz-site-secret";
    TFakeEngine fake(1, true, secret);
    TEngine* withoutSecret = Fixture.AddEngine(fake.Port, false);
    withoutSecret->Connect();
    ASSERT_TRUE(Fixture.Until([&] { return withoutSecret->ConnectionState() == csError; }));
    EXPECT_EQ(withoutSecret->StatusText(), "Connection handshake failed.");
    Fixture.Manager.RemoveEngine(withoutSecret);

    TEngine* engine = ConnectedEngine(fake, secret);
    EXPECT_EQ(engine->Secret(), secret);
    EXPECT_TRUE(engine->ApplySettings(engine->Settings()));
    ASSERT_TRUE(Fixture.Until([&] { return fake.ReceivedType("setengine"); }));
    for (const std::string& xml : fake.ReceivedXml()) {
        EXPECT_EQ(xml.find(secret), std::string::npos) << xml;
        EXPECT_EQ(xml.find("<secret"), std::string::npos) << xml;
    }
}

// A full task for a known uid replaces it where it stands; a state push for an unknown uid
// changes nothing and raises nothing.
TEST_F(EngineProtocol, TasksAreReplacedInPlaceAndUnknownUidsIgnored) {
    TFakeEngine fake;
    TEngine* engine = ConnectedEngine(fake);
    const TGUID first = NewGUID(), second = NewGUID();
    fake.Push("tasklist", "",
              "<tasks><task>" + TaskBody(first, "a.mov", 0) + "</task><task>" +
                  TaskBody(second, "b.mov", 1, 12.5) + "</task></tasks>");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntTaskListRead) == 1; }));
    ASSERT_EQ(engine->TaskCount(), 2);
    TTaskItem* a = engine->Tasks(0);
    EXPECT_EQ(a->FileName, "a.mov");
    EXPECT_EQ(a->RecallID, "Ra.mov");
    EXPECT_EQ(engine->Tasks(1)->Progress, 12.5f);
    EXPECT_EQ(FormatDateTime(a->QueuedTime), "01-02-2026 09:59:00");
    EXPECT_EQ(Fixture.Log.Codes().back(), ntTaskListRead);

    Fixture.Log.Clear();
    fake.Push("task", "", TaskBody(first, "a2.mov", 4, 100));
    fake.Push("taskstate", "", "<uid>" + GUIDToString(NewGUID()) + "</uid><state>5</state>");
    fake.Push("taskstate", "",
              "<uid>" + GUIDToString(second) +
                  "</uid><state>2</state><smsg>Filing</smsg>"
                  "<prog>99</prog><prio>9</prio>");
    fake.Push("taskstate", "",
              "<uid>" + GUIDToString(second) + "</uid><state>2</state><prog>99.5</prog>");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntTaskChanged) == 3; }));
    EXPECT_EQ(engine->TaskCount(), 2);
    EXPECT_EQ(engine->Tasks(0), a);  // the same object in the same place
    EXPECT_EQ(a->FileName, "a2.mov");
    EXPECT_EQ(a->State, tsFinished);
    EXPECT_EQ(Fixture.Log.Count(ntTaskAdded), 0);
    TTaskItem* b = engine->Tasks(1);
    EXPECT_EQ(b->State, tsFiling);
    EXPECT_EQ(b->Progress, 99.5f);
    EXPECT_EQ(b->Message, "");  // the short form carries the message; absent is empty
    EXPECT_EQ(b->Priority, 0);  // and no priority
    // Only the first push for the second task changed its state.
    EXPECT_EQ(Fixture.Log.Count(ntTaskStateChanged), 1);

    // A new list replaces the old one: announced emptied first, then read.
    Fixture.Log.Clear();
    fake.Push("tasklist", "",
              "<tasks><task>" + TaskBody(NewGUID(), "c.mov", 0) + "</task></tasks>");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntTaskListRead) == 1; }));
    EXPECT_EQ(Fixture.Log.Codes(), (std::vector<int32_t>{ntTaskListCleared, ntTaskListRead}));
    EXPECT_EQ(engine->TaskCount(), 1);
    EXPECT_EQ(engine->FindTask(first), nullptr);
}

TEST_F(EngineProtocol, AConfigurationReplacesTheMirrorAndReferencesResolveOrVanish) {
    TFakeEngine fake;
    TEngine* engine = ConnectedEngine(fake);
    const std::string user = GUIDToString(NewGUID()), project = GUIDToString(NewGUID());
    const std::string target = GUIDToString(NewGUID()), proc = GUIDToString(NewGUID());
    const std::string missing = GUIDToString(NewGUID());
    fake.Push("config", "",
              "<name>Renamed</name><sport>587</sport><threads>3</threads>"
              "<users><user><uid>" +
                  user +
                  "</uid><name>U</name></user></users>"
                  "<projects><project><uid>" +
                  project + "</uid><emailfailed><user>" + user + "</user><user>" + missing +
                  "</user></emailfailed></project></projects>"
                  "<targets><target><uid>" +
                  target +
                  "</uid><type>1</type><host>rb</host>"
                  "<port>9595</port></target></targets>"
                  "<processors><proc><uid>" +
                  proc + "</uid><targets><target uid=\"" + target + "\"/><target uid=\"" + missing +
                  "\"/></targets></proc></processors>"
                  "<sources><source><uid>" +
                  GUIDToString(NewGUID()) + "</uid><procuid>" + proc + "</procuid><projuid>" +
                  project + "</projuid></source><source><uid>" + GUIDToString(NewGUID()) +
                  "</uid><procuid>" + missing + "</procuid><projuid>" + project +
                  "</projuid></source></sources>"
                  "<templates><template>a.html</template></templates>");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntConfigRead) == 1; }));
    EXPECT_EQ(engine->Name(), "Renamed");
    EXPECT_EQ(engine->Settings().SPort, 587);
    EXPECT_EQ(engine->Settings().Threads, 3);
    ASSERT_EQ(engine->Sources().Count(), 2);
    EXPECT_EQ(engine->Projects().Items(0)->EmailFailed.Count(), 1);
    EXPECT_EQ(engine->Processors().Items(0)->TargetCount(), 1);
    EXPECT_EQ(engine->Sources().Items(0)->ProcessorText(), engine->Processors().Items(0)->Name);
    EXPECT_EQ(engine->Sources().Items(1)->ProcessorText(), "<none>");
    EXPECT_EQ(engine->TemplateNames(), std::vector<std::string>{"a.html"});
    EXPECT_EQ(engine->Targets().Items(0)->LocationText(), "rb:9595");

    // A project two sources refer to is deleted: neither keeps a reference.
    fake.Push("delproj", project, "");
    fake.Push("delproj", missing, "");  // unknown: ignored
    fake.Push("delproj", "not a guid", "");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntProjectDeleted) == 1; }));
    fake.Push("serverstate", "", "<queued>4</queued><active>2</active><failed>1</failed>");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntCountsChanged) == 1; }));
    EXPECT_EQ(Fixture.Log.Count(ntProjectDeleted), 1);
    EXPECT_EQ(engine->Projects().Count(), 0);
    EXPECT_EQ(engine->Sources().Items(0)->ProjectText(), "<none>");
    EXPECT_EQ(engine->Sources().Items(1)->ProjectText(), "<none>");
    EXPECT_EQ(engine->QueuedCount(), 4);
    EXPECT_EQ(engine->ActiveCount(), 2);
    EXPECT_EQ(engine->FailedCount(), 1);

    // An object packet whose body names another uid keeps the identity the subtype gives it.
    fake.Push("target", target, "<uid>" + missing + "</uid><name>Moved</name>");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntTargetUpdated) == 1; }));
    EXPECT_EQ(GUIDToString(engine->Targets().Items(0)->Uid), target);
    EXPECT_EQ(engine->Targets().Items(0)->Name, "Moved");

    // A configuration without lists empties the mirror.
    fake.Push("config", "", "<name>Empty</name>");
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntConfigRead) == 2; }));
    EXPECT_EQ(engine->Sources().Count() + engine->Targets().Count() + engine->Users().Count() +
                  engine->Processors().Count(),
              0);
    EXPECT_TRUE(engine->TemplateNames().empty());
    EXPECT_EQ(engine->Settings().SPort, 25);
}

// Observers run on the main thread while the reader waits for them: a slow observer holds up
// the packets behind the one it is told of.
TEST_F(EngineProtocol, NoticesRunOnTheMainThreadWhileTheReaderWaits) {
    TFakeEngine fake;
    TEngine* engine = ConnectedEngine(fake);
    std::atomic<bool> readerMoved{false};
    std::atomic<int> seen{0};
    Fixture.Manager.AddObserver([&](int32_t code, TModelObject*) {
        if (code != ntTaskAdded) {
            return;
        }
        const uint64_t handled = engine->PacketsHandled();
        std::this_thread::sleep_for(30ms);
        if (engine->PacketsHandled() != handled) {
            readerMoved = true;
        }
        ++seen;
    });
    for (int i = 0; i < 10; ++i) {
        fake.Push("task", "", TaskBody(NewGUID(), "t" + std::to_string(i), 0));
    }
    ASSERT_TRUE(Fixture.Until([&] { return seen.load() == 10; }));
    EXPECT_FALSE(readerMoved.load());
    for (const TNoticeRecord& record : Fixture.Log.Records()) {
        EXPECT_TRUE(record.Code == ntEngineState || record.OnMainThread) << record.Code;
    }
    // State notices came on other threads too, as they may.
    EXPECT_EQ(engine->TaskCount(), 10);
}

TEST_F(EngineProtocol, RemovalsAndPrioritiesNameTasksByUid) {
    TFakeEngine fake;
    TEngine* engine = ConnectedEngine(fake);
    std::vector<TGUID> uids;
    std::string body = "<tasks>";
    const int states[] = {tsQueued, tsFinished, tsFailed, tsCancelled, tsFinished};
    for (int state : states) {
        uids.push_back(NewGUID());
        body += "<task>" + TaskBody(uids.back(), "f", state) + "</task>";
    }
    fake.Push("tasklist", "", body + "</tasks>");
    ASSERT_TRUE(Fixture.Until([&] { return engine->TaskCount() == 5; }));

    TXMLPacketPtr priority = NewPacket("setprior");
    priority->Document.AddAttributeInteger("priority", -3);
    priority->Document.AddGUID("uid", uids[0]);
    priority->Document.AddGUID("uid", NewGUID());
    fake.Push(std::move(priority));
    ASSERT_TRUE(Fixture.Until([&] {
        TLock lock(engine->TaskLock());
        return engine->FindTask(uids[0])->Priority == -3;
    }));
    EXPECT_EQ(Fixture.Log.Count(ntTaskChanged), 1);

    // Finished tasks are announced as a group while they still exist, then freed.
    int finishedAtNotice = -1;
    Fixture.Manager.AddObserver([&](int32_t code, TModelObject*) {
        if (code == ntCompletedRemoved) {
            finishedAtNotice = 0;
            for (int32_t i = 0; i < engine->TaskCount(); ++i) {
                finishedAtNotice += engine->Tasks(i)->State == tsFinished;
            }
        }
    });
    fake.Push("remcomp", "", "");
    ASSERT_TRUE(Fixture.Until([&] { return engine->TaskCount() == 3; }));
    EXPECT_EQ(finishedAtNotice, 2);
    EXPECT_EQ(engine->FindTask(uids[1]), nullptr);

    TXMLPacketPtr remove = NewPacket("remtask");
    remove->Document.AddGUID("uid", uids[2]);
    remove->Document.AddGUID("uid", NewGUID());
    fake.Push(std::move(remove));
    ASSERT_TRUE(Fixture.Until([&] { return engine->TaskCount() == 2; }));
    EXPECT_EQ(Fixture.Log.Count(ntTaskRemoved), 1);
    EXPECT_NE(engine->FindTask(uids[0]), nullptr);
    EXPECT_NE(engine->FindTask(uids[3]), nullptr);
}

// A peer that is no engine, or has not let the manager log in, may send only small frames.
TEST_F(EngineProtocol, AHugeFrameBeforeTheLoginClosesTheConnection) {
    TqvSocket listener;
    ASSERT_TRUE(listener.Open() && listener.Bind(0) && listener.ListenOn());
    TEngine* engine = Fixture.AddEngine(listener.LocalPort());
    engine->Connect();
    std::unique_ptr<TqvSocket> peer = listener.Accept();
    ASSERT_TRUE(peer);
    // A frame that announces 200 MiB.
    const std::string header = testing_support::FrameHeader(200 * 1024 * 1024, 100, 0);
    ASSERT_TRUE(peer->Send(header.data(), header.size()));
    EXPECT_TRUE(testing_support::ClosedByServer(*peer));
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntConnectionLost) == 1; }));
    EXPECT_EQ(engine->ConnectionState(), csDisconnected);
    listener.Close();
}

// Several engines connect, lose their servers, reconnect and are removed at once; every
// notice but the state notice reaches the observers on the main thread.
TEST_F(EngineProtocol, ManyEnginesConnectingAndDroppingAtOnce) {
    std::vector<std::unique_ptr<TFakeEngine>> fakes;
    for (int i = 0; i < 3; ++i) {
        fakes.push_back(std::make_unique<TFakeEngine>());
    }
    std::vector<TEngine*> engines;
    for (int i = 0; i < 6; ++i) {
        engines.push_back(Fixture.AddEngine(fakes[static_cast<size_t>(i % 3)]->Port, i == 0));
    }
    Fixture.Manager.ConnectAll();
    auto allConnected = [&] {
        return std::all_of(engines.begin(), engines.end(),
                           [](TEngine* e) { return e->ConnectionState() == csConnected; });
    };
    ASSERT_TRUE(Fixture.Until(allConnected));
    for (int round = 0; round < 20; ++round) {
        for (auto& fake : fakes) {
            fake->Push("task", "", TaskBody(NewGUID(), "x", round % 7, round));
            fake->Push("serverstate", "", "<queued>" + std::to_string(round) + "</queued>");
        }
    }
    ASSERT_TRUE(Fixture.Until([&] {
        return std::all_of(engines.begin(), engines.end(),
                           [](TEngine* e) { return e->TaskCount() == 20; });
    }));

    for (auto& fake : fakes) {
        fake->Drop();
    }
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntConnectionLost) >= 6; }));
    for (auto& fake : fakes) {
        ASSERT_TRUE(fake->Listen());
    }
    ASSERT_TRUE(Fixture.Until(allConnected, 60s));
    // Removed while connected, while reconnecting, and the rest with the manager.
    Fixture.Manager.RemoveEngine(engines[1]);
    fakes[2]->Drop();
    Fixture.Manager.RemoveEngine(engines[2]);
    Fixture.Manager.DisconnectAll();
    Fixture.Manager.RemoveEngine(engines[3]);
    EXPECT_EQ(Fixture.Manager.EngineCount(), 3);
    for (const TNoticeRecord& record : Fixture.Log.Records()) {
        ASSERT_TRUE(record.Code == ntEngineState || record.OnMainThread) << record.Code;
    }
}

// The task commands go out as the server reads them; an answer to a command (a refused
// requeue among them) is kept and announced, leaves the connection as it was, and keeps at
// most MaxRefusals refusals however many a peer lists.
TEST_F(EngineProtocol, RequeueGoesOutAndItsAnswerIsKeptAndAnnounced) {
    TFakeEngine fake;
    TEngine* engine = ConnectedEngine(fake);
    const TGUID uid = NewGUID();
    ASSERT_TRUE(engine->RequeueTasks({uid}));
    ASSERT_TRUE(engine->CancelTasks({uid}));
    ASSERT_TRUE(engine->SetTaskPriority({uid}, 3));
    EXPECT_TRUE(Fixture.Until([&] {
        return fake.ReceivedType("requeuetask") && fake.ReceivedType("cantask") &&
               fake.ReceivedType("setprior");
    }));

    std::string body =
        "<success>0</success><message>0 tasks requeued; 150 refused.</message>"
        "<count>0</count><refused>150</refused>";
    for (int i = 0; i < 150; ++i)
        body += "<refusal><uid>" + GUIDToString(uid) + "</uid><fname>f" + std::to_string(i) +
                ".mov</fname><reason>its file is gone</reason></refusal>";
    fake.Push("msg", "requeuetask", body);
    ASSERT_TRUE(Fixture.Until([&] { return Fixture.Log.Count(ntCommandAnswered, engine) == 1; }));
    const TCommandAnswer answer = engine->LastAnswer();
    EXPECT_EQ(answer.Command, "requeuetask");
    EXPECT_FALSE(answer.Success);
    EXPECT_EQ(answer.Message, "0 tasks requeued; 150 refused.");
    EXPECT_EQ(answer.Refused, 150);
    ASSERT_EQ(answer.Refusals.size(), TEngine::MaxRefusals);
    EXPECT_EQ(answer.Refusals[99].FileName, "f99.mov");
    EXPECT_EQ(answer.Refusals[0].Uid, uid);
    EXPECT_EQ(answer.Refusals[0].Reason, "its file is gone");
    EXPECT_EQ(engine->ConnectionState(), csConnected);
    EXPECT_TRUE(engine->LoggedIn());
}
