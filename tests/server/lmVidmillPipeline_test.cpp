// Files through the whole server process: a configuration written with the engine, a clip or a
// still image dropped into the watch folder, the delivered file checked with ffprobe and the
// task followed through the control protocol as a manager sees it.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxXMLClientServer.h"
#include "server/core/lmVmEngine.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestManagerConnection.h"
#include "support/TestMediaFixtures.h"
#include "support/TestProcess.h"
#include "support/TestServerProcess.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

// A manager's connection that records, per task uid, the status messages in the order the
// task pushes brought them (a repeated message counts once), the type of the first push and
// the last state.
class TTaskWatcher {
  public:
    explicit TTaskWatcher(int port) {
        FClient.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
            if (packet.Type != "taskstate" && packet.Type != "task") {
                FReplies.Push(packet);
                return;
            }
            const TXMLElement* root = packet.Document.Root();
            const std::string uid = ChildText(root, "uid");
            const std::string message = ChildText(root, "smsg");
            std::lock_guard lock(FLock);
            FFirstPush.emplace(uid, packet.Type);
            auto& messages = FMessages[uid];
            if (!message.empty() && (messages.empty() || messages.back() != message))
                messages.push_back(message);
            FStates[uid] = std::stoi(ChildText(root, "state"));
        };
        ConnectAndLogIn(FClient, FReplies, port);
    }

    // The reader thread must be gone before the records it writes are.
    ~TTaskWatcher() { FClient.Disconnect(); }
    TTaskWatcher(const TTaskWatcher&) = delete;
    TTaskWatcher& operator=(const TTaskWatcher&) = delete;

    // The next packet of the type that is not a task push.
    TXMLPacketPtr NextReply(const std::string& type, std::chrono::milliseconds limit = 10s) {
        return FReplies.Take(type, limit);
    }

    // Waits until one task has reached a done state; returns its uid (empty on time-out).
    std::string WaitForDoneTask(std::chrono::milliseconds limit = 25s) {
        std::string uid;
        WaitFor(
            [&] {
                std::lock_guard lock(FLock);
                for (const auto& [key, state] : FStates)
                    if (IsDoneState(static_cast<TTaskState>(state)))
                        uid = key;
                return !uid.empty();
            },
            limit);
        return uid;
    }

    // Waits until `count` tasks have reached a done state; returns every task's uid.
    std::vector<std::string> WaitForDoneTasks(size_t count, std::chrono::milliseconds limit) {
        WaitFor([&] { return CountIn([](int state) { return IsDoneState(state); }) >= count; },
                limit);
        return Uids();
    }

    std::vector<std::string> Uids() {
        std::lock_guard lock(FLock);
        std::vector<std::string> uids;
        for (const auto& entry : FStates)
            uids.push_back(entry.first);
        return uids;
    }

    // How many tasks are in a state that `match` accepts.
    template <class TMatch>
    size_t CountIn(TMatch match) {
        std::lock_guard lock(FLock);
        size_t count = 0;
        for (const auto& entry : FStates)
            count += match(entry.second);
        return count;
    }

    // "task" or "taskstate": the push that first named the task.
    std::string FirstPush(const std::string& uid) {
        std::lock_guard lock(FLock);
        return FFirstPush.count(uid) ? FFirstPush.at(uid) : std::string();
    }

    // The uid of the task with that file name in the server's task list (empty if none).
    std::string UidOf(const std::string& fileName) {
        FClient.Send(NewPacket("gettasklist"));
        TXMLPacketPtr list = NextReply("tasklist");
        const TXMLElement* root = list ? list->Document.Root() : nullptr;
        if (root && root->Name != "tasks")
            root = root->FindChild("tasks", true);
        for (int i = 0; root && i < root->ChildCount(); ++i)
            if (ChildText(root->Children(i), "fname") == fileName)
                return ChildText(root->Children(i), "uid");
        return {};
    }
    void Send(TXMLPacketPtr packet) { FClient.Send(std::move(packet)); }
    // Waits for a "serverstate" push that reports this many failed jobs.
    bool WaitForFailedCount(int count, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            TXMLPacketPtr state = NextReply("serverstate", 1s);
            if (state && ChildText(state->Document.Root(), "failed") == std::to_string(count))
                return true;
        }
        return false;
    }

    std::vector<std::string> Messages(const std::string& uid) {
        std::lock_guard lock(FLock);
        return FMessages[uid];
    }
    int State(const std::string& uid) {
        std::lock_guard lock(FLock);
        return FStates[uid];
    }

    // Sends a request and waits for its answer; false when none came.
    bool Ask(const std::string& type, const std::string& answer) {
        return FClient.Send(NewPacket(type)) && NextReply(answer, 5s) != nullptr;
    }

    // The task's metadata as the task list reports it: element name -> text.
    std::map<std::string, std::string> Meta(const std::string& uid) {
        std::map<std::string, std::string> meta;
        FClient.Send(NewPacket("gettasklist"));
        TXMLPacketPtr list = NextReply("tasklist");
        EXPECT_TRUE(list);
        const TXMLElement* root = list ? list->Document.Root() : nullptr;
        if (root && root->Name != "tasks")
            root = root->FindChild("tasks", true);
        for (int i = 0; root && i < root->ChildCount(); ++i) {
            const TXMLElement* task = root->Children(i);
            if (ChildText(task, "uid") != uid)
                continue;
            const TXMLElement* items = task->FindChild("meta");
            for (int j = 0; items && j < items->ChildCount(); ++j)
                meta[items->Children(j)->Name] = items->Children(j)->Text.Text;
        }
        return meta;
    }

  private:
    TXMLClient FClient;
    TPacketQueue FReplies;
    std::mutex FLock;  // guards the records of the task pushes
    std::map<std::string, std::vector<std::string>> FMessages;
    std::map<std::string, std::string> FFirstPush;
    std::map<std::string, int> FStates;
};

