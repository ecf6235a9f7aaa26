// Farm mode through real processes: two installations of the server on one shared watch-folder
// tree and one PostgreSQL cluster of the test's own. Clips are synthetic (a few frames of 16 x
// 16 pixels, see the synthetic plug-in), so the jobs are short unless a test asks for a long one.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "port/port.h"
#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"
#include "server/farm/lmFarmConnection.h"
#include "server/farm/lmVmFarm.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestInstallation.h"
#include "support/TestPostgres.h"
#include "support/TestProcess.h"
#include "support/TestWait.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

const std::string ShortClip = "width=16 height=16 frames=2 rate=25";

// A clip whose job runs for about Seconds.
std::string LongClip(int Seconds) {
    return "width=16 height=16 frames=" + std::to_string(Seconds * 10) +
           " rate=25 framedelayms=100";
}

size_t CountOf(const std::string& Text, const std::string& Part) {
    size_t count = 0;
    for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<std::string> FilesIn(const fs::path& Folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(Folder, error)) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

struct TTaskRecord {
    int State = -1;
    std::string Owner;
    int Attempts = 0;
    int64_t Epoch = 0;
};

class FarmEngines : public ::testing::Test {
  protected:
    static constexpr int EngineCount = 2;

    void SetUp() override {
        ASSERT_TRUE(Postgres.Ready());
        for (const char* folder : {"watch", "out", "incoming"}) {
            fs::create_directories(Shared / folder);
        }
        for (TTestInstallation& install : Installs) {
            install.AddToBin(fs::path(LMV_SYNTH_PLUGIN_DIR) / "lvs_synth.lvs");
        }
    }

    void TearDown() override {
        for (int i = 0; i < EngineCount; ++i) {
            if (Engines[i] && Engines[i]->Running()) {
                kill(Engines[i]->Pid(), SIGCONT);
                EXPECT_EQ(Engines[i]->Stop(SIGTERM), 0) << Log(i);
            }
        }
        std::error_code ignored;
        fs::remove_all(Shared, ignored);
    }

    // Both engines carry the same source (one uid, the shared watch folder) delivering into
    // the shared "out" folder; each has its own port and name.
    void Configure(int LeaseSeconds, int Threads) {
        TVmEngine engine;
        auto target = engine.Targets().AddNew();
        target->SetType(TVmTarget::FolderType);
        target->SetFolder((Shared / "out").string() + "/");
        auto processor = engine.Processors().AddNew();
        processor->AddTarget(target);
        auto source = engine.Sources().AddNew();
        source->SetWatchFolder(Watch());
        source->SetExtensionFilter("*.synth");
        TVmSourceSettings s = source->Settings();
        s.UseTimer = true;
        s.TimerInterval = 1;
        s.UseSettleTime = true;
        s.SettleTime = 1;
        s.UseChangeNotification = false;
        source->SetSettings(s);
        source->SetProcessor(processor);
        Queued = source->QueuedFolder();
        Processing = source->ProcessingFolder();
        Completed = source->CompletedFolder();
        Failed = source->FailedFolder();
        for (int i = 0; i < EngineCount; ++i) {
            TVmEngineSettings settings = engine.Settings();
            settings.Name = std::string("engine-") + static_cast<char>('a' + i);
            settings.Port = Ports[i];
            settings.Threads = Threads;
            settings.FarmDB = Postgres.ConnectionString();
            settings.FarmLease = LeaseSeconds;
            engine.SetSettings(settings);
            ASSERT_TRUE(
                TVmConfigStore(engine).SaveConfig((Installs[i].Folder() / "config.dat").string()));
        }
    }

    void StartEngine(int i) {
        Engines[i] = std::make_unique<TChildProcess>(
            std::vector<std::string>{Installs[i].Server(), "-NOSERVICE"},
            (Installs[i].Folder() / ("out" + std::to_string(Starts[i]++) + ".txt")).string());
        ASSERT_TRUE(WaitFor([&] { return CountOf(Log(i), "joined the farm") >= Starts[i]; }, 60s))
            << Log(i);
    }

    void StartAll() {
        for (int i = 0; i < EngineCount; ++i) {
            ASSERT_NO_FATAL_FAILURE(StartEngine(i));
        }
    }

    std::string Log(int i) const { return Installs[i].LogText(); }
    std::string Watch() const { return (Shared / "watch").string() + "/"; }
    std::string EngineId(int i) const {
        return TVmFarm::EngineIdFor(port::HostName(), Installs[i].Folder().string() + "/");
    }
    int EngineOf(const std::string& Id) const {
        for (int i = 0; i < EngineCount; ++i) {
            if (EngineId(i) == Id) {
                return i;
            }
        }
        return -1;
    }

    // Written beside the watch folder and renamed in, as a finished upload arrives.
    void Drop(const std::string& Name, const std::string& Descriptor) {
        const fs::path incoming = Shared / "incoming" / Name;
        std::ofstream(incoming) << Descriptor << "\n";
        fs::rename(incoming, Watch() + Name);
    }

    // The farm's record of the tasks of a file name, oldest first.
    std::vector<TTaskRecord> Records(const std::string& Name) {
        const TFarmResult result = Db.Exec(
            "SELECT state, owner, attempts, lease_epoch FROM farm_task WHERE path = $1 ORDER BY id",
            {Name});
        std::vector<TTaskRecord> records;
        for (const auto& row : result.Rows) {
            records.push_back({std::stoi(row[0]), row[1], std::stoi(row[2]), std::stoll(row[3])});
        }
        return records;
    }
    int64_t Count(const std::string& Sql) {
        const TFarmResult result = Db.Exec(Sql);
        return result.Ok && !result.Rows.empty() ? std::stoll(result.Rows[0][0]) : -1;
    }
    // Waits until the newest task of the name is in the state; its record.
    TTaskRecord WaitForState(const std::string& Name, int State,
                             std::chrono::milliseconds Limit = 60s) {
        TTaskRecord record;
        WaitFor(
            [&] {
                const std::vector<TTaskRecord> records = Records(Name);
                record = records.empty() ? TTaskRecord{} : records.back();
                return record.State == State;
            },
            Limit);
        return record;
    }

    TTestPostgres Postgres;
    TFarmConnection Db{Postgres.ConnectionString(), "test", 5000};
    const fs::path Shared = fs::temp_directory_path() / ("lmv-farm-" + std::to_string(getpid()) +
                                                         "-" + std::to_string(std::rand()));
    TTestInstallation Installs[EngineCount];
    int Ports[EngineCount] = {FreePort(), FreePort()};
    std::unique_ptr<TChildProcess> Engines[EngineCount];
    size_t Starts[EngineCount] = {0, 0};
    std::string Queued, Processing, Completed, Failed;
};

TEST_F(FarmEngines, TwoEnginesConvertEveryClipExactlyOnceAndBothWork) {
    constexpr int Clips = 500;
    ASSERT_NO_FATAL_FAILURE(Configure(10, 1));
    ASSERT_NO_FATAL_FAILURE(StartAll());
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < Clips; ++i) {
        std::ofstream(Shared / "incoming" / ("clip" + std::to_string(i) + ".synth"))
            << ShortClip << "\n";
    }
    for (int i = 0; i < Clips; ++i) {
        const std::string name = "clip" + std::to_string(i) + ".synth";
        fs::rename(Shared / "incoming" / name, Watch() + name);
    }
    ASSERT_TRUE(WaitFor(
        [&] { return Count("SELECT count(*) FROM farm_task WHERE state = 4") == Clips; }, 240s))
        << Count("SELECT count(*) FROM farm_task WHERE state = 4") << " finished\n"
        << Log(0) << Log(1);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%d clips on two engines in %.1f s\n", Clips, seconds);

    EXPECT_EQ(Count("SELECT count(*) FROM farm_task"), Clips);
    // Each task committed its finish once, and each output was delivered once.
    EXPECT_EQ(Count("SELECT count(*) FROM (SELECT task_uid FROM farm_event WHERE kind = 'commit' "
                    "AND detail = 'state 4' GROUP BY task_uid HAVING count(*) > 1) d"),
              0);
    size_t deliveries[EngineCount];
    for (int i = 0; i < EngineCount; ++i) {
        deliveries[i] = CountOf(Log(i), "Copied file: ");
        EXPECT_GT(deliveries[i], 0u) << "engine " << i << " did no work";
    }
    EXPECT_EQ(deliveries[0] + deliveries[1], static_cast<size_t>(Clips));
    EXPECT_EQ(FilesIn(Shared / "out").size(), static_cast<size_t>(Clips));
    // Each record says "finished" before its job files the source away.
    EXPECT_TRUE(WaitFor([&] { return FilesIn(Completed).size() == static_cast<size_t>(Clips); }));
    EXPECT_TRUE(FilesIn(Watch()).empty());
    EXPECT_TRUE(FilesIn(Queued).empty());
    EXPECT_TRUE(FilesIn(Processing).empty());
    EXPECT_TRUE(FilesIn(Failed).empty());
}

