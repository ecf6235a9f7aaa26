// Reelbank targets through the whole server process and the reference receiver on loopback: a
// clip dropped into the watch folder arrives at the receiver byte for byte as it arrives in a
// folder target of the same processor, with its metadata, thumbnail and flipbook; a second
// Reelbank target on the same receiver finds the clip there; an unreachable Reelbank fails the
// task with the target's reason.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/kxXMLClientServer.h"
#include "server/core/lmVmEngine.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestManagerConnection.h"
#include "support/TestReelbank.h"
#include "support/TestServerProcess.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

// A logged-in manager connection that asks for the task list.
class TManagerProbe {
  public:
    explicit TManagerProbe(int port) {
        FClient.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
            FPackets.Push(packet);
        };
        ConnectAndLogIn(FClient, FPackets, port);
    }
    ~TManagerProbe() { FClient.Disconnect(); }

    // State and status message of the only task.
    std::pair<int, std::string> OnlyTask() {
        FClient.Send(NewPacket("gettasklist"));
        TXMLPacketPtr list = FPackets.Take("tasklist");
        const TXMLElement* root = list ? list->Document.Root() : nullptr;
        if (root && root->Name != "tasks")
            root = root->FindChild("tasks", true);
        EXPECT_TRUE(root && root->ChildCount() == 1);
        if (!root || root->ChildCount() != 1)
            return {-1, ""};
        const TXMLElement* task = root->Children(0);
        return {std::stoi(ChildText(task, "state")), ChildText(task, "smsg")};
    }

  private:
    TXMLClient FClient;
    TPacketQueue FPackets;
};

class ServerReelbank : public TServerProcessTest {
  protected:
    struct TTargetSetup {
        std::string Name;
        int32_t Type;
        int Port;  // Reelbank only
    };

    // One source watching "watch" with a processor that delivers to the targets in order (a
    // folder target delivers into "out"), then the server in application mode.
    void StartServer(const std::vector<TTargetSetup>& targets) {
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.Name = "Reelbank test";
        settings.Threads = 1;
        engine.SetSettings(settings);
        auto project = engine.Projects().AddNew();
        project->SetName("Spring campaign");
        auto processor = engine.Processors().AddNew();
        processor->SetName("Processor");
        for (const TTargetSetup& setup : targets) {
            auto target = AddFolderTarget(engine);
            target->SetName(setup.Name);
            target->SetType(setup.Type);
            target->SetHost("127.0.0.1");
            target->SetPort(setup.Port);
            processor->AddTarget(target);
        }
        auto source = AddWatchSource(engine, "*.lvf");
        source->SetName("Drop");
        source->SetProcessor(processor);
        source->SetProject(project);
        Completed = source->CompletedFolder();
        Failed = source->FailedFolder();
        StartServerWith(engine);
    }

    // An LVF clip of a few frames written by the LVF tool, renamed into the watch folder.
    void DropClip(const std::string& name) {
        constexpr int width = 64, height = 48, frames = 6;
        std::string raw;
        for (int f = 0; f < frames; ++f)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    raw += {static_cast<char>(x * 3 + f), static_cast<char>(y * 5),
                            static_cast<char>(x ^ y), static_cast<char>(0xFF)};
        const fs::path rawPath = Install.Folder() / "frames.raw";
        std::ofstream(rawPath, std::ios::binary) << raw;
        const fs::path clip = Install.Folder() / name;
        const TProcessResult made =
            RunProcess({std::string(LMV_STAGE_DIR) + "/lvftool", "create-raw", clip.string(),
                        std::to_string(width), std::to_string(height), rawPath.string()});
        ASSERT_EQ(made.ExitCode, 0) << made.Output;
        fs::rename(clip, Install.Folder() / "watch" / name);
    }

    // Waits until the source file has been filed as completed or failed.
    bool Filed(const std::string& name) {
        return WaitFor([&] { return fs::exists(Completed + name) || fs::exists(Failed + name); },
                       60s);
    }

    std::string Completed;
    std::string Failed;
};

