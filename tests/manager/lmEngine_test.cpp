// The engine against the real server on a loopback port: the login, the mirror of the
// configuration and the task list, every kind of object added, edited and deleted, the task
// commands, a server restart, a refused login, and two managers on one engine.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include "ManagerTestKit.h"
#include "support/TestInstallation.h"
#include "support/TestProcess.h"

using namespace manager_testing;
using testing_support::TChildProcess;
using testing_support::TTestInstallation;

namespace {

namespace fs = std::filesystem;

class EngineAgainstServer : public ::testing::Test {
  protected:
    // The server reads its port and worker count from "config.dat", so that a "setengine" with
    // the same port does not make it listen again.
    void SetUp() override {
        Install.WriteFile("config.dat",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config>"
                          "<name>Test engine</name><loc>Lab</loc><port>" +
                              std::to_string(Port) + "</port><threads>1</threads></config>");
        Install.WriteFile("EmailTemplates/other.html", "<html/>");
        fs::create_directories(Install.Folder() / "watch");
        fs::create_directories(Install.Folder() / "out");
        StartServer();
    }
    void TearDown() override {
        if (Server) {
            EXPECT_EQ(Server->Stop(SIGTERM), 0) << Install.LogText();
        }
    }
    // Starts the server and waits until it listens.
    void StartServer() {
        const size_t started = Listenings();
        Server = std::make_unique<TChildProcess>(
            std::vector<std::string>{Install.Server(), "-NOSERVICE"},
            (Install.Folder() / "out.txt").string());
        EXPECT_TRUE(testing_support::WaitFor([&] { return Listenings() > started; }))
            << Install.LogText();
    }
    size_t Listenings() const {
        const std::string text = Install.LogText();
        const std::string line =
            "Starting Vidmill using TCP port " + std::to_string(Port) + ": Success.";
        size_t count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++count;
        }
        return count;
    }

    // A manager of its own with one engine on the server, made current and connected; waits
    // for the login and the first configuration and task list.
    std::unique_ptr<TManagerFixture> NewManager(const std::string& name) {
        auto fixture =
            std::make_unique<TManagerFixture>((Install.Folder() / (name + ".dat")).string());
        TEngine* engine = fixture->AddEngine(static_cast<uint16_t>(Port));
        engine->Connect();
        const bool ready = fixture->Until([&] {
            return engine->ConnectionState() == csConnected && engine->ConfigurationRead() &&
                   fixture->Log.Count(ntTaskListRead) > 0;
        });
        EXPECT_TRUE(ready) << engine->StateText() << " " << engine->StatusText() << "\n"
                           << Install.LogText();
        return fixture;
    }

    // Waits, delivering the notices of both managers.
    template <class TCondition>
    bool Both(TManagerFixture& a, TManagerFixture& b, TCondition condition) {
        return testing_support::WaitFor(
            [&] {
                a.Dispatcher.DeliverPending();
                b.Dispatcher.DeliverPending();
                return condition();
            },
            20s);
    }

    TTestInstallation Install;
    int Port = testing_support::FreePort();
    std::unique_ptr<TChildProcess> Server;
};

TEngine* EngineOf(TManagerFixture& fixture) {
    return fixture.Manager.Engines(0);
}