TEST_F(FarmEngines, AKilledEnginesJobIsTakenOverAndItTakesNothingBack) {
    ASSERT_NO_FATAL_FAILURE(Configure(4, 1));
    ASSERT_NO_FATAL_FAILURE(StartAll());
    Drop("long.synth", LongClip(5));
    const TTaskRecord running = WaitForState("long.synth", tsTranscoding);
    const int killed = EngineOf(running.Owner);
    ASSERT_GE(killed, 0) << Log(0) << Log(1);
    const int other = 1 - killed;
    ASSERT_TRUE(WaitFor([&] {
        for (const std::string& name : FilesIn(Processing)) {
            if (name.find(EngineId(killed)) != std::string::npos) {
                return true;
            }
        }
        return false;
    })) << "the job wrote no intermediate file";
    EXPECT_EQ(Engines[killed]->Stop(SIGKILL), -1);
    const TFarmResult killedAt = Db.Exec("SELECT extract(epoch FROM now())");

    const TTaskRecord done = WaitForState("long.synth", tsFinished, 90s);
    // The figure for the notes, not a check: how long the task waited for its new engine.
    const TFarmResult claimedAt = Db.Exec(
        "SELECT extract(epoch FROM max(at)) FROM farm_event WHERE kind = 'claim' AND engine = $1",
        {EngineId(other)});
    if (killedAt.Ok && claimedAt.Ok && !claimedAt.Rows.empty()) {
        std::printf("take-over after kill -9: %.1f s (lease 4 s, grace %d s)\n",
                    std::stod(claimedAt.Rows[0][0]) - std::stod(killedAt.Rows[0][0]), 1);
    }
    ASSERT_EQ(done.State, tsFinished) << Log(other);
    EXPECT_EQ(done.Owner, EngineId(other));
    EXPECT_EQ(done.Attempts, 2);
    EXPECT_EQ(CountOf(Log(other), "Copied file: "), 1u);
    EXPECT_EQ(CountOf(Log(killed), "Copied file: "), 0u);
    EXPECT_EQ(FilesIn(Shared / "out"), std::vector<std::string>{"long.avi"});
    EXPECT_TRUE(
        WaitFor([&] { return FilesIn(Completed) == std::vector<std::string>{"long.synth"}; }));

    ASSERT_NO_FATAL_FAILURE(StartEngine(killed));
    EXPECT_EQ(CountOf(Log(killed), "of this engine's last run"), 0u);
    const std::vector<TTaskRecord> after = Records("long.synth");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].Owner, EngineId(other));
    EXPECT_EQ(after[0].State, tsFinished);
    EXPECT_EQ(after[0].Epoch, done.Epoch);
    // Its own leftover intermediate file is gone; the shared folders hold nothing else.
    EXPECT_TRUE(FilesIn(Processing).empty()) << FilesIn(Processing).front();
    EXPECT_TRUE(FilesIn(Queued).empty());
    EXPECT_TRUE(FilesIn(Watch()).empty());
}