class ServerPipeline : public TServerProcessTest {
  protected:
    // Writes "config.dat": one watch folder with a 1 second timer and no settle time, one
    // processor (unless told otherwise), one folder target; then starts the server in
    // application mode.
    void StartServer(int32_t threads = 1, bool withProcessor = true) {
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.Name = "Pipeline test";
        settings.Threads = threads;
        engine.SetSettings(settings);
        auto target = AddFolderTarget(engine);
        target->SetName("Output");
        auto processor = engine.Processors().AddNew();
        processor->SetName("Processor");
        processor->AddTarget(target);
        Source = AddWatchSource(
            engine, "*.lvf; *.png; *.synth; *.mp4; *.mov; *.mxf; *.ts; *.tga; *.avi; *.dv; *.mkv");
        Source->SetName("Drop");
        if (withProcessor)
            Source->SetProcessor(processor);
        // The role folders of the source as the server will derive them.
        Completed = Source->CompletedFolder();
        Processing = Source->ProcessingFolder();
        Roles = {Source->WatchFolder(), Source->QueuedFolder(), Source->CompletedFolder(),
                 Source->FailedFolder(), Source->CancelledFolder()};
        ASSERT_NO_FATAL_FAILURE(StartServerWith(engine));
        Watcher = std::make_unique<TTaskWatcher>(Port);
    }

    void TearDown() override {
        Watcher.reset();
        TServerProcessTest::TearDown();
    }

    // Writes the file beside the watch folder and renames it in, as a finished upload arrives.
    void Drop(const fs::path& file) {
        fs::rename(file, Install.Folder() / "watch" / file.filename());
    }

    // At least that many tasks were announced, and every one has ended.
    bool AllTasksDone(size_t count) {
        const std::vector<std::string> uids = Watcher->Uids();
        if (uids.size() < count)
            return false;
        for (const std::string& uid : uids)
            if (!IsDoneState(static_cast<TTaskState>(Watcher->State(uid))))
                return false;
        return true;
    }

    // An LVF clip of a few frames of 96 x 64, written by the LVF tool.
    void MakeClip(const fs::path& clip, int frames = 5) {
        constexpr int width = 96, height = 64;
        std::string raw;
        for (int f = 0; f < frames; ++f)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    raw += {static_cast<char>(x * 2 + f), static_cast<char>(y * 3),
                            static_cast<char>(x + y), static_cast<char>(x * 255 / (width - 1))};
        const fs::path rawPath = Install.Folder() / "frames.raw";
        std::ofstream(rawPath, std::ios::binary) << raw;
        const TProcessResult made =
            RunProcess({std::string(LMV_STAGE_DIR) + "/lvftool", "create-raw", clip.string(),
                        std::to_string(width), std::to_string(height), rawPath.string()});
        ASSERT_EQ(made.ExitCode, 0) << made.Output;
    }

    // How many role folders (watch folder included) hold the file: exactly one when nothing is
    // lost or duplicated.
    int Copies(const std::string& name) {
        int count = 0;
        for (const std::string& folder : Roles)
            count += fs::exists(folder + name);
        return count;
    }

