// "requeuetask" through the whole server process: the files of failed and cancelled tasks go
// back into the watch folder and are taken again as new media; every other task is refused
// with nothing moved and nothing lost.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/kxXMLClientServer.h"
#include "server/core/lmVmEngine.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestManagerConnection.h"
#include "support/TestServerProcess.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

// A logged-in manager that mirrors the task list from the pushes (file name and state by uid,
// removals by "remtask") and keeps every other packet for the test to take.
class TManager {
  public:
    explicit TManager(int port) {
        FClient.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
            Received(packet);
        };
        ConnectAndLogIn(FClient, FKept, port);
    }
    ~TManager() { FClient.Disconnect(); }
    TManager(const TManager&) = delete;
    TManager& operator=(const TManager&) = delete;

    // The next kept packet of the type.
    TXMLPacketPtr Next(const std::string& type, std::chrono::milliseconds limit = 10s) {
        return FKept.Take(type, limit);
    }

    // Sends "requeuetask" for the uids and returns the answer.
    TXMLPacketPtr Requeue(const std::vector<std::string>& uids) {
        TXMLPacketPtr request = NewPacket("requeuetask");
        for (const std::string& uid : uids)
            request->Document.AddElement("uid", uid);
        FClient.Send(std::move(request));
        return Next("msg");
    }

    void Send(TXMLPacketPtr packet) { FClient.Send(std::move(packet)); }

    // The uid of the newest task of that name in the mirror, waiting until there is one in a
    // state `match` accepts.
    template <class TMatch>
    std::string WaitForTask(const std::string& name, TMatch match,
                            std::chrono::milliseconds limit = 30s) {
        std::string uid;
        WaitFor(
            [&] {
                std::lock_guard lock(FLock);
                uid.clear();
                for (const std::string& key : FOrder)
                    if (FTasks.count(key) && FTasks[key].Name == name && match(FTasks[key].State))
                        uid = key;
                return !uid.empty();
            },
            limit);
        return uid;
    }
    std::string WaitForState(const std::string& name, int state,
                             std::chrono::milliseconds limit = 30s) {
        return WaitForTask(
            name, [state](int s) { return s == state; }, limit);
    }

    // How many tasks of that name the mirror holds.
    size_t TaskCount(const std::string& name) {
        std::lock_guard lock(FLock);
        size_t count = 0;
        for (const auto& [uid, task] : FTasks)
            count += task.Name == name;
        return count;
    }
    int State(const std::string& uid) {
        std::lock_guard lock(FLock);
        return FTasks.count(uid) ? FTasks[uid].State : -1;
    }

  private:
    struct TTask {
        std::string Name;
        int State = 0;
    };

    void Received(TXMLPacket& packet) {
        const TXMLElement* root = packet.Document.Root();
        if (packet.Type == "task" || packet.Type == "taskstate") {
            std::lock_guard lock(FLock);
            const std::string uid = ChildText(root, "uid");
            if (!FTasks.count(uid))
                FOrder.push_back(uid);
            TTask& task = FTasks[uid];
            if (packet.Type == "task")
                task.Name = ChildText(root, "fname");
            task.State = std::stoi(ChildText(root, "state"));
            return;
        }
        if (packet.Type == "remtask") {
            std::lock_guard lock(FLock);
            for (const std::string& uid : UidChildren(root))
                FTasks.erase(uid);
        }
        FKept.Push(packet);
    }

    TXMLClient FClient;
    TPacketQueue FKept;
    std::mutex FLock;  // guards the mirror
    std::map<std::string, TTask> FTasks;
    std::vector<std::string> FOrder;  // uids in the order they were first pushed
};

// One watch folder of synthetic clips (see the synthetic plug-in), one worker, one folder
// target; the server runs as an application.
class ServerRequeue : public TServerProcessTest {
  protected:
    void SetUp() override {
        Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.Threads = 1;
        engine.SetSettings(settings);
        auto processor = engine.Processors().AddNew();
        processor->AddTarget(AddFolderTarget(engine));
        auto source = AddWatchSource(engine, "*.synth");
        source->SetProcessor(processor);
        Watch = source->WatchFolder();
        Completed = source->CompletedFolder();
        Failed = source->FailedFolder();
        Cancelled = source->CancelledFolder();
        Roles = {Watch, source->QueuedFolder(), Completed, Failed, Cancelled};
        ASSERT_NO_FATAL_FAILURE(StartServerWith(engine));
        Manager = std::make_unique<TManager>(Port);
    }