TEST_F(FarmEngines, AStoppedEnginePastItsLeaseTouchesNeitherOutputNorSource) {
    ASSERT_NO_FATAL_FAILURE(Configure(4, 1));
    ASSERT_NO_FATAL_FAILURE(StartAll());
    Drop("long.synth", LongClip(5));
    const TTaskRecord running = WaitForState("long.synth", tsTranscoding);
    const int zombie = EngineOf(running.Owner);
    ASSERT_GE(zombie, 0);
    const int other = 1 - zombie;
    kill(Engines[zombie]->Pid(), SIGSTOP);

    const TTaskRecord done = WaitForState("long.synth", tsFinished, 90s);
    ASSERT_EQ(done.Owner, EngineId(other)) << Log(other);
    const fs::path output = Shared / "out" / "long.avi";
    const fs::path filed = fs::path(Completed) / "long.synth";
    ASSERT_TRUE(fs::exists(output));
    ASSERT_TRUE(fs::exists(filed));
    const auto outputTime = fs::last_write_time(output);
    const auto outputSize = fs::file_size(output);

    kill(Engines[zombie]->Pid(), SIGCONT);
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(zombie), "leaves its files alone") > 0; }, 30s))
        << Log(zombie);
    // The zombie's job has ended once its worker logged the time it took.
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(zombie), "Encoding took: ") > 0; }, 30s))
        << Log(zombie);
    EXPECT_EQ(fs::last_write_time(output), outputTime);
    EXPECT_EQ(fs::file_size(output), outputSize);
    EXPECT_TRUE(fs::exists(filed));
    EXPECT_EQ(CountOf(Log(zombie), "Copied file: "), 0u);
    EXPECT_TRUE(FilesIn(Failed).empty());
    EXPECT_TRUE(FilesIn(Queued).empty());
    EXPECT_TRUE(FilesIn(Watch()).empty());
    const std::vector<TTaskRecord> after = Records("long.synth");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].Owner, EngineId(other));
    EXPECT_EQ(after[0].State, tsFinished);
}