bool NoticesOnMainThread(TManagerFixture& fixture) {
    for (const TNoticeRecord& record : fixture.Log.Records()) {
        if (record.Code != ntEngineState && !record.OnMainThread) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST_F(EngineAgainstServer, LogsInAndMirrorsTheConfiguration) {
    auto fixture = std::make_unique<TManagerFixture>((Install.Folder() / "m.dat").string());
    TEngine* engine = fixture->AddEngine(static_cast<uint16_t>(Port));
    std::vector<uint8_t> states;
    std::mutex statesLock;
    fixture->Manager.AddObserver([&](int32_t code, TModelObject* object) {
        if (code == ntEngineState && object == engine) {
            std::lock_guard lock(statesLock);
            if (states.empty() || states.back() != engine->ConnectionState()) {
                states.push_back(engine->ConnectionState());
            }
        }
    });
    EXPECT_EQ(engine->StateText(), "---");
    engine->Connect();
    ASSERT_TRUE(fixture->Until([&] {
        return engine->ConnectionState() == csConnected && engine->ConfigurationRead() &&
               fixture->Log.Count(ntTaskListRead) == 1;
    })) << engine->StatusText();
    {
        std::lock_guard lock(statesLock);
        EXPECT_EQ(states, (std::vector<uint8_t>{csConnecting, csHandshake, csConnected}));
    }
    EXPECT_EQ(engine->StatusText(), "");
    EXPECT_TRUE(engine->LoggedIn());
    EXPECT_TRUE(engine->IsConnected());
    EXPECT_EQ(engine->ServerVersion().rfind("v1.0 build ", 0), 0u) << engine->ServerVersion();
    const TEngineSettings settings = engine->Settings();
    EXPECT_EQ(settings.Name, "Test engine");
    EXPECT_EQ(settings.Loc, "Lab");
    EXPECT_EQ(settings.Threads, 1);
    EXPECT_EQ(settings.SPort, 25);
    EXPECT_EQ(
        engine->TemplateNames(),
        (std::vector<std::string>{"other.html", "sample-completed.html", "sample-failed.html"}));
    EXPECT_EQ(engine->TaskCount(), 0);
    EXPECT_EQ(fixture->Log.Count(ntConfigRead, engine), 1);
    EXPECT_TRUE(NoticesOnMainThread(*fixture));

    // Disconnecting closes the connection and nothing reconnects.
    engine->Disconnect();
    ASSERT_TRUE(fixture->Until([&] { return fixture->Log.Count(ntConnectionLost) == 1; }));
    EXPECT_EQ(engine->ConnectionState(), csDisconnected);
    EXPECT_FALSE(engine->IsConnected());
    std::this_thread::sleep_for(std::chrono::milliseconds(TEngine::ReconnectPauseMs * 3));
    fixture->Dispatcher.DeliverPending();
    EXPECT_EQ(engine->ConnectionState(), csDisconnected);
    // The last known configuration stays visible.
    EXPECT_EQ(engine->TemplateNames().size(), 3u);
}

// Every kind of object added by one manager appears in both mirrors; an edit reaches the
// server (a fresh configuration shows it); a delete leaves no reference behind in either.
TEST_F(EngineAgainstServer, TwoManagersSeeEachOthersChangesOfEveryKind) {
    auto first = NewManager("first");
    auto second = NewManager("second");
    TEngine* a = EngineOf(*first);
    TEngine* b = EngineOf(*second);
    // The reader threads change the mirrors under their locks, and the notices follow the
    // change: the test reads under the locks, as a window would, and waits for the notices.
    auto bothHave = [&](auto count) {
        return Both(*first, *second, [&] {
            TLock mirrorA(a->MirrorLock());
            TLock mirrorB(b->MirrorLock());
            return count(a) && count(b);
        });
    };
    auto bothNotified = [&](std::initializer_list<int32_t> codes) {
        return Both(*first, *second, [&] {
            for (TManagerFixture* fixture : {first.get(), second.get()}) {
                for (int32_t code : codes) {
                    if (fixture->Log.Count(code) < 1) {
                        return false;
                    }
                }
            }
            return true;
        });
    };

    ASSERT_TRUE(a->SendCommand("adduser"));
    ASSERT_TRUE(bothHave([](TEngine* e) { return e->Users().Count() == 1; }));
    ASSERT_TRUE(b->SendCommand("addtarget"));
    ASSERT_TRUE(bothHave([](TEngine* e) { return e->Targets().Count() == 1; }));
    ASSERT_TRUE(a->SendCommand("addproc"));
    ASSERT_TRUE(bothHave([](TEngine* e) { return e->Processors().Count() == 1; }));
    ASSERT_TRUE(a->SendCommand("addproject"));
    ASSERT_TRUE(bothHave([](TEngine* e) { return e->Projects().Count() == 1; }));
    ASSERT_TRUE(a->SendCommand("addsource"));
    ASSERT_TRUE(bothHave([](TEngine* e) { return e->Sources().Count() == 1; }));
    ASSERT_TRUE(bothNotified(
        {ntUserAdded, ntTargetAdded, ntProcessorAdded, ntProjectAdded, ntSourceAdded}));
    for (TManagerFixture* fixture : {first.get(), second.get()}) {
        for (int32_t code :
             {ntUserAdded, ntTargetAdded, ntProcessorAdded, ntProjectAdded, ntSourceAdded}) {
            EXPECT_EQ(fixture->Log.Count(code), 1) << code;
        }
    }

    // Edits of copies, sent by the first manager, wired to each other.
    std::unique_ptr<TUser> userEdit = a->NewUser();
    std::unique_ptr<TTarget> targetEdit = a->NewTarget();
    std::unique_ptr<TProcessor> processorEdit = a->NewProcessor();
    std::unique_ptr<TProject> projectEdit = a->NewProject();
    std::unique_ptr<TSource> sourceEdit = a->NewSource();
    TUser* user = nullptr;
    TGUID userUid;
    {
        TLock mirrorA(a->MirrorLock());
        TLock mirrorB(b->MirrorLock());
        user = a->Users().Items(0);
        userUid = user->Uid;
        EXPECT_EQ(user->Name, "New User 1");
        EXPECT_EQ(b->Users().Items(0)->Uid, user->Uid);
        userEdit->Assign(*user);
        targetEdit->Assign(*a->Targets().Items(0));
        processorEdit->Assign(*a->Processors().Items(0));
        projectEdit->Assign(*a->Projects().Items(0));
        sourceEdit->Assign(*a->Sources().Items(0));
    }
    userEdit->Email = "ann@example.com";
    ASSERT_TRUE(a->Apply(*userEdit));
    targetEdit->Folder = (Install.Folder() / "out").string() + "/";
    ASSERT_TRUE(a->Apply(*targetEdit));
    processorEdit->TargetUids = {targetEdit->Uid};
    ASSERT_TRUE(a->Apply(*processorEdit));
    projectEdit->EmailFailed.Add(userUid, user);
    projectEdit->EmailCompleted.Add(userUid, user);
    ASSERT_TRUE(a->Apply(*projectEdit));
    sourceEdit->ProcessorUid = processorEdit->Uid;
    sourceEdit->ProjectUid = projectEdit->Uid;
    sourceEdit->WFolder = (Install.Folder() / "watch").string() + "/";
    sourceEdit->Underscore = true;
    ASSERT_TRUE(a->Apply(*sourceEdit));
    {
        TLock mirror(a->MirrorLock());
        EXPECT_EQ(user->Email, "ann@example.com");  // the mirror takes the edit at once
        EXPECT_EQ(a->Sources().Items(0)->ProcessorText(), a->Processors().Items(0)->Name);
    }

    // The first manager's own request comes after its edits on its connection: once it is
    // answered, the server holds them. The second manager learns of them with its next
    // configuration.
    first->Log.Clear();
    second->Log.Clear();
    ASSERT_TRUE(a->SendCommand("getconfig"));
    ASSERT_TRUE(Both(*first, *second, [&] { return first->Log.Count(ntConfigRead) == 1; }));
    {
        TLock mirror(a->MirrorLock());
        EXPECT_EQ(a->Sources().Items(0)->WFolder, sourceEdit->WFolder);
    }
    ASSERT_TRUE(b->SendCommand("getconfig"));
    ASSERT_TRUE(Both(*first, *second, [&] { return second->Log.Count(ntConfigRead) == 1; }));
    EXPECT_EQ(first->Log.Count(ntConfigRead), 1);  // a reply, not a broadcast
    {
        TLock mirrorA(a->MirrorLock());
        TLock mirrorB(b->MirrorLock());
        ASSERT_EQ(b->Sources().Count(), 1);
        const TSource* source = b->Sources().Items(0);
        EXPECT_EQ(source->WFolder, sourceEdit->WFolder);
        EXPECT_TRUE(source->Underscore);
        ASSERT_NE(source->Processor(), nullptr);
        EXPECT_EQ(source->Processor()->Target(0), b->Targets().Items(0));
        EXPECT_EQ(b->Targets().Items(0)->LocationText(), targetEdit->Folder);
        ASSERT_NE(source->Project(), nullptr);
        EXPECT_EQ(source->Project()->EmailFailed.Find(userUid), b->Users().Items(0));
        EXPECT_EQ(b->Users().Items(0)->Email, "ann@example.com");
    }

    // Deletes, each with its side effects in both mirrors.
    const auto remove = [&](const char* command, const TGUID& uid) {
        return b->SendPacket(NewPacket(command, GUIDToString(uid)));
    };
    ASSERT_TRUE(remove("deltarget", targetEdit->Uid));
    ASSERT_TRUE(bothHave([](TEngine* e) {
        return e->Targets().Count() == 0 && e->Processors().Items(0)->TargetCount() == 0;
    }));
    ASSERT_TRUE(remove("delproc", processorEdit->Uid));
    ASSERT_TRUE(bothHave([](TEngine* e) {
        return e->Processors().Count() == 0 && e->Sources().Items(0)->ProcessorUid.IsNull();
    }));
    {
        TLock mirror(a->MirrorLock());
        EXPECT_EQ(a->Sources().Items(0)->ProcessorText(), "<none>");
    }
    ASSERT_TRUE(remove("deluser", userUid));
    ASSERT_TRUE(bothHave([](TEngine* e) {
        return e->Users().Count() == 0 && e->Projects().Items(0)->EmailFailed.Count() == 0 &&
               e->Projects().Items(0)->EmailCompleted.Count() == 0;
    }));
    ASSERT_TRUE(remove("delproj", projectEdit->Uid));
    ASSERT_TRUE(bothHave([](TEngine* e) {
        return e->Projects().Count() == 0 && e->Sources().Items(0)->ProjectUid.IsNull();
    }));
    ASSERT_TRUE(remove("delsource", sourceEdit->Uid));
    ASSERT_TRUE(bothHave([](TEngine* e) { return e->Sources().Count() == 0; }));
    ASSERT_TRUE(bothNotified(
        {ntTargetDeleted, ntProcessorDeleted, ntUserDeleted, ntProjectDeleted, ntSourceDeleted}));
    for (TManagerFixture* fixture : {first.get(), second.get()}) {
        for (int32_t code : {ntTargetDeleted, ntProcessorDeleted, ntUserDeleted, ntProjectDeleted,
                             ntSourceDeleted}) {
            EXPECT_EQ(fixture->Log.Count(code), 1) << code;
        }
        EXPECT_TRUE(NoticesOnMainThread(*fixture));
    }
}

// Tasks arrive, change, are re-prioritised, cancelled and removed as the server reports them.
TEST_F(EngineAgainstServer, TheTaskListFollowsTheServer) {
    Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
    // The plug-in is found when the server starts.
    Server->Stop(SIGTERM);
    StartServer();
    auto fixture = NewManager("tasks");
    TEngine* engine = EngineOf(*fixture);
    float largestProgress = 0;
    fixture->Manager.AddObserver([&](int32_t code, TModelObject* object) {
        if (code == ntTaskChanged) {
            largestProgress = std::max(largestProgress, static_cast<TTaskItem*>(object)->Progress);
        }
    });

    // A source that scans every second without settle time, delivering into "out".
    ASSERT_TRUE(engine->SendCommand("addtarget"));
    ASSERT_TRUE(engine->SendCommand("addproc"));
    ASSERT_TRUE(engine->SendCommand("addsource"));
    ASSERT_TRUE(fixture->Until([&] {
        TLock mirror(engine->MirrorLock());
        return engine->Sources().Count() == 1;
    }));
    auto target = engine->NewTarget();
    auto processor = engine->NewProcessor();
    auto source = engine->NewSource();
    {
        TLock mirror(engine->MirrorLock());
        target->Assign(*engine->Targets().Items(0));
        processor->Assign(*engine->Processors().Items(0));
        source->Assign(*engine->Sources().Items(0));
    }
    target->Folder = (Install.Folder() / "out").string() + "/";
    ASSERT_TRUE(engine->Apply(*target));
    processor->TargetUids = {target->Uid};
    ASSERT_TRUE(engine->Apply(*processor));
    source->ProcessorUid = processor->Uid;
    source->WFolder = (Install.Folder() / "watch").string() + "/";
    source->ExtFilter = "*.synth";
    source->UseTmr = true;
    source->TmrInt = 1;
    ASSERT_TRUE(engine->Apply(*source));

    auto drop = [&](const std::string& name, const std::string& descriptor) {
        Install.WriteFile(name, descriptor + "\n");
        fs::rename(Install.Folder() / name, Install.Folder() / "watch" / name);
    };
    auto task = [&](const std::string& name) -> TTaskItem* {
        TLock lock(engine->TaskLock());
        for (int32_t i = 0; i < engine->TaskCount(); ++i) {
            if (engine->Tasks(i)->FileName.find(name) != std::string::npos) {
                return engine->Tasks(i);
            }
        }
        return nullptr;
    };
    // A task's fields, read under the task lock as the reader may be changing them.
    auto stateOf = [&](const std::string& name) {
        TLock lock(engine->TaskLock());
        TTaskItem* found = task(name);
        return found ? static_cast<int>(found->State) : -1;
    };
    auto uidOf = [&](const std::string& name) {
        TLock lock(engine->TaskLock());
        return task(name)->Uid;
    };
    // One worker: the slow clip runs while the others wait.
    drop("slow.synth", "width=32 height=16 frames=400 rate=25 framedelayms=50");
    ASSERT_TRUE(fixture->Until([&] { return stateOf("slow.synth") == tsTranscoding; }))
        << Install.LogText();
    drop("quick1.synth", "width=32 height=16 frames=2");
    drop("quick2.synth", "width=32 height=16 frames=2");
    drop("bad.synth", "openerror=no such clip");
    ASSERT_TRUE(fixture->Until([&] { return task("quick1") && task("quick2") && task("bad"); }));
    EXPECT_EQ(stateOf("quick1"), tsQueued);
    EXPECT_EQ(fixture->Log.Count(ntTaskAdded), 4);
    EXPECT_GT(fixture->Log.Count(ntTaskStateChanged), 0);

    TXMLPacketPtr priority = NewPacket("setprior");
    priority->Document.AddAttributeInteger("priority", 5);
    priority->Document.AddGUID("uid", uidOf("quick1"));
    priority->Document.AddGUID("uid", NewGUID());
    ASSERT_TRUE(engine->SendPacket(std::move(priority)));
    ASSERT_TRUE(fixture->Until([&] {
        TLock lock(engine->TaskLock());
        return task("quick1")->Priority == 5;
    }));
    // The notice follows the change itself: it may still be on its way to the main thread.
    TTaskItem* quick1 = nullptr;
    {
        TLock lock(engine->TaskLock());
        quick1 = task("quick1");
    }
    EXPECT_TRUE(fixture->Until([&] { return fixture->Log.Count(ntTaskChanged, quick1) >= 1; }));
    EXPECT_EQ(fixture->Log.Count(ntTaskChanged, quick1), 1);

    // The slow clip has shown progress; cancelling it lets the others run.
    ASSERT_TRUE(fixture->Until([&] { return largestProgress > 0; }));
    TXMLPacketPtr cancel = NewPacket("cantask");
    cancel->Document.AddGUID("uid", uidOf("slow"));
    ASSERT_TRUE(engine->SendPacket(std::move(cancel)));
    ASSERT_TRUE(fixture->Until([&] {
        return stateOf("slow") == tsCancelled && stateOf("quick1") == tsFinished &&
               stateOf("quick2") == tsFinished && stateOf("bad") == tsFailed;
    })) << Install.LogText();
    EXPECT_EQ(fixture->Log.Count(ntTaskAdded), 4);  // every change came as a state push
    EXPECT_EQ(engine->TaskCount(), 4);

    TTaskItem* quick2 = task("quick2");
    TXMLPacketPtr removeOne = NewPacket("remtask");
    removeOne->Document.AddGUID("uid", uidOf("quick2"));
    ASSERT_TRUE(engine->SendPacket(std::move(removeOne)));
    ASSERT_TRUE(fixture->Until([&] { return !task("quick2"); }));
    EXPECT_EQ(fixture->Log.Count(ntTaskRemoved, quick2), 1);

    const struct {
        const char* Command;
        int32_t Notice;
        const char* Gone;
    } removals[] = {{"remcomp", ntCompletedRemoved, "quick1"},
                    {"remfailed", ntFailedRemoved, "bad"},
                    {"remcan", ntCancelledRemoved, "slow"}};
    for (const auto& removal : removals) {
        const int32_t before = engine->TaskCount();
        ASSERT_TRUE(engine->SendCommand(removal.Command));
        // The tasks go once the observers have seen the notice.
        ASSERT_TRUE(fixture->Until([&] {
            return fixture->Log.Count(removal.Notice) == 1 && task(removal.Gone) == nullptr;
        })) << removal.Command;
        EXPECT_EQ(engine->TaskCount(), before - 1) << removal.Command;
    }
    EXPECT_TRUE(NoticesOnMainThread(*fixture));

    // A manager that connects now finds the same empty list.
    auto late = NewManager("late");
    EXPECT_EQ(EngineOf(*late)->TaskCount(), 0);
}

// The connection drops with the server; the engine reconnects by itself once it is back and
// refills its mirror from scratch.
TEST_F(EngineAgainstServer, AServerRestartDisconnectsAndTheEngineReconnectsWithAFreshMirror) {
    auto fixture = NewManager("restart");
    TEngine* engine = EngineOf(*fixture);
    ASSERT_TRUE(engine->SendCommand("adduser"));
    auto users = [&] {
        TLock mirror(engine->MirrorLock());
        return engine->Users().Count();
    };
    ASSERT_TRUE(fixture->Until([&] { return users() == 1; }));
    TGUID uid;
    {
        TLock mirror(engine->MirrorLock());
        uid = engine->Users().Items(0)->Uid;
    }

    ASSERT_EQ(Server->Stop(SIGTERM), 0);
    ASSERT_TRUE(fixture->Until([&] { return fixture->Log.Count(ntConnectionLost) == 1; }));
    EXPECT_EQ(engine->ConnectionState(), csDisconnected);
    EXPECT_FALSE(engine->LoggedIn());
    // The last known configuration stays while the engine is away.
    EXPECT_EQ(users(), 1);

    fixture->Log.Clear();
    StartServer();
    ASSERT_TRUE(fixture->Until(
        [&] {
            return engine->ConnectionState() == csConnected &&
                   fixture->Log.Count(ntConfigRead) == 1 && fixture->Log.Count(ntTaskListRead) == 1;
        },
        60s))
        << engine->StateText() << Install.LogText();
    EXPECT_EQ(fixture->Log.Count(ntTaskListCleared), 1);
    {
        TLock mirror(engine->MirrorLock());
        ASSERT_EQ(engine->Users().Count(), 1);
        EXPECT_EQ(engine->Users().Items(0)->Uid, uid);
    }
    EXPECT_TRUE(NoticesOnMainThread(*fixture));
}

TEST_F(EngineAgainstServer, AWrongSecretEndsInError) {
    TManagerFixture fixture((Install.Folder() / "wrong.dat").string());
    TEngine* engine = fixture.AddEngine(static_cast<uint16_t>(Port));
    engine->SetSecret("Wrong#42");
    engine->Connect();
    ASSERT_TRUE(fixture.Until([&] { return engine->ConnectionState() == csError; }));
    EXPECT_EQ(engine->StatusText(), "Connection handshake failed.");
    EXPECT_FALSE(engine->LoggedIn());
    EXPECT_EQ(fixture.Log.Count(ntConfigRead), 0);
}