    void TearDown() override {
        Manager.reset();
        TServerProcessTest::TearDown();
    }

    // Writes the descriptor beside the watch folder and renames it in, as an upload arrives.
    void Drop(const std::string& name, const std::string& descriptor) {
        std::ofstream(Install.Folder() / name) << descriptor << "\n";
        fs::rename(Install.Folder() / name, Watch + name);
    }

    // How many role folders (the watch folder included) hold the file.
    int Copies(const std::string& name) {
        int count = 0;
        for (const std::string& folder : Roles)
            count += fs::exists(folder + name);
        return count;
    }

    std::string Watch, Completed, Failed, Cancelled;
    std::vector<std::string> Roles;
    std::unique_ptr<TManager> Manager;
};

TEST_F(ServerRequeue, FailedAndCancelledClipsComeBackAsNewTasksAndFinish) {
    const std::string good = "width=32 height=16 frames=3 rate=25";
    Drop("broken.synth", "openerror=unreadable");
    const std::string failed = Manager->WaitForState("broken.synth", tsFailed);
    ASSERT_FALSE(failed.empty()) << Install.LogText();
    Drop("long.synth", "width=32 height=16 frames=30 rate=25 framedelayms=200");
    const std::string running = Manager->WaitForState("long.synth", tsTranscoding);
    ASSERT_FALSE(running.empty()) << Install.LogText();
    TXMLPacketPtr cancel = NewPacket("cantask");
    cancel->Document.AddElement("uid", running);
    Manager->Send(std::move(cancel));
    const std::string cancelled = Manager->WaitForState("long.synth", tsCancelled);
    ASSERT_EQ(cancelled, running);
    // The job files the cancelled clip after the state has changed.
    ASSERT_TRUE(WaitFor([&] { return fs::exists(Cancelled + "long.synth"); }));
    ASSERT_TRUE(fs::exists(Failed + "broken.synth"));

    // The cause is mended where the failed file lies; the long clip runs short this time.
    std::ofstream(Failed + "broken.synth", std::ios::trunc) << good << "\n";
    std::ofstream(Cancelled + "long.synth", std::ios::trunc) << good << "\n";
    TXMLPacketPtr answer = Manager->Requeue({failed, cancelled});
    ASSERT_TRUE(answer);
    const TXMLElement* root = answer->Document.Root();
    EXPECT_EQ(answer->Subtype, "requeuetask");
    EXPECT_EQ(ChildText(root, "success"), "1");
    EXPECT_EQ(ChildText(root, "count"), "2");
    EXPECT_EQ(ChildText(root, "refused"), "0");
    EXPECT_EQ(ChildText(root, "message"), "2 tasks requeued.");
    TXMLPacketPtr removed = Manager->Next("remtask");
    ASSERT_TRUE(removed);
    EXPECT_EQ(UidChildren(removed->Document.Root()), (std::vector<std::string>{failed, cancelled}));

    for (const std::string name : {"broken.synth", "long.synth"}) {
        SCOPED_TRACE(name);
        const std::string again = Manager->WaitForState(name, tsFinished);
        EXPECT_FALSE(again.empty()) << Install.LogText();
        EXPECT_NE(again, failed);
        EXPECT_NE(again, cancelled);
        EXPECT_EQ(Manager->TaskCount(name), 1u);
        EXPECT_TRUE(fs::exists(Completed + name));
        EXPECT_EQ(Copies(name), 1);
    }
}