    // Synthetic clips (see the synthetic plug-in for the descriptor), dropped at once.
    std::vector<std::string> DropSynthClips(int count, const std::string& descriptor) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            const std::string name = "clip" + std::to_string(i) + ".synth";
            std::ofstream(Install.Folder() / name) << descriptor << "\n";
            Drop(Install.Folder() / name);
            names.push_back(name);
        }
        return names;
    }

    // The task finished, with these status messages in turn.
    void ExpectFinished(const std::string& uid, const std::vector<std::string>& messages) {
        EXPECT_EQ(Watcher->State(uid), tsFinished)
            << ::testing::PrintToString(Watcher->Messages(uid));
        EXPECT_EQ(Watcher->Messages(uid), messages);
    }

    // The task list reports these items of the task's metadata (among others).
    void ExpectMeta(const std::string& uid, const std::map<std::string, std::string>& wanted) {
        const auto meta = Watcher->Meta(uid);
        for (const auto& [key, value] : wanted)
            EXPECT_EQ(meta.count(key) ? meta.at(key) : "(none)", value) << key;
    }

    // The source file lies in the completed folder only, and nothing is left in processing.
    void ExpectFiledAsCompleted(const std::string& name) {
        EXPECT_TRUE(fs::exists(Completed + name));
        EXPECT_EQ(Copies(name), 1);
        EXPECT_TRUE(ProcessingFiles().empty()) << ::testing::PrintToString(ProcessingFiles());
    }

    std::vector<std::string> ProcessingFiles() {
        std::vector<std::string> names;
        if (fs::exists(Processing))
            for (const auto& entry : fs::directory_iterator(Processing))
                names.push_back(entry.path().filename().string());
        return names;
    }

    std::shared_ptr<TVmSource> Source;
    std::string Completed;
    std::string Processing;
    std::vector<std::string> Roles;
    std::unique_ptr<TTaskWatcher> Watcher;
};

TEST_F(ServerPipeline, ClipInTheWatchFolderEndsAsACompressedAVINamedFromItsMetadata) {
    StartServer();
    // Five frames with a soft alpha ramp.
    const fs::path clip = Install.Folder() / "Evening promo.lvf";
    MakeClip(clip);
    Drop(clip);

    const std::string uid = Watcher->WaitForDoneTask();
    ASSERT_FALSE(uid.empty()) << Install.LogText();
    ExpectFinished(uid, {"Validating file.", "Retrieving video handler.", "Opening source file.",
                         "Transcoding...", "Deleting intermediate file.",
                         "Moving source file to finished.", "Completed."});
    ExpectFiledAsCompleted("Evening promo.lvf");

    // An independent reader sees the codec, the size and every frame.
    const fs::path avi = Install.Folder() / "out" / "Evening promo.avi";
    ASSERT_TRUE(fs::exists(avi));
    const TProcessResult probe =
        RunProcess({"ffprobe", "-v", "error", "-count_packets", "-show_entries",
                    "stream=codec_type,codec_tag_string,width,height,nb_read_packets", "-of",
                    "default=noprint_wrappers=1", avi.string()});
    ASSERT_EQ(probe.ExitCode, 0) << probe.Output;
    EXPECT_EQ(probe.Output,
              "codec_type=video\ncodec_tag_string=LMVC\nwidth=96\nheight=64\n"
              "nb_read_packets=5\n");

    ExpectMeta(uid, {{"codec", "LMVC"}, {"filesize", std::to_string(fs::file_size(avi))}});
}

