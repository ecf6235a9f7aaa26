#include "server/ingest/lmVmSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "ingest/IngestTestFolder.h"
#include "server/core/lmVmEngine.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestProcess.h"

namespace {

using namespace std::chrono_literals;
using testing_support::TChildProcess;
using testing_support::WaitFor;

// A source whose new media are collected instead of queued.
struct TCollectingSource {
    std::shared_ptr<TVmSource> Source = std::make_shared<TVmSource>(nullptr, true);
    std::mutex Lock;
    std::vector<std::unique_ptr<TSourceFileItem>> Items;

    TCollectingSource() {
        Source->SetOnNewMedia(
            [this](const std::shared_ptr<TVmSource>&, std::unique_ptr<TSourceFileItem> item) {
                std::lock_guard lock(Lock);
                Items.push_back(std::move(item));
            });
    }
    std::vector<std::string> Names() {
        std::lock_guard lock(Lock);
        std::vector<std::string> names;
        for (const auto& item : Items) {
            names.push_back(item->FullName());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    const TSourceFileItem* Find(const std::string& Name) {
        std::lock_guard lock(Lock);
        for (const auto& item : Items) {
            if (item->FullName() == Name) {
                return item.get();
            }
        }
        return nullptr;
    }
};

using Names = std::vector<std::string>;

TEST(SourceNames, FileNameGrammar) {
    struct Case {
        const char* Base;
        bool Underscore;
        const char* FileName;
        const char* RecallID;  // nullptr: none
        std::vector<std::pair<const char*, const char*>> Others;
    };
    const Case cases[] = {
        {"Sunset{ID}4711{LE}{HF}0", true, "Sunset", "4711", {{"loop", "1"}, {"holdlast", "0"}}},
        {"{GP}12{PM}no", true, "12", "12", {{"premul", "0"}}},
        {"{UFF}{LFF}", true, "Untitled", nullptr, {{"fieldmode", "1"}}},
        {"{LFF}x", true, "Untitled", nullptr, {{"fieldmode", "2"}}},
        {"news_0042", true, "news_0042", "42", {}},
        {"news0042", true, "news0042", nullptr, {}},
        {"0042", true, "0042", nullptr, {}},
        {"news0042", false, "news0042", "42", {}},
        {"0042", false, "0042", "42", {}},
        {"clip_", true, "clip_", nullptr, {}},
        {"clip_99999999999", true, "clip_99999999999", nullptr, {}},
        {"clip_2147483647", true, "clip_2147483647", "2147483647", {}},
        {"clip_007", true, "clip_007", "7", {}},
        {"a}b{c", true, "ab", nullptr, {{"loop", ""}}},
        {"{ID}77{le}FALSE{pm}", true, "77", "77", {{"loop", "0"}, {"premul", "1"}}},
        {"T{le}No{hf}yes", true, "T", nullptr, {{"loop", "0"}, {"holdlast", "1"}}},
    };
    TVmSource source(nullptr, true);
    TVmSourceSettings settings = source.Settings();
    settings.ParseRecallID = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Base);
        settings.Underscore = c.Underscore;
        source.SetSettings(settings);
        TSourceFileItem item;
        item.SetFileName(std::string(c.Base) + ".mov");
        source.ParseFileName(item);
        EXPECT_EQ(item.Meta.Item("filename").Value(), c.FileName);
        EXPECT_EQ(item.Meta.Item("orgfilename").Value(), std::string(c.Base) + ".mov");
        EXPECT_EQ(item.Meta.Exists("recallid"), c.RecallID != nullptr);
        if (c.RecallID) {
            EXPECT_EQ(item.Meta.Item("recallid").Value(), c.RecallID);
        }
        int expectedCount = 2 + (c.RecallID ? 1 : 0);
        for (const auto& [key, value] : c.Others) {
            if (*value) {
                EXPECT_EQ(item.Meta.Item(key).Value(), value) << key;
                ++expectedCount;
            } else {
                EXPECT_FALSE(item.Meta.Exists(key)) << key;
            }
        }
        EXPECT_EQ(item.Meta.Count(), expectedCount);
    }
}

TEST(SourceNames, SourceFlagsApplyUnlessTheNameSaysOtherwise) {
    TVmSource source(nullptr, true);
    TVmSourceSettings settings = source.Settings();
    settings.Looping = settings.HoldLastFrame = settings.Shaped = true;
    settings.ParseRecallID = false;
    source.SetSettings(settings);
    TSourceFileItem plain, named;
    plain.SetFileName("clip_12.mov");
    named.SetFileName("clip{LE}0.mov");
    source.ParseFileName(plain);
    source.ParseFileName(named);
    EXPECT_EQ(plain.Meta.Item("loop").Value(), "1");
    EXPECT_EQ(plain.Meta.Item("holdlast").Value(), "1");
    EXPECT_EQ(plain.Meta.Item("premul").Value(), "1");
    EXPECT_FALSE(plain.Meta.Exists("recallid"));  // parsing recall IDs is off
    EXPECT_EQ(named.Meta.Item("loop").Value(), "0");
    EXPECT_EQ(named.Meta.Item("premul").Value(), "1");
}

// A source on a real watch folder, scanned by hand.
struct TScanFixture : ::testing::Test {
    TTestFolder Watch;
    TCollectingSource Collect;