// Shorter than the lease: the job goes on and finishes on its first claim. Longer than twice
// the lease: the engines stop claiming and fence their jobs, and once the database is back the
// work is taken over and every clip is delivered once.
TEST_F(FarmEngines, DatabaseOutagesShortAndLong) {
    ASSERT_NO_FATAL_FAILURE(Configure(4, 1));
    ASSERT_NO_FATAL_FAILURE(StartAll());
    Drop("short.synth", LongClip(4));
    ASSERT_EQ(WaitForState("short.synth", tsTranscoding).State, tsTranscoding);
    Postgres.Stop();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(Postgres.Start());
    const TTaskRecord first = WaitForState("short.synth", tsFinished, 60s);
    EXPECT_EQ(first.State, tsFinished) << Log(0) << Log(1);
    EXPECT_EQ(first.Attempts, 1);

    Drop("long.synth", LongClip(4));
    const TTaskRecord running = WaitForState("long.synth", tsTranscoding);
    const int owner = EngineOf(running.Owner);
    ASSERT_GE(owner, 0);
    Postgres.Stop();
    // Dropped while the database is away: it waits in the watch folder.
    Drop("during.synth", ShortClip);
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(owner), "no lease renewal succeeded") > 0; }, 30s))
        << Log(owner);
    std::this_thread::sleep_for(9s);
    ASSERT_TRUE(Postgres.Start());

    for (const char* name : {"long.synth", "during.synth"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(WaitForState(name, tsFinished, 90s).State, tsFinished) << Log(0) << Log(1);
    }
    EXPECT_EQ(Records("long.synth").size(), 1u);
    EXPECT_GE(Records("long.synth").back().Attempts, 2);
    for (int i = 0; i < EngineCount; ++i) {
        EXPECT_GT(CountOf(Log(i), "Farm database connection restored"), 0u) << Log(i);
    }
    EXPECT_EQ(CountOf(Log(0) + Log(1), "Copied file: "), 3u);
    std::vector<std::string> out = FilesIn(Shared / "out");
    std::sort(out.begin(), out.end());
    EXPECT_EQ(out, (std::vector<std::string>{"during.avi", "long.avi", "short.avi"}));
    // The farm's record says "finished" before the job files the source away.
    EXPECT_TRUE(WaitFor([&] { return FilesIn(Completed).size() == 3u; }));
    EXPECT_TRUE(FilesIn(Queued).empty());
}