// An LMVC AVI the server made (interlaced, with audio), dropped back in under another name, is
// copied as it is; the AVI plug-in reads its frames for the flipbook and reports what the file
// holds.
TEST_F(ServerPipeline, LmvcAVIDroppedBackInIsCopiedUnchangedWithItsFlipbook) {
    Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
    StartServer();
    Install.WriteFile("Promo.synth",
                      "width=64 height=48 frames=8 rate=29.97 interlaced=1 fieldorder=2 audio=2");
    Drop(Install.Folder() / "Promo.synth");
    const std::string first = Watcher->WaitForDoneTask();
    ASSERT_FALSE(first.empty()) << Install.LogText();
    ASSERT_EQ(Watcher->State(first), tsFinished)
        << ::testing::PrintToString(Watcher->Messages(first));
    const fs::path made = Install.Folder() / "out" / "Promo.avi";
    const std::string bytes = ReadFileText(made);
    ASSERT_FALSE(bytes.empty());

    fs::copy_file(made, Install.Folder() / "Promo again.avi");
    Drop(Install.Folder() / "Promo again.avi");
    ASSERT_TRUE(WaitFor([&] { return AllTasksDone(2); }, 25s)) << Install.LogText();
    const std::string uid = Watcher->UidOf("Promo again.avi");
    ASSERT_FALSE(uid.empty());
    ExpectFinished(uid,
                   {"Validating file.", "Retrieving video handler.", "Opening source file.",
                    "Transcoding...", "Importing Lumenar Codec video...", "Generating flipbook...",
                    "Flipbook generation complete.", "Deleting intermediate file.",
                    "Moving source file to finished.", "Completed."});
    EXPECT_EQ(ReadFileText(Install.Folder() / "out" / "Promo again.avi"), bytes);
    EXPECT_TRUE(fs::exists(Completed + "Promo again.avi"));

    ExpectMeta(uid, {{"codec", "LMVC"},
                     {"width", "64"},
                     {"height", "48"},
                     {"duration", "8"},
                     {"framerate", "30000"},
                     {"framediv", "1001"},
                     {"audiochannels", "2"},
                     {"fieldmode", "2"},
                     {"bitdepth", "32"},
                     {"filesize", std::to_string(bytes.size())}});
}

// A clip whose first index entry claims 400,000 bytes more than its record holds, all of them
// inside the file. Its task once stayed at "Transcoding..." with a worker spinning, and the
// server could no longer be stopped.
TEST_F(ServerPipeline, DamagedClipFailsItsTaskAndTheServerStillStops) {
    StartServer();
    // Noise does not compress, so 40 frames of 64 x 48 hold the excess after the first record.
    constexpr int width = 64, height = 48, frames = 40;
    constexpr uint32_t excess = 400000;
    std::string raw(static_cast<size_t>(width) * height * 4 * frames, '\0');
    uint32_t state = 7;
    for (char& byte : raw) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    const fs::path rawPath = Install.Folder() / "noise.raw";
    std::ofstream(rawPath, std::ios::binary) << raw;
    const std::string name = "Damaged promo.lvf";
    const fs::path clip = Install.Folder() / name;
    const TProcessResult made =
        RunProcess({std::string(LMV_STAGE_DIR) + "/lvftool", "create-raw", clip.string(),
                    std::to_string(width), std::to_string(height), rawPath.string()});
    ASSERT_EQ(made.ExitCode, 0) << made.Output;
    std::string bytes = ReadFileText(clip);
    uint64_t indexOffset = 0, recordOffset = 0;
    uint32_t size = 0;
    std::memcpy(&indexOffset, bytes.data() + 32, 8);
    std::memcpy(&recordOffset, bytes.data() + indexOffset, 8);
    std::memcpy(&size, bytes.data() + indexOffset + 8, 4);
    ASSERT_LE(recordOffset + size + excess + 8, bytes.size());
    size += excess;
    std::memcpy(bytes.data() + indexOffset + 8, &size, 4);
    std::ofstream(clip, std::ios::binary | std::ios::trunc) << bytes;
    Drop(clip);

    // The failure tail ends by showing the reason again, after the file has moved.
    const std::string uid = Watcher->WaitForDoneTask();
    WaitFor([&] {
        const auto messages = Watcher->Messages(uid);
        return messages.size() >= 2 &&
               messages[messages.size() - 2] == "Moving source file to failed.";
    });
    const int taskState = Watcher->State(uid);
    const std::vector<std::string> messages = Watcher->Messages(uid);
    Watcher.reset();
    const bool stopped = Server->StopWithin(SIGTERM, 30s);
    const std::string log = Install.LogText();
    if (!stopped)
        Server.reset();
    EXPECT_TRUE(stopped) << "the server did not stop on SIGTERM\n" << log;
    EXPECT_EQ(Server ? Server->ExitCode() : -1, 0) << log;

    ASSERT_FALSE(uid.empty()) << log;
    EXPECT_EQ(taskState, tsFailed) << ::testing::PrintToString(messages);
    const std::vector<std::string> expected = {"Validating file.",
                                               "Retrieving video handler.",
                                               "Opening source file.",
                                               "Transcoding...",
                                               "Rendering failed.",
                                               "Deleting intermediate file.",
                                               "Moving source file to failed.",
                                               "Rendering failed."};
    EXPECT_EQ(messages, expected);
    EXPECT_TRUE(fs::exists(Source->FailedFolder() + name));
    EXPECT_EQ(Copies(name), 1);
    EXPECT_TRUE(ProcessingFiles().empty()) << ::testing::PrintToString(ProcessingFiles());
    EXPECT_NE(log.find("Rendering failed for"), std::string::npos) << log;
}

