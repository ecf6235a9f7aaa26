#include "server/ingest/kxFolderMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ingest/IngestTestFolder.h"
#include "port/port.h"
#include "server/ingest/kxFileListParser.h"
#include "server/ingest/kxFileUtils.h"
#include "support/TestProcess.h"

namespace {

using namespace std::chrono_literals;
using testing_support::TChildProcess;
using testing_support::WaitFor;

// The settle tracker with a clock the test moves by hand.
struct TTrackerFixture : ::testing::Test {
    uint32_t Now = 1000;
    TFileListParser Parser{[this] { return Now; }};
    TTestFolder Folder;

    std::vector<std::string> Scan(int32_t Settle) {
        std::vector<std::unique_ptr<TSourceFileItem>> results;
        Parser.Scan(Folder.Path(), results, Settle);
        std::vector<std::string> names;
        for (const auto& item : results) {
            names.push_back(item->FullName());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

using Names = std::vector<std::string>;

TEST_F(TTrackerFixture, HandsOverOnceTheSizeHasStoodStillForTheSettleTime) {
    // 15 s settle time, scans every 10 s: taken at the third scan that sees the file.
    WriteFile(Folder / "clip.mov", "abc");
    EXPECT_EQ(Scan(15), Names{});
    Now += 10000;
    EXPECT_EQ(Scan(15), Names{});
    Now += 10000;
    EXPECT_EQ(Scan(15), Names{"clip.mov"});
    EXPECT_EQ(Parser.TrackedCount(), 0u);
    std::filesystem::remove(Folder / "clip.mov");  // as the engine moves it away

    // A size change starts the wait again from the scan that saw it.
    WriteFile(Folder / "grow.mov", "a");
    EXPECT_EQ(Scan(15), Names{});
    Now += 10000;
    WriteFile(Folder / "grow.mov", "ab");
    EXPECT_EQ(Scan(15), Names{});
    Now += 10000;
    EXPECT_EQ(Scan(15), Names{});
    Now += 5000;
    EXPECT_EQ(Scan(15), Names{"grow.mov"});
}

TEST_F(TTrackerFixture, SettleTimeZeroTakesAFileAtTheFirstScanThatSeesIt) {
    WriteFile(Folder / "a.mov", "x");
    WriteFile(Folder / ".hidden", "");
    EXPECT_EQ(Scan(0), (Names{".hidden", "a.mov"}));
}

TEST_F(TTrackerFixture, TickWrapDoesNoHarm) {
    Now = 0xFFFFF000u;  // 4 s before the 32-bit tick counter wraps
    WriteFile(Folder / "a.mov", "x");
    EXPECT_EQ(Scan(5), Names{});
    Now += 3000;
    EXPECT_EQ(Scan(5), Names{});
    Now += 3000;  // past the wrap, 6 s after the first sighting
    EXPECT_EQ(Scan(5), Names{"a.mov"});
}

TEST_F(TTrackerFixture, VanishedFilesAreForgottenOnlyByAScanThatFindsFiles) {
    WriteFile(Folder / "gone.mov", "x");
    EXPECT_EQ(Scan(15), Names{});
    std::filesystem::remove(Folder / "gone.mov");
    EXPECT_EQ(Scan(15), Names{});  // empty folder: the record stays
    EXPECT_TRUE(Parser.IsTracked("gone.mov"));
    const int32_t generation = Parser.Generation();

    WriteFile(Folder / "other.mov", "y");
    EXPECT_EQ(Scan(15), Names{});
    EXPECT_FALSE(Parser.IsTracked("gone.mov"));
    EXPECT_EQ(Parser.Generation(), generation + 1);

    // Coming back, it waits the full settle time again.
    Now += 20000;
    WriteFile(Folder / "gone.mov", "x");
    EXPECT_EQ(Scan(15), Names{"other.mov"});
    Now += 10000;
    EXPECT_EQ(Scan(15), Names{});
    Now += 5000;
    EXPECT_EQ(Scan(15), Names{"gone.mov"});
}

TEST_F(TTrackerFixture, AFileReplacedUnderTheSameNameStartsOver) {
    WriteFile(Folder / "a.mov", "1234");
    EXPECT_EQ(Scan(10), Names{});
    Now += 8000;
    WriteFile(Folder / "b.tmp", "1234");
    std::filesystem::rename(Folder / "b.tmp", Folder / "a.mov");  // same size, new file
    EXPECT_EQ(Scan(10), Names{});
    Now += 8000;
    EXPECT_EQ(Scan(10), Names{});
    Now += 2000;
    EXPECT_EQ(Scan(10), Names{"a.mov"});
}

TEST_F(TTrackerFixture, AFileHeldOpenElsewhereIsTakenAfterItIsClosed) {
    const std::string path = Folder / "held.mov";
    WriteFile(path, "data");
    TChildProcess holder({"sh", "-c", "exec 3<\"$0\"; exec sleep 30", path}, "/dev/null");
    // The child has the file open once the lease probe starts failing.
    ASSERT_TRUE(WaitFor([&] { return !port::CanOpenExclusive(path); }, 5s));
    Now += 20000;
    EXPECT_EQ(Scan(0), Names{});
    EXPECT_EQ(Scan(0), Names{});
    EXPECT_TRUE(Parser.IsTracked("held.mov"));
    holder.Stop(SIGKILL);
    EXPECT_EQ(Scan(0), Names{"held.mov"});
}

TEST_F(TTrackerFixture, NameFilterKeepsOtherFilesUnexamined) {
    for (int i = 0; i < 50; ++i) {
        WriteFile(Folder / ("skip" + std::to_string(i) + ".txt"), "x");
    }
    WriteFile(Folder / "take.mov", "x");
    Parser.SetNameFilter([](std::string_view name) { return name.ends_with(".mov"); });
    const uint64_t before = port::FileProbeCount();
    EXPECT_EQ(Scan(0), Names{"take.mov"});
    // One examination and one probe, for the one file of interest.
    EXPECT_EQ(port::FileProbeCount() - before, 2u);
}

// --- file helpers ---

// A folder on another file system than the temporary folder, or none.
std::unique_ptr<TTestFolder> OtherFileSystemFolder(const TTestFolder& Here) {
    for (const char* base : {"/dev/shm", "/run"}) {
        port::FileState a, b;
        WriteFile(Here / "probe", "");
        if (!std::filesystem::is_directory(base) || !port::StatFile(Here / "probe", a)) {
            continue;
        }
        auto folder = std::make_unique<TTestFolder>(base);
        WriteFile(*folder / "probe", "");
        if (port::StatFile(*folder / "probe", b) && a.device != b.device) {
            return folder;
        }
    }
    return nullptr;
}

TEST(FileHelpers, MoveWithinAndAcrossFileSystems) {
    TTestFolder here;
    auto there = OtherFileSystemFolder(here);
    struct Case {
        const char* Name;
        bool Across;
    };
    for (const Case& c : {Case{"same file system", false}, Case{"across file systems", true}}) {
        SCOPED_TRACE(c.Name);
        if (c.Across && !there) {
            GTEST_SKIP() << "no second file system (tmpfs at /dev/shm) on this machine";
        }
        const std::string target = (c.Across ? there->Path() : here.Path()) + "sub/deep/x.mov";
        const std::string source = here / "x.mov";
        WriteFile(source, "payload");
        EXPECT_TRUE(FileMove(LongPath(source), LongPath(target)));
        EXPECT_FALSE(Exists(source));
        EXPECT_EQ(ReadFile(target), "payload");

        // An existing target is replaced by default, kept when replacing is refused.
        WriteFile(source, "newer");
        EXPECT_FALSE(FileMove(source, target, false));
        EXPECT_EQ(ReadFile(source), "newer");
        EXPECT_EQ(ReadFile(target), "payload");
        EXPECT_TRUE(FileMove(source, target));
        EXPECT_EQ(ReadFile(target), "newer");
        EXPECT_FALSE(Exists(source));
    }
}

TEST(FileHelpers, MoveFailuresKeepTheSource) {
    TTestFolder here;
    const std::string source = here / "a.mov";
    WriteFile(source, "keep");
    EXPECT_TRUE(FileMove(source, source));  // onto itself: nothing is lost
    EXPECT_EQ(ReadFile(source), "keep");

    std::filesystem::create_directories(here / "dir.mov");
    EXPECT_FALSE(FileMove(source, here / "dir.mov"));
    EXPECT_EQ(ReadFile(source), "keep");
    EXPECT_FALSE(FileMove(here / "missing.mov", here / "b.mov"));
    EXPECT_FALSE(Exists(here / "b.mov"));
}

// Larger than any buffer, with a pattern that shows misplaced blocks.
std::string LargeContent() {
    std::string large(24 * 1024 * 1024 + 77, '\0');
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>((i * 131) ^ (i >> 13));
    }
    return large;
}

TEST(FileHelpers, CopyEmptyLargeAndFailing) {
    TTestFolder here;
    WriteFile(here / "empty", "");
    EXPECT_TRUE(FileCopy(here / "empty", here / "empty.copy"));
    EXPECT_TRUE(Exists(here / "empty.copy"));
    EXPECT_EQ(std::filesystem::file_size(here / "empty.copy"), 0u);

    const std::string large = LargeContent();
    WriteFile(here / "large", large);
    EXPECT_TRUE(FileCopy(here / "large", here / "large.copy"));
    EXPECT_TRUE(ReadFile(here / "large.copy") == large);

    EXPECT_FALSE(FileCopy(here / "missing", here / "never"));
    EXPECT_FALSE(Exists(here / "never"));
    EXPECT_FALSE(FileCopy(here / "large", here / "no-such-folder/x"));
}

TEST(FileHelpers, CopyAcrossFileSystems) {
    TTestFolder here;
    auto there = OtherFileSystemFolder(here);
    if (!there) {
        GTEST_SKIP() << "no second file system (tmpfs at /dev/shm) on this machine";
    }
    const std::string large = LargeContent();
    WriteFile(here / "large", large);
    EXPECT_TRUE(FileCopy(here / "large", *there / "large.copy"));
    EXPECT_TRUE(ReadFile(*there / "large.copy") == large);
}

TEST(FileHelpers, ExclusiveProbeSeesOtherOpeners) {
    TTestFolder here;
    const std::string path = here / "f";
    WriteFile(path, "x");
    EXPECT_TRUE(CanOpenExclusive(path));
    {
        std::ifstream reader(path);  // an opener in this very process counts too
        EXPECT_FALSE(CanOpenExclusive(path));
    }
    EXPECT_TRUE(CanOpenExclusive(path));
    EXPECT_FALSE(CanOpenExclusive(here / "missing"));
    EXPECT_EQ(LongPath(std::string(300, 'a')), std::string(300, 'a'));
}

// --- the monitor thread ---

TEST(FolderMonitor, WakesOnChangeOnIntervalAndOnlyWhenActive) {
    TTestFolder folder;
    TFolderMonitor monitor;
    std::atomic<int> scans{0};
    monitor.SetOnScan([&](TMonitorThread&) { scans.fetch_add(1); });
    monitor.ScanAtStart = true;
    monitor.IntervalMs = 0;
    monitor.UseChangeNotification = true;
    monitor.SetFolder(folder.Path());
    EXPECT_FALSE(monitor.Running());  // not active yet
    monitor.SetActive(true);
    ASSERT_TRUE(monitor.Running());
    ASSERT_TRUE(WaitFor([&] { return scans.load() == 1; }, 5s));  // the first pass
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(scans.load(), 1);  // nothing changed, no interval
    WriteFile(folder / "new.mov", "x");
    EXPECT_TRUE(WaitFor([&] { return scans.load() >= 2; }, 5s));

    // Without notification, an interval of 50 ms keeps scanning an unchanged folder.
    monitor.SetActive(false);
    EXPECT_FALSE(monitor.Running());
    const int before = scans.load();
    monitor.UseChangeNotification = false;
    monitor.IntervalMs = 50;
    monitor.ScanAtStart = false;
    monitor.SetActive(true);
    EXPECT_TRUE(WaitFor([&] { return scans.load() >= before + 3; }, 5s));
    monitor.SetActive(false);
}

TEST(FolderMonitor, MissingFolderRunsNoThreadAndAThrowingScanIsSurvived) {
    TTestFolder folder;
    TFolderMonitor monitor;
    std::atomic<int> scans{0};
    monitor.SetOnScan([&](TMonitorThread&) {
        scans.fetch_add(1);
        throw std::runtime_error("scan failed");
    });
    monitor.IntervalMs = 20;
    monitor.UseChangeNotification = true;
    monitor.SetActive(true);
    monitor.SetFolder(folder / "missing/");
    EXPECT_FALSE(monitor.Running());
    monitor.SetFolder(folder.Path());
    ASSERT_TRUE(monitor.Running());
    EXPECT_TRUE(WaitFor([&] { return scans.load() >= 3; }, 5s));
}

}  // namespace