TEST_F(FarmEngines, TheSameNameDroppedAgainIsASecondTask) {
    ASSERT_NO_FATAL_FAILURE(Configure(10, 1));
    ASSERT_NO_FATAL_FAILURE(StartAll());
    Drop("again.synth", ShortClip);
    ASSERT_EQ(WaitForState("again.synth", tsFinished).State, tsFinished);
    Drop("again.synth", "width=32 height=16 frames=3 rate=25");
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<TTaskRecord> records = Records("again.synth");
        return records.size() == 2 && records[1].State == tsFinished;
    })) << Log(0)
        << Log(1);
    EXPECT_EQ(Records("again.synth")[0].State, tsFinished);
    EXPECT_EQ(CountOf(Log(0) + Log(1), "Copied file: "), 2u);
    EXPECT_TRUE(
        WaitFor([&] { return FilesIn(Completed) == std::vector<std::string>{"again.synth"}; }));
    EXPECT_TRUE(FilesIn(Watch()).empty());
}

// The other engine restarts while one works: nothing of the working engine's moves, and a
// file of the queued folder that no task owns goes to "Orphaned", not back into the watch
// folder.
TEST_F(FarmEngines, ARestartOfOneEngineLeavesTheOthersWorkAlone) {
    ASSERT_NO_FATAL_FAILURE(Configure(4, 1));
    ASSERT_NO_FATAL_FAILURE(StartAll());
    Drop("long.synth", LongClip(6));
    const TTaskRecord running = WaitForState("long.synth", tsTranscoding);
    const int worker = EngineOf(running.Owner);
    ASSERT_GE(worker, 0);
    const int restarted = 1 - worker;
    const std::vector<std::string> queuedBefore = FilesIn(Queued);
    ASSERT_EQ(queuedBefore.size(), 1u);
    ASSERT_TRUE(WaitFor([&] { return !FilesIn(Processing).empty(); }));
    const std::vector<std::string> processingBefore = FilesIn(Processing);
    std::ofstream(fs::path(Queued) / "stray.synth") << ShortClip << "\n";

    ASSERT_EQ(Engines[restarted]->Stop(SIGTERM), 0);
    ASSERT_NO_FATAL_FAILURE(StartEngine(restarted));
    const std::vector<TTaskRecord> during = Records("long.synth");
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].State, tsTranscoding);
    EXPECT_EQ(during[0].Owner, running.Owner);
    EXPECT_EQ(during[0].Epoch, running.Epoch);
    EXPECT_EQ(FilesIn(Queued), queuedBefore);
    EXPECT_EQ(FilesIn(Processing), processingBefore);
    EXPECT_TRUE(fs::exists(Watch() + "Orphaned/stray.synth"));

    const TTaskRecord done = WaitForState("long.synth", tsFinished, 60s);
    EXPECT_EQ(done.Owner, running.Owner);
    EXPECT_EQ(done.Attempts, 1);
    EXPECT_FALSE(fs::exists(Watch() + "stray.synth"));
    EXPECT_TRUE(Records("stray.synth").empty());

    // The farm's view, from the restarted engine's port.
    const TProcessResult status =
        RunProcess({std::string(LMV_STAGE_DIR) + "/lmVidmillCtl", "--port",
                    std::to_string(Ports[restarted]), "farm", "status"});
    EXPECT_EQ(status.ExitCode, 0) << status.Output;
    EXPECT_NE(status.Output.find("engine-a"), std::string::npos) << status.Output;
    EXPECT_NE(status.Output.find("engine-b"), std::string::npos) << status.Output;
    EXPECT_NE(status.Output.find("2 engines (2 alive)"), std::string::npos) << status.Output;
}

}  // namespace