// A still is read by the image plug-in for its thumbnail and flipbook; the output is a byte copy.
TEST_F(ServerPipeline, StillImageIsDeliveredAsAByteCopyWithCodecStill) {
    StartServer();
    const fs::path image = Install.Folder() / "Title card.png";
    const TProcessResult made =
        RunProcess({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=80x60", "-frames:v",
                    "1", "-pix_fmt", "rgba", image.string()});
    ASSERT_EQ(made.ExitCode, 0) << made.Output;
    const std::string bytes = ReadFileText(image);
    Drop(image);

    const std::string uid = Watcher->WaitForDoneTask();
    ASSERT_FALSE(uid.empty()) << Install.LogText();
    ExpectFinished(uid, {"Validating file.", "Processing still image.", "Opening source file.",
                         "Transcoding...", "Importing still image...", "Generating flipbook...",
                         "Flipbook generation complete.", "Deleting intermediate file.",
                         "Moving source file to finished.", "Completed."});

    EXPECT_EQ(ReadFileText(Install.Folder() / "out" / "Title card.png"), bytes);
    ExpectFiledAsCompleted("Title card.png");
    ExpectMeta(uid, {{"codec", "STILL"}, {"ext", "png"}, {"width", "80"}, {"height", "60"}});
}

// A job starts as soon as its task is queued, on another thread than the one that queued it;
// still every manager learns of a task before it hears of any change of it.
TEST_F(ServerPipeline, EveryTaskIsAnnouncedBeforeItsStateChanges) {
    Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
    StartServer(2);
    constexpr int clips = 16;
    DropSynthClips(clips, "width=32 height=16 frames=2");
    const std::vector<std::string> uids = Watcher->WaitForDoneTasks(clips, 60s);
    ASSERT_EQ(uids.size(), static_cast<size_t>(clips)) << Install.LogText();
    for (const std::string& uid : uids) {
        EXPECT_EQ(Watcher->FirstPush(uid), "task") << uid;
        EXPECT_EQ(Watcher->State(uid), tsFinished) << uid;
    }
}

// Managers read the task list and the configuration while jobs write their tasks' metadata,
// and the server is stopped with jobs still running: it ends cleanly (under the thread
// sanitizer, without a report) and no file is lost.
TEST_F(ServerPipeline, ManagersReadingWhileJobsRunAndTheServerStopsMidway) {
    Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
    StartServer(3);
    const std::vector<std::string> names =
        DropSynthClips(6, "width=48 height=32 frames=40 framedelayms=25");
    TTaskWatcher lister(Port), configReader(Port);
    std::atomic<bool> stop{false};
    std::atomic<int> answers{0};
    auto ask = [&](TTaskWatcher& manager, const char* type, const char* answer) {
        while (!stop.load() && manager.Ask(type, answer))
            ++answers;
    };
    std::thread listing(ask, std::ref(lister), "gettasklist", "tasklist");
    std::thread reading(ask, std::ref(configReader), "getconfig", "config");

    // Three jobs under way, and a little while of requests among them.
    const bool running = WaitFor(
        [&] { return Watcher->CountIn([](int state) { return state == tsTranscoding; }) >= 3; },
        30s);
    EXPECT_TRUE(running) << Install.LogText();
    const int before = answers.load();
    WaitFor([&] { return answers.load() > before + 20; }, 10s);

    const int exitCode = Server->Stop(SIGTERM);
    Server.reset();
    stop = true;
    listing.join();
    reading.join();
    EXPECT_EQ(exitCode, 0) << ReadFileText(Install.Folder() / "out.txt") << Install.LogText();
    EXPECT_GT(answers.load(), before);
    for (const std::string& name : names)
        EXPECT_EQ(Copies(name), 1) << name;
}