// A running task, a waiting one, a failed one whose file was taken away, an unknown uid and a
// finished task: all refused in one request, nothing moved, every task still listed.
TEST_F(ServerRequeue, TasksThatCannotBeRequeuedAreRefusedAndNothingMoves) {
    Drop("done.synth", "width=32 height=16 frames=2 rate=25");
    const std::string finished = Manager->WaitForState("done.synth", tsFinished);
    Drop("gone.synth", "openerror=unreadable");
    const std::string gone = Manager->WaitForState("gone.synth", tsFailed);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(Failed + "gone.synth"); }));
    fs::remove(Failed + "gone.synth");
    // One worker: the long clip runs while the short one waits.
    Drop("running.synth", "width=32 height=16 frames=40 rate=25 framedelayms=200");
    const std::string running = Manager->WaitForState("running.synth", tsTranscoding);
    Drop("waiting.synth", "width=32 height=16 frames=2 rate=25");
    const std::string waiting = Manager->WaitForState("waiting.synth", tsQueued);
    const std::string unknown = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
    for (const std::string& uid : {finished, gone, running, waiting})
        ASSERT_FALSE(uid.empty()) << Install.LogText();

    TXMLPacketPtr answer = Manager->Requeue({running, waiting, gone, unknown, finished});
    ASSERT_TRUE(answer);
    ASSERT_EQ(Manager->State(running), tsTranscoding) << "the clip ended too soon to test";
    const TXMLElement* root = answer->Document.Root();
    EXPECT_EQ(ChildText(root, "success"), "0");
    EXPECT_EQ(ChildText(root, "count"), "0");
    EXPECT_EQ(ChildText(root, "refused"), "5");
    std::map<std::string, std::string> reasons;
    for (int i = 0; i < root->ChildCount(); ++i)
        if (root->Children(i)->Name == "refusal")
            reasons[ChildText(root->Children(i), "uid")] = ChildText(root->Children(i), "reason");
    const std::map<std::string, std::string> expected = {
        {running, "the task is still running"},
        {waiting, "the task is still waiting"},
        {gone, "its file is gone"},
        {unknown, "no such task"},
        {finished, "the task has finished"},
    };
    EXPECT_EQ(reasons, expected);
    EXPECT_EQ(ChildText(root, "message"),
              "0 tasks requeued; 5 refused: running.synth: the task is still running; "
              "waiting.synth: the task is still waiting; gone.synth: its file is gone; " +
                  unknown + ": no such task; done.synth: the task has finished.");

    // No task left the list, and the two live ones run to their end.
    EXPECT_FALSE(Manager->Next("remtask", 1s));
    for (const std::string name : {"running.synth", "waiting.synth"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(Manager->WaitForState(name, tsFinished, 60s).empty()) << Install.LogText();
        EXPECT_EQ(Manager->TaskCount(name), 1u);
        EXPECT_TRUE(fs::exists(Completed + name));
        EXPECT_EQ(Copies(name), 1);
    }
    EXPECT_EQ(Manager->State(gone), tsFailed);
    EXPECT_EQ(Manager->State(finished), tsFinished);
    EXPECT_EQ(Copies("done.synth"), 1);
}

// A task cancelled before it ran leaves its file in "Queued"; requeued, that file goes back.
TEST_F(ServerRequeue, ACancelledWaitingTaskIsRequeuedFromTheQueuedFolder) {
    Drop("first.synth", "width=32 height=16 frames=30 rate=25 framedelayms=200");
    ASSERT_FALSE(Manager->WaitForState("first.synth", tsTranscoding).empty());
    Drop("second.synth", "width=32 height=16 frames=2 rate=25");
    const std::string second = Manager->WaitForState("second.synth", tsQueued);
    ASSERT_FALSE(second.empty());
    TXMLPacketPtr cancel = NewPacket("cantask");
    cancel->Document.AddElement("uid", second);
    Manager->Send(std::move(cancel));
    ASSERT_EQ(Manager->WaitForState("second.synth", tsCancelled), second);
    ASSERT_EQ(Copies("second.synth"), 1);

    TXMLPacketPtr answer = Manager->Requeue({second});
    ASSERT_TRUE(answer);
    EXPECT_EQ(ChildText(answer->Document.Root(), "count"), "1")
        << ChildText(answer->Document.Root(), "message");
    EXPECT_FALSE(Manager->WaitForState("second.synth", tsFinished, 60s).empty())
        << Install.LogText();
    EXPECT_EQ(Manager->TaskCount("second.synth"), 1u);
    EXPECT_EQ(Copies("second.synth"), 1);
    EXPECT_TRUE(fs::exists(Completed + "second.synth"));
}

}  // namespace