    void Configure(const std::string& Filter, bool Timer, bool Settle, int32_t SettleTime = 0) {
        TVmSourceSettings s = Collect.Source->Settings();
        s.WatchFolder = Watch.Path();
        s.ExtensionFilter = Filter;
        s.UseTimer = Timer;
        s.UseSettleTime = Settle;
        s.SettleTime = SettleTime;
        Collect.Source->SetSettings(s);
    }
};

TEST_F(TScanFixture, ExtensionFilterCases) {
    struct Case {
        const char* Filter;
        Names Taken;
    };
    const Case cases[] = {
        {"*.mov; *.avi", {"a.MOV", "b.avi", "c.mov"}},
        {"*.*", {"noext"}},
        {"*.mov; ; *.avi", {"a.MOV", "c.mov"}},
        {";;*.avi;;", {"b.avi"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Filter);
        for (const char* name : {"a.MOV", "b.avi", "c.mov", "d.mp4", "noext"}) {
            WriteFile(Watch / name, "x");
        }
        Configure(c.Filter, false, false);
        Collect.Items.clear();
        Collect.Source->Scan();
        EXPECT_EQ(Collect.Names(), c.Taken);
    }
}

TEST_F(TScanFixture, DescriptionFilesStayWithTheirMedia) {
    Configure("*.mov", true, true, 0);
    WriteFile(Watch / "clip.mov", "m");
    WriteFile(Watch / "CLIP.xml", "<x/>");
    WriteFile(Watch / "alone.xml", "<x/>");
    WriteFile(Watch / "other.txt", "t");
    WriteFile(Watch / "other.xml", "<x/>");  // its partner is filtered out: not a partner
    Collect.Source->Scan();
    EXPECT_EQ(Collect.Names(), (Names{"alone.xml", "clip.mov", "other.xml"}));

    // Once the media file has gone on, the description is delivered by a later scan.
    std::filesystem::remove(Watch / "clip.mov");
    std::filesystem::remove(Watch / "alone.xml");
    std::filesystem::remove(Watch / "other.xml");
    Collect.Items.clear();
    Collect.Source->Scan();
    EXPECT_EQ(Collect.Names(), Names{"CLIP.xml"});
}

TEST_F(TScanFixture, DisabledSourceAndSettleOnlyWithTimer) {
    Configure("*.mov", false, true, 3600);  // settle time set but the timer is off
    WriteFile(Watch / "a.mov", "x");
    TVmSourceSettings s = Collect.Source->Settings();
    s.Enabled = false;
    Collect.Source->SetSettings(s);
    Collect.Source->Scan();
    EXPECT_EQ(Collect.Names(), Names{});
    s.Enabled = true;
    Collect.Source->SetSettings(s);
    Collect.Source->Scan();
    EXPECT_EQ(Collect.Names(), Names{"a.mov"});
    ASSERT_NE(Collect.Find("a.mov"), nullptr);
    EXPECT_EQ(Collect.Find("a.mov")->Meta.Item("filename").Value(), "a");

    Configure("*.mov", true, true, 3600);  // now the hour applies
    Collect.Items.clear();
    Collect.Source->Scan();
    EXPECT_EQ(Collect.Names(), Names{});
}

TEST(SourceActivation, RecoversQueuedFilesPurgesIntermediatesAndStartsTheMonitor) {
    TTestFolder root;
    TCollectingSource collect;
    TVmSourceSettings s = collect.Source->Settings();
    s.WatchFolder = root / "watch";
    s.ExtensionFilter = "*.mov";
    s.UseTimer = false;
    s.UseChangeNotification = false;
    collect.Source->SetSettings(s);
    const std::string watch = collect.Source->WatchFolder();
    const std::string queued = collect.Source->QueuedFolder();
    const std::string processing = collect.Source->ProcessingFolder();
    EXPECT_EQ(queued, watch + "Queued/");
    WriteFile(queued + "back.mov", "queued earlier");
    WriteFile(queued + "clash.mov", "queued earlier");
    WriteFile(watch + "clash.mov", "dropped later");
    WriteFile(processing + "{1234-5678}", "stale");
    WriteFile(processing + "{in use}", "running job");
    WriteFile(processing + "keep.avi", "not an intermediate");
    std::ifstream inUse(processing + "{in use}");

    ASSERT_TRUE(collect.Source->Activate());
    // The first scan runs at once, even with neither timer nor notification.
    ASSERT_TRUE(WaitFor([&] { return collect.Names().size() == 2; }, 5s));
    EXPECT_EQ(collect.Names(), (Names{"back.mov", "clash.mov"}));
    EXPECT_EQ(ReadFile(watch + "back.mov"), "queued earlier");
    // The newer file in the watch folder is kept; the queued one waits for a later activation.
    EXPECT_EQ(ReadFile(watch + "clash.mov"), "dropped later");
    EXPECT_EQ(ReadFile(queued + "clash.mov"), "queued earlier");
    EXPECT_FALSE(Exists(processing + "{1234-5678}"));
    EXPECT_TRUE(Exists(processing + "{in use}"));
    EXPECT_TRUE(Exists(processing + "keep.avi"));
    collect.Source->Deactivate();
    EXPECT_FALSE(collect.Source->Monitor().Running());

    TVmSource blank(nullptr, true);
    EXPECT_FALSE(blank.Activate());
    EXPECT_FALSE(blank.Monitor().Running());
}

// The engine, a task list with a job that records what it was given, and one source.
struct TEngineFixture : ::testing::Test {
    TTestFolder Root;
    std::atomic<bool> Release{false};  // lets held jobs end; outlives the task list
    TVmEngine Engine;
    TVmTaskList Tasks;
    std::vector<int32_t> TasksAtScan;  // under the task list's lock
    std::shared_ptr<TVmSource> Source;

    TEngineFixture() {
        // One worker: a second task waits in the queue while a first one is held.
        TVmEngineSettings settings = Engine.Settings();
        settings.Threads = 1;
        Engine.SetSettings(settings);
        Engine.AttachTaskList(&Tasks);
        auto processor = Engine.Processors().AddNew();
        Source = Engine.Sources().AddNew();
        TVmSourceSettings s = Source->Settings();
        s.WatchFolder = Root / "watch/";
        s.ExtensionFilter = "*.mov";
        s.Processor = processor;
        Source->SetSettings(s);
    }
    ~TEngineFixture() override {
        Release = true;
        Source->Deactivate();  // its scans use the task list
        Engine.DetachTaskList();
    }

    // A job that waits until released, so queued files stay queued.
    void HoldJobs() {
        Tasks.SetJobEvent([this](TTaskItem& task, TVmSource&, TVmProcessor&) {
            while (!Release.load()) {
                std::this_thread::sleep_for(5ms);
            }
            task.SetState(tsFinished);
        });
    }
};

TEST_F(TEngineFixture, NewMediaQueuesTheFileAndNeverReplacesAQueuedOne) {
    HoldJobs();
    Tasks.SetThreadCount(1);
    const std::string watch = Source->WatchFolder();
    const std::string queued = Source->QueuedFolder();
    WriteFile(watch + "clip_5.mov", "first");
    WriteFile(queued + "taken.mov", "queued before");
    WriteFile(watch + "taken.mov", "same name");
    Source->Scan();
    ASSERT_EQ(Tasks.Count(), 1);
    EXPECT_EQ(ReadFile(queued + "clip_5.mov"), "first");
    EXPECT_FALSE(Exists(watch + "clip_5.mov"));
    EXPECT_EQ(Tasks.Items(0)->FileItem()->FullName(), "clip_5.mov");
    EXPECT_EQ(Tasks.Items(0)->SourceUid(), Source->Uid());
    // The same name is queued already: the new file waits in the watch folder.
    EXPECT_EQ(ReadFile(queued + "taken.mov"), "queued before");
    EXPECT_EQ(ReadFile(watch + "taken.mov"), "same name");

    std::filesystem::remove(queued + "taken.mov");  // the earlier file has gone on
    Source->Scan();
    EXPECT_EQ(Tasks.Count(), 2);
    EXPECT_EQ(ReadFile(queued + "taken.mov"), "same name");
    Release = true;
}

TEST_F(TEngineFixture, NotifiedFileIsQueuedOnceItsWriterClosesIt) {
    HoldJobs();
    TVmSourceSettings s = Source->Settings();
    s.UseChangeNotification = true;
    s.UseTimer = false;
    Source->SetSettings(s);
    ASSERT_TRUE(Engine.Sources().Count() == 1);
    Engine.ActivateSources();
    // Without a timer only the folder's change notifications start scans: the closing itself
    // must be what gets the file queued.
    ASSERT_EQ(Source->Monitor().IntervalMs, 0u);
    const std::string watch = Source->WatchFolder();
    const std::string marker = Root / "closing";
    // Writes the file in pieces over about 1.5 s, keeping it open, then says it is about to close
    // it and closes it: before the marker the file is surely open.
    TChildProcess writer({"sh", "-c",
                          "exec 3>\"$0\"; for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do "
                          "printf 0123456789 >&3; sleep 0.1; done; : > \"$1\"; exec 3>&-",
                          watch + "copy.mov", marker},
                         "/dev/null");
    bool queuedWhileOpen = false;
    const bool queued = WaitFor(
        [&] {
            // Queued first, marker second: a marker still missing afterwards proves the file
            // was open when the task was seen.
            const bool any = Tasks.Count() > 0;
            queuedWhileOpen = queuedWhileOpen || (any && !Exists(marker));
            return any;
        },
        30s);
    EXPECT_FALSE(queuedWhileOpen);
    ASSERT_TRUE(queued) << "never queued";
    EXPECT_EQ(ReadFile(Source->QueuedFolder() + "copy.mov").size(), 150u);
    Release = true;
}

TEST_F(TEngineFixture, WithTimerAndSettleTimeTheFirstScanAfterSettlingTakesIt) {
    HoldJobs();
    TVmSourceSettings s = Source->Settings();
    s.UseChangeNotification = false;
    s.UseTimer = true;
    s.TimerInterval = 1;
    s.UseSettleTime = true;
    s.SettleTime = 2;
    Source->SetSettings(s);
    // Each scan reads the settle clock once: here one timer interval later than the last, and
    // noting how many tasks there were by then.
    Source->SetSettleTicks([this] {
        std::lock_guard lock(Tasks);
        TasksAtScan.push_back(Tasks.Count());
        return 50000u + 1000u * static_cast<uint32_t>(TasksAtScan.size() - 1);
    });
    WriteFile(Source->WatchFolder() + "late.mov", "x");
    Engine.ActivateSources();
    auto scans = [&] {
        std::lock_guard lock(Tasks);
        return TasksAtScan;
    };
    ASSERT_TRUE(WaitFor([&] { return Tasks.Count() == 1; }, 30s));
    Source->Deactivate();
    // Seen at 50 s, settled at 52 s: the third scan takes it (and a scan of the empty folder
    // reads no clock).
    EXPECT_EQ(scans(), (std::vector<int32_t>{0, 0, 0}));
    Release = true;
}

// Activation runs again after every change of a source: only files that no task in the list
// still needs go back to the watch folder.
TEST_F(TEngineFixture, ReactivationLeavesTheFilesOfWaitingAndRunningTasksQueued) {
    HoldJobs();
    TVmSourceSettings s = Source->Settings();
    s.UseTimer = false;
    s.UseChangeNotification = false;
    Source->SetSettings(s);
    const std::string watch = Source->WatchFolder();
    const std::string queued = Source->QueuedFolder();
    WriteFile(watch + "running.mov", "r");
    Source->Scan();
    ASSERT_TRUE(WaitFor([&] { return Tasks.Count() == 1 && Tasks.Items(0)->Running(); }));
    WriteFile(watch + "waiting.mov", "w");
    WriteFile(watch + "dropped.mov", "c");
    Source->Scan();
    ASSERT_EQ(Tasks.Count(), 3);
    EXPECT_EQ(Tasks.QueuedCount(), 2);
    for (int i = 0; i < Tasks.Count(); ++i) {
        if (Tasks.Items(i)->FileItem()->FullName() == "dropped.mov") {
            ASSERT_TRUE(Tasks.CancelTask(Tasks.Items(i)->Uid()));
        }
    }
    WriteFile(queued + "left over.mov", "from an earlier run");

    ASSERT_TRUE(Source->Activate());
    // The first scan at activation queues what came back, and nothing else.
    ASSERT_TRUE(WaitFor([&] { return Tasks.Count() >= 5; }));
    Source->Deactivate();  // waits for that scan
    EXPECT_EQ(Tasks.Count(), 5);
    EXPECT_EQ(ReadFile(queued + "running.mov"), "r");
    EXPECT_EQ(ReadFile(queued + "waiting.mov"), "w");
    std::vector<std::string> names;
    for (int i = 3; i < Tasks.Count(); ++i) {
        names.push_back(Tasks.Items(i)->FileItem()->FullName());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Names{"dropped.mov", "left over.mov"}));
    Release = true;
}

}  // namespace