// A source is re-activated after every change; the files of its running and waiting tasks
// stay in "Queued", so each is delivered once and filed where its job put it.
TEST_F(ServerPipeline, EditingASourceDuringAJobDeliversEveryFileOnce) {
    Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
    StartServer();
    // One worker: the long clip runs for some six seconds while the short one waits.
    Install.WriteFile("long.synth", "width=64 height=48 frames=30 rate=25 framedelayms=200");
    Install.WriteFile("short.synth", "width=64 height=48 frames=3 rate=25");
    Drop(Install.Folder() / "long.synth");
    ASSERT_TRUE(WaitFor([&] {
        const std::string uid = Watcher->UidOf("long.synth");
        return !uid.empty() && Watcher->State(uid) == tsTranscoding;
    })) << Install.LogText();
    Drop(Install.Folder() / "short.synth");
    ASSERT_TRUE(WaitFor([&] { return !Watcher->UidOf("short.synth").empty(); }))
        << Install.LogText();
    const std::string longUid = Watcher->UidOf("long.synth");
    const std::string shortUid = Watcher->UidOf("short.synth");
    ASSERT_EQ(Watcher->State(longUid), tsTranscoding) << "the job ended too soon to test";
    ASSERT_EQ(Watcher->State(shortUid), tsQueued);

    // "setsource" with every field as it is.
    TXMLPacketPtr edit = NewPacket("setsource", GUIDToString(Source->Uid()));
    Source->SaveToXML(edit->Document);
    Watcher->Send(std::move(edit));
    TXMLPacketPtr reply = Watcher->NextReply("msg");
    ASSERT_TRUE(reply);
    EXPECT_EQ(ChildText(reply->Document.Root(), "success"), "1");

    ASSERT_TRUE(WaitFor([&] { return AllTasksDone(2); }, 40s))
        << ::testing::PrintToString(Watcher->Uids()) << Install.LogText();
    // A file moved back to the watch folder would be queued again within a scan or two.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(Watcher->Uids().size(), 2u) << Install.LogText();
    for (const auto& [uid, name] :
         {std::pair{longUid, "long.synth"}, std::pair{shortUid, "short.synth"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Watcher->State(uid), tsFinished)
            << ::testing::PrintToString(Watcher->Messages(uid));
        EXPECT_TRUE(fs::exists(Completed + name));
        EXPECT_EQ(Copies(name), 1);
    }
    EXPECT_EQ(Install.LogText().find("MoveFile failed"), std::string::npos) << Install.LogText();
    EXPECT_EQ(Install.LogText().find("Could not move source file"), std::string::npos);
}

// A source without a processor: its files fail like any job that cannot produce an output,
// and are filed under "Failed" instead of staying queued.
TEST_F(ServerPipeline, FileOfASourceWithoutProcessorFailsIntoTheFailedFolder) {
    Install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
    StartServer(1, false);
    Install.WriteFile("orphan.synth", "width=64 height=48 frames=3 rate=25");
    Drop(Install.Folder() / "orphan.synth");

    const std::string uid = Watcher->WaitForDoneTask();
    ASSERT_FALSE(uid.empty()) << Install.LogText();
    EXPECT_EQ(Watcher->State(uid), tsFailed);
    // The job files the source and then restores its reason as the last message.
    EXPECT_TRUE(WaitFor([&] { return Watcher->Messages(uid).size() >= 7; }))
        << ::testing::PrintToString(Watcher->Messages(uid));
    const std::vector<std::string> expected = {"Validating file.",
                                               "Retrieving video handler.",
                                               "Opening source file.",
                                               "Could not find output codec.",
                                               "Deleting intermediate file.",
                                               "Moving source file to failed.",
                                               "Could not find output codec."};
    EXPECT_EQ(Watcher->Messages(uid), expected);
    EXPECT_TRUE(fs::exists(Source->FailedFolder() + "orphan.synth"));
    EXPECT_EQ(Copies("orphan.synth"), 1);
    EXPECT_TRUE(Watcher->WaitForFailedCount(1)) << "the failure count did not rise";
}

// Names from network shares are often in a legacy 8-bit encoding: the bytes on the disk are
// the file's name in every folder, and the plug-in is given a name it can open.
TEST_F(ServerPipeline, FileNameThatIsNotUTF8IsProcessedUnderItsOwnBytes) {
    StartServer();
    const std::string name = "caf\xe9 cr\xe8me.lvf";  // Latin-1, not UTF-8
    const fs::path clip = Install.Folder() / name;
    MakeClip(clip);
    Drop(clip);

    const std::string uid = Watcher->WaitForDoneTask();
    ASSERT_FALSE(uid.empty()) << Install.LogText();
    EXPECT_EQ(Watcher->State(uid), tsFinished) << ::testing::PrintToString(Watcher->Messages(uid));
    EXPECT_TRUE(fs::exists(Completed + name));
    EXPECT_EQ(Copies(name), 1);
    EXPECT_TRUE(fs::exists(Install.Folder() / "out" / "caf\xe9 cr\xe8me.avi"));
    EXPECT_TRUE(ProcessingFiles().empty()) << ::testing::PrintToString(ProcessingFiles());
}

// Media files of the kinds a facility receives, through the FFmpeg-based plug-ins: each ends as
// an LMVC AVI (a still as a copy) with its metadata and sound.
TEST_F(ServerPipeline, MediaFilesEndAsCompressedAVIsWithTheirMetadataAndSound) {
    StartServer(2);
    const struct {
        const char* Fixture;
        const char* Name;
        const char* Video;  // ffprobe: tag|width|height|frames of the delivered file; "" a still
        const char* Audio;  // ffprobe: rate|channels of its sound
        std::map<std::string, std::string> Meta;
    } cases[] = {
        {"h264_aac.mp4",
         "Promo.mp4",
         "LMVC|192|108|75",
         "48000|2",
         {{"duration", "75"},
          {"width", "192"},
          {"bitdepth", "24"},
          {"audiochannels", "2"},
          {"framerate", "25"},
          {"framediv", "1"},
          {"codec", "LMVC"}}},
        {"prores4444.mov",
         "Key.mov",
         "LMVC|160|120|25",
         "",
         {{"duration", "25"}, {"bitdepth", "32"}, {"audiochannels", "0"}}},
        {"mpeg2_422.mxf",
         "News.mxf",
         "LMVC|720|576|50",
         "48000|8",
         {{"duration", "50"},
          {"audiochannels", "8"},
          {"framerate", "25"},
          {"starttc", "10:00:00:00"}}},
        {"rgba.tga", "Logo.tga", "", "", {{"codec", "STILL"}, {"ext", "tga"}, {"bitdepth", "32"}}},
        // An AVI in another codec is read by the shared reader and compressed like any clip.
        {"utvideo.avi",
         "Capture.avi",
         "LMVC|160|90|25",
         "48000|2",
         {{"duration", "25"}, {"codec", "LMVC"}, {"audiochannels", "2"}}},
        {"pal.dv",
         "Tape.dv",
         "LMVC|720|576|10",
         "48000|2",
         {{"duration", "10"}, {"starttc", "01:02:03:04"}, {"audiochannels", "2"}}},
        {"h264_opus.mkv", "Grade.mkv", "LMVC|160|90|25", "48000|1", {{"duration", "25"}}},
        {"opatom.mxf", "Atom.mxf", "LMVC|256|144|25", "", {{"duration", "25"}}},
    };
    for (const auto& c : cases) {
        const fs::path fixture = MediaFixture(c.Fixture);
        fs::copy_file(fixture, Install.Folder() / c.Name);
        Drop(Install.Folder() / c.Name);
    }
    ASSERT_TRUE(WaitFor([&] { return AllTasksDone(std::size(cases)); }, 120s)) << Install.LogText();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string uid = Watcher->UidOf(c.Name);
        ASSERT_FALSE(uid.empty());
        EXPECT_EQ(Watcher->State(uid), tsFinished)
            << ::testing::PrintToString(Watcher->Messages(uid));
        ExpectMeta(uid, c.Meta);
        EXPECT_TRUE(fs::exists(Completed + c.Name));
        if (std::string(c.Video).empty()) {
            EXPECT_EQ(ReadFileText(Install.Folder() / "out" / c.Name),
                      ReadFileText(MediaFixture(c.Fixture)));
            continue;
        }
        const fs::path avi = Install.Folder() / "out" / (fs::path(c.Name).stem().string() + ".avi");
        auto probe = [&](const char* streams, const char* entries) {
            const TProcessResult result =
                RunProcess({"ffprobe", "-v", "error", "-count_packets", "-select_streams", streams,
                            "-show_entries", entries, "-of", "compact=p=0:nk=1", avi.string()});
            EXPECT_EQ(result.ExitCode, 0) << result.Output;
            return result.Output.substr(0, result.Output.find_last_not_of('\n') + 1);
        };
        EXPECT_EQ(probe("v", "stream=codec_tag_string,width,height,nb_read_packets"), c.Video);
        EXPECT_EQ(probe("a", "stream=sample_rate,channels"), c.Audio);
    }
}

