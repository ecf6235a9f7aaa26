// The server process with managers that read late, not at all, or ask for the task list while
// tasks change: none of them holds up the jobs or the other managers, and every manager that
// reads ends with every task as the server has it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
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

// A manager's mirror of the task list, kept as the manager model keeps it: "tasklist" replaces
// it, "task" adds or replaces a task, "taskstate" changes a task it knows. A state for a task
// it does not know is an ordering fault. Its reader can be held, as a manager's that stopped
// reading is.
class TMirror {
  public:
    explicit TMirror(int port, bool smallBuffer = false) : FPort(port), FSmallBuffer(smallBuffer) {
        FClient.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
            while (Held.load())
                std::this_thread::sleep_for(1ms);
            Apply(packet);
        };
        FClient.OnDisconnected = [this](TXMLClient&) { Closed = true; };
        Connect();
    }
    ~TMirror() {
        Held = false;
        FClient.Disconnect();
    }
    TMirror(const TMirror&) = delete;
    TMirror& operator=(const TMirror&) = delete;

    // Logs in (again) and reads the task list afresh, as a manager does after each connect.
    void Connect() {
        Closed = false;
        ConnectAndLogIn(FClient, FReplies, FPort);
        if (FSmallBuffer)
            FClient.Socket().SetReceiveBufferSize(4096);
        AskForList();
    }
    void AskForList() {
        const int lists = Lists();
        EXPECT_TRUE(FClient.Send(NewPacket("gettasklist")));
        EXPECT_TRUE(WaitFor([&] { return Lists() > lists; }, 20s));
    }
    bool Answers(const std::string& type, const std::string& answer) {
        return FClient.Send(NewPacket(type)) && FReplies.Take(answer, 20s) != nullptr;
    }
    void Send(TXMLPacketPtr packet) { FClient.Send(std::move(packet)); }

    // Every one of `count` tasks has reached a done state.
    bool AllDone(size_t count) {
        std::lock_guard lock(FLock);
        if (FTasks.size() < count)
            return false;
        for (const auto& [uid, state] : FTasks)
            if (!IsDoneState(static_cast<uint8_t>(state)))
                return false;
        return true;
    }
    std::map<std::string, int> Tasks() {
        std::lock_guard lock(FLock);
        return FTasks;
    }
    std::vector<std::string> Faults() {
        std::lock_guard lock(FLock);
        return FFaults;
    }
    size_t StatesRead() {
        std::lock_guard lock(FLock);
        return FStatesRead;
    }
    int Lists() {
        std::lock_guard lock(FLock);
        return FLists;
    }

    std::atomic<bool> Held{false};
    std::atomic<bool> Closed{false};

  private:
    void Apply(TXMLPacket& packet) {
        const TXMLElement* root = packet.Document.Root();
        std::lock_guard lock(FLock);
        if (packet.Type == "tasklist") {
            ++FLists;
            FTasks.clear();
            const TXMLElement* tasks = root ? root->FindChild("tasks") : nullptr;
            for (int i = 0; tasks && i < tasks->ChildCount(); ++i)
                FTasks[ChildText(tasks->Children(i), "uid")] =
                    std::stoi(ChildText(tasks->Children(i), "state"));
        } else if (packet.Type == "task") {
            FTasks[ChildText(root, "uid")] = std::stoi(ChildText(root, "state"));
        } else if (packet.Type == "taskstate") {
            ++FStatesRead;
            const std::string uid = ChildText(root, "uid");
            if (!FTasks.count(uid))
                FFaults.push_back("state before its task: " + uid);
            FTasks[uid] = std::stoi(ChildText(root, "state"));
        } else {
            FReplies.Push(packet);
        }
    }

    int FPort;
    bool FSmallBuffer;
    TXMLClient FClient;
    TPacketQueue FReplies;
    std::mutex FLock;
    std::map<std::string, int> FTasks;
    std::vector<std::string> FFaults;
    size_t FStatesRead = 0;
    int FLists = 0;
};

class ControlPlane : public TServerProcessTest {
  protected:
    // Two workers, a watch folder taking synthetic clips, a folder target; `users` users with
    // long descriptions make the configuration large.
    void StartServer(int users = 0) {
        Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.Threads = 2;
        engine.SetSettings(settings);
        auto processor = engine.Processors().AddNew();
        processor->AddTarget(AddFolderTarget(engine));
        AddWatchSource(engine, "*.synth")->SetProcessor(processor);
        for (int i = 0; i < users; ++i)
            engine.Users().AddNew()->SetDesc(std::string(1000, 'd'));
        ASSERT_NO_FATAL_FAILURE(StartServerWith(engine));
    }