TEST_F(ServerReelbank, ClipReachesTheFolderAndTheReceiverAndASecondReelbankFindsItThere) {
    TReelbankReceiverProcess receiver(Install.Folder() / "receiver");
    StartServer({{"Folder", TVmTarget::FolderType, 0},
                 {"Reelbank A", TVmTarget::ReelbankType, receiver.Port()},
                 {"Reelbank B", TVmTarget::ReelbankType, receiver.Port()}});
    DropClip("Evening promo.lvf");
    ASSERT_TRUE(Filed("Evening promo.lvf")) << Install.LogText();
    EXPECT_TRUE(fs::exists(Completed + "Evening promo.lvf")) << Install.LogText();
    const std::pair<int, std::string> task = TManagerProbe(Port).OnlyTask();
    EXPECT_EQ(task.first, tsFinished) << task.second;

    // The receiver confirmed the clip once stored: it is there when the task is done.
    const std::vector<std::string> clips = receiver.StorageEntries();
    ASSERT_EQ(clips.size(), 1u) << ::testing::PrintToString(clips) << receiver.LogText();
    const fs::path clip = receiver.ClipFolder(clips.front());
    const std::string delivered = ReadFileText(Install.Folder() / "out" / "Evening promo.avi");
    ASSERT_FALSE(delivered.empty());
    EXPECT_TRUE(ReadFileText(clip / "Evening promo.avi") == delivered);

    TXMLUnicode metadata;
    ASSERT_TRUE(metadata.LoadFromFile((clip / "metadata.xml").string()));
    const TXMLElement* root = metadata.Root();
    EXPECT_EQ(ChildText(root, "clipguid"), clips.front());
    EXPECT_EQ(ChildText(root, "project"), "Spring campaign");
    EXPECT_EQ(ChildText(root, "filename"), "Evening promo");
    EXPECT_EQ(ChildText(root, "codec"), "LMVC");
    EXPECT_EQ(ChildText(root, "filesize"), std::to_string(delivered.size()));
    EXPECT_EQ(ChildText(root, "width"), "64");
    EXPECT_EQ(ReadFileText(clip / "thumbnail.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
    bool parsed = false;
    const std::vector<std::string> frames =
        FlipBookFrames(ReadFileText(clip / "flipbook.bin"), parsed);
    EXPECT_TRUE(parsed);
    EXPECT_FALSE(frames.empty());
    for (const std::string& frame : frames)
        EXPECT_EQ(frame.substr(0, 8), "\x89PNG\r\n\x1a\n");

    const std::string log = Install.LogText();
    EXPECT_NE(log.find("successfully transferred to Reelbank."), std::string::npos) << log;
    EXPECT_NE(log.find("already exists on target"), std::string::npos) << log;
}

// The receiver dies on its first large write, when the whole clip already sits in the socket
// buffers between the two: with no confirmation the task fails and the source file is filed as
// failed, and the receiver, started again, holds no clip.
TEST_F(ServerReelbank, ReceiverThatDiesBeforeStoringFailsTheTask) {
    TReelbankReceiverProcess receiver(Install.Folder() / "receiver",
                                      {{}, {"prlimit", "--fsize=4096", "--core=0", "--"}});
    StartServer({{"Archive", TVmTarget::ReelbankType, receiver.Port()}});
    DropClip("Late news.lvf");
    ASSERT_TRUE(Filed("Late news.lvf")) << Install.LogText();
    EXPECT_TRUE(fs::exists(Failed + "Late news.lvf")) << Install.LogText() << receiver.LogText();
    EXPECT_TRUE(receiver.Ended()) << "the receiver was to die on the clip's file";
    TManagerProbe manager(Port);
    WaitFor([&] { return manager.OnlyTask().first == tsFailed; });
    const std::pair<int, std::string> task = manager.OnlyTask();
    EXPECT_EQ(task.first, tsFailed);
    EXPECT_EQ(task.second.rfind("Error executing target: ", 0), 0u) << task.second;
    EXPECT_NE(task.second.find("\"Archive\""), std::string::npos) << task.second;
    receiver.Start(true);
    EXPECT_TRUE(receiver.StorageEntries().empty())
        << ::testing::PrintToString(receiver.StorageEntries());
}

TEST_F(ServerReelbank, UnreachableReelbankFailsTheTaskWithTheTargetsReason) {
    const int nobody = FreePort();
    StartServer(
        {{"Folder", TVmTarget::FolderType, 0}, {"Archive", TVmTarget::ReelbankType, nobody}});
    DropClip("Late news.lvf");
    ASSERT_TRUE(Filed("Late news.lvf")) << Install.LogText();
    EXPECT_TRUE(fs::exists(Failed + "Late news.lvf")) << Install.LogText();
    // The folder target before it still got the clip.
    EXPECT_TRUE(fs::exists(Install.Folder() / "out" / "Late news.avi"));
    TManagerProbe manager(Port);
    const std::string expected = "Error executing target: Failed to connect to \"Archive\"";
    // The job shows its reason again once the source file is filed.
    WaitFor([&] { return manager.OnlyTask().second == expected; });
    const std::pair<int, std::string> task = manager.OnlyTask();
    EXPECT_EQ(task.first, tsFailed);
    EXPECT_EQ(task.second, expected);
    EXPECT_NE(Install.LogText().find("Failed to connect to Reelbank: 127.0.0.1"),
              std::string::npos);
}

}  // namespace