// A movie with a caption track made from an SCC file ends with a caption side file beside its
// AVI: a record per frame, holding the SCC's byte pairs from the frame of each line on, and
// frames without a pair marked as such.
TEST_F(ServerPipeline, CaptionTrackEndsAsTheSideFileWithTheSCCsBytePairs) {
    StartServer();
    fs::copy_file(CaptionFixture(), Install.Folder() / "Bulletin.mov");
    Drop(Install.Folder() / "Bulletin.mov");
    const std::string uid = Watcher->WaitForDoneTask(60s);
    ASSERT_FALSE(uid.empty()) << Install.LogText();
    ASSERT_EQ(Watcher->State(uid), tsFinished) << ::testing::PrintToString(Watcher->Messages(uid));
    const std::vector<std::string> messages = Watcher->Messages(uid);
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Extracting Closed Captioning."),
              messages.end())
        << ::testing::PrintToString(messages);
    EXPECT_TRUE(fs::exists(Install.Folder() / "out" / "Bulletin.avi"));

    const std::string side = ReadFileText(Install.Folder() / "out" / "Bulletin.xmd");
    constexpr size_t header = 52, record = 7, frames = 60;
    ASSERT_EQ(side.size(), header + record * frames);
    std::string expectedHeader("avim\1\0\0\0\1\0\0\0\0\0\0\0\7\0\0\0", 20);
    expectedHeader.resize(header, '\0');
    EXPECT_EQ(side.substr(0, header), expectedHeader);
    // The pairs each SCC line puts from its frame on; every other frame carries none.
    std::map<int, std::pair<uint8_t, uint8_t>> pairs;
    const int firstFrames[] = {0, 30};
    for (int line = 0; line < 2; ++line) {
        std::istringstream words(kFixtureSccLines[line]);
        std::string word;
        for (int frame = firstFrames[line]; words >> word; ++frame) {
            const auto value = std::stoul(word, nullptr, 16);
            pairs[frame] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        }
    }
    for (size_t frame = 0; frame < frames; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        const auto* at = reinterpret_cast<const uint8_t*>(side.data() + header + frame * record);
        EXPECT_EQ(at[0] | (at[1] << 8) | (at[2] << 16) | (at[3] << 24), static_cast<int>(frame));
        const auto pair = pairs.find(static_cast<int>(frame));
        if (pair == pairs.end()) {
            // Frames outside the SCC's lines may carry padding; never the lines' own bytes.
            continue;
        }
        EXPECT_EQ(at[4], 1);
        EXPECT_EQ(at[5], pair->second.first);
        EXPECT_EQ(at[6], pair->second.second);
    }
    // Between the lines the track holds nothing.
    const auto* gap = reinterpret_cast<const uint8_t*>(side.data() + header + 20 * record);
    EXPECT_EQ(gap[4], 0);
}