    void DropClips(int count) {
        for (int i = 0; i < count; ++i) {
            const std::string name = "clip" + std::to_string(i) + ".synth";
            std::ofstream(Install.Folder() / name) << "width=32 height=16 frames=2\n";
            fs::rename(Install.Folder() / name, Install.Folder() / "watch" / name);
        }
    }

    bool LogHas(const std::string& text, std::chrono::milliseconds limit = 20s) {
        return WaitFor([&] { return Install.LogText().find(text) != std::string::npos; }, limit);
    }

    // Every one of `count` tasks the mirror knows finished, and none came out of order.
    static void ExpectAllFinished(TMirror& mirror, size_t count) {
        const auto tasks = mirror.Tasks();
        EXPECT_EQ(tasks.size(), count);
        for (const auto& [uid, state] : tasks)
            EXPECT_EQ(state, tsFinished) << uid;
        EXPECT_TRUE(mirror.Faults().empty()) << ::testing::PrintToString(mirror.Faults());
    }
};

// A manager stops reading while clips run; the jobs and the manager beside it go on, and once
// it reads again it catches up with every task's last state, having been spared the states
// that were overtaken while it waited. (Were it held past the stall time, it would be closed,
// reconnect and read the list afresh, as a manager does.)
TEST_F(ControlPlane, AManagerThatStopsReadingCatchesUpWithEveryTasksLastState) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    TMirror reading(Port);
    TMirror sleeping(Port, true);
    sleeping.Held = true;
    // Some 500 KB of pushes, more than the system's buffers hold for the sleeping manager.
    constexpr int clips = 100;
    DropClips(clips);
    ASSERT_TRUE(WaitFor([&] { return reading.AllDone(clips); }, 120s)) << Install.LogText();
    EXPECT_TRUE(reading.Answers("getconfig", "config"));
    sleeping.Held = false;
    const bool closed = LogHas("took no data for", 0ms);
    if (closed) {
        ASSERT_TRUE(WaitFor([&] { return sleeping.Closed.load(); }));
        sleeping.Connect();
    }
    ASSERT_TRUE(WaitFor([&] { return sleeping.AllDone(clips); }, 30s));
    ExpectAllFinished(reading, clips);
    ExpectAllFinished(sleeping, clips);
    if (!closed) {
        EXPECT_LT(sleeping.StatesRead(), reading.StatesRead());
    }
}

// A manager that asks and asks without reading lets its replies pile up until the hard bound
// closes it, with a log line; the other manager is answered all the while.
TEST_F(ControlPlane, AManagerThatLetsItsRepliesPileUpIsClosedAndTheOtherIsAnswered) {
    ASSERT_NO_FATAL_FAILURE(StartServer(100));
    TMirror reading(Port);
    TMirror asking(Port);
    asking.Held = true;
    // About 100 KB a configuration: the bound of 32 MiB is passed after some 330.
    bool logged = false;
    for (int i = 0; i < 2000 && !logged; ++i) {
        asking.Send(NewPacket("getconfig"));
        if (i % 50 == 49) {
            EXPECT_TRUE(reading.Answers("getconfig", "config"));
            logged = LogHas("reads too slowly", 0ms);
        }
    }
    EXPECT_TRUE(LogHas("reads too slowly")) << Install.LogText();
    EXPECT_TRUE(LogHas("bytes waiting; connection closed"));
    EXPECT_TRUE(reading.Answers("getconfig", "config"));
    asking.Held = false;
    EXPECT_TRUE(WaitFor([&] { return asking.Closed.load(); }, 30s));
    EXPECT_FALSE(reading.Closed.load());
}

// A manager that asks for the task list again and again while tasks are added and change ends
// with every task, each as its last state: whatever a list caught, what changed meanwhile
// follows it, and no state overtakes the announcement of its task.
TEST_F(ControlPlane, TaskListsAskedForWhileTasksChangeLeaveTheManagerWithEveryTask) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    TMirror asking(Port);
    constexpr int clips = 30;
    DropClips(clips);
    std::atomic<bool> stop{false};
    std::thread lists([&] {
        while (!stop.load()) {
            asking.AskForList();
            std::this_thread::sleep_for(20ms);
        }
    });
    // A state lost or left stale behind a list would keep this from ever holding.
    const bool done = WaitFor([&] { return asking.AllDone(clips); }, 120s);
    stop = true;
    lists.join();
    ASSERT_TRUE(done) << Install.LogText();
    EXPECT_GT(asking.Lists(), 2);
    ExpectAllFinished(asking, clips);
}

}  // namespace