// A file the libraries cannot read fails its task with their reason; the server goes on.
TEST_F(ServerPipeline, DamagedMediaFileFailsWithTheLibrarysReason) {
    StartServer();
    std::string noise(100000, '\0');
    uint32_t state = 15;
    for (char& byte : noise) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    Install.WriteFile("Broken.mp4", noise);
    Drop(Install.Folder() / "Broken.mp4");
    const std::string uid = Watcher->WaitForDoneTask(60s);
    ASSERT_FALSE(uid.empty()) << Install.LogText();
    EXPECT_EQ(Watcher->State(uid), tsFailed);
    // The job restores the reason as the last message once it has filed the source away.
    const std::string prefix = "Error opening source file: ";
    EXPECT_TRUE(WaitFor([&] {
        const std::vector<std::string> messages = Watcher->Messages(uid);
        return !messages.empty() && messages.back().rfind(prefix, 0) == 0;
    })) << ::testing::PrintToString(Watcher->Messages(uid));
    const std::vector<std::string> messages = Watcher->Messages(uid);
    ASSERT_FALSE(messages.empty());
    const std::string reason = messages.back();
    EXPECT_GT(reason.size(), prefix.size() + 3) << reason;
    EXPECT_EQ(reason.find("Codec not found."), std::string::npos) << reason;
    EXPECT_TRUE(fs::exists(Source->FailedFolder() + "Broken.mp4"));

    // The server still serves files.
    fs::copy_file(MediaFixture("rgba.tga"), Install.Folder() / "After.tga");
    Drop(Install.Folder() / "After.tga");
    ASSERT_TRUE(WaitFor([&] { return AllTasksDone(2); }, 60s)) << Install.LogText();
    EXPECT_EQ(Watcher->State(Watcher->UidOf("After.tga")), tsFinished);
}

}  // namespace
