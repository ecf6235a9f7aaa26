#include "foundation/kxLogFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/kxThreads.h"
#include "support/TestWait.h"

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using namespace std::chrono_literals;

namespace {

// The clock the log reads while a test runs.
std::atomic<int64_t> fakeNowMs{0};
Clock::time_point FakeNow() {
    return Clock::time_point(std::chrono::milliseconds(fakeNowMs));
}

// A moment given in local time.
Clock::time_point Local(int year, int month, int day, int hour, int minute, int second, int ms) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return Clock::from_time_t(std::mktime(&t)) + std::chrono::milliseconds(ms);
}

void SetNow(Clock::time_point moment) {
    fakeNowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count();
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const fs::path& path) {
    std::vector<std::string> lines;
    const std::string text = ReadFile(path);
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return lines;
}

class LogFileTest : public testing::Test {
  protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() /
               ("lmv_log_" +
                std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(FDir);
        LogSetClockForTesting(&FakeNow);
        SetNow(Local(2026, 12, 9, 14, 3, 7, 125));
    }
    void TearDown() override {
        LogClose();
        LogSetClockForTesting(nullptr);
        fs::remove_all(FDir);
    }
    std::string Dir() const { return FDir.string(); }  // without the trailing "/"
    fs::path File(const std::string& date) const { return FDir / ("lmvidmill-" + date + ".log"); }
    static bool Open(const std::string& dir, int64_t maxFiles = 31) {
        return LogOpen(dir, "lmvidmill", "v1.0 build 7", maxFiles, false);
    }

    fs::path FDir;
};

}  // namespace

TEST_F(LogFileTest, LinesAreStampedAndWrittenToTheDaysFile) {
    ASSERT_TRUE(Open(Dir()));
    EXPECT_FALSE(Open(Dir()));  // one log per process
    LogText("");
    LogText("Starting server...");
    SetNow(Local(2026, 12, 9, 9, 5, 0, 7));
    LogText(
        "Gr\xC3\xB6\xC3\x9F"
        "e \xE2\x82\xAC");
    LogClose();
    EXPECT_EQ(ReadFile(File("09-12-2026")),
              "09-12-26 14:03:07.125: \r\n"
              "09-12-26 14:03:07.125: Starting server...\r\n"
              "09-12-26 09:05:00.007: Gr\xC3\xB6\xC3\x9F"
              "e \xE2\x82\xAC\r\n");
    EXPECT_EQ(LogFileName("lmvidmill", Local(2027, 1, 2, 0, 0, 0, 0)), "lmvidmill-02-01-2027");
}

TEST_F(LogFileTest, ResultsSayHowTheStepEnded) {
    struct Case {
        bool ok;
        std::string error, line;
    };
    const Case cases[] = {
        {true, "ignored", "Starting Vidmill using TCP port 9797: Success."},
        {false, "Address already in use",
         "Starting Vidmill using TCP port 9797: Failed (Address already in use)"},
        {false, "", "Starting Vidmill using TCP port 9797: Failed"},
    };
    ASSERT_TRUE(Open(Dir()));
    for (const Case& c : cases) {
        EXPECT_EQ(LogResult("Starting Vidmill using TCP port 9797", c.ok, c.error), c.ok);
    }
    LogClose();
    const auto lines = Lines(File("09-12-2026"));
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], "09-12-26 14:03:07.125: " + cases[i].line);
    }
}

TEST_F(LogFileTest, NothingHappensWithoutAnOpenLog) {
    LogText("before");
    EXPECT_FALSE(LogResult("before", false, "x"));
    LogClose();
    ASSERT_TRUE(Open(Dir()));
    LogText("inside");
    LogClose();
    LogText("after");
    EXPECT_TRUE(LogResult("after", true));
    LogClose();
    EXPECT_EQ(Lines(File("09-12-2026")), std::vector<std::string>{"09-12-26 14:03:07.125: inside"});
    EXPECT_EQ(std::distance(fs::directory_iterator(FDir), fs::directory_iterator()), 1);
}

TEST_F(LogFileTest, ARunOverMidnightMovesToTheNextDayWithABanner) {
    SetNow(Local(2026, 12, 8, 23, 59, 58, 0));
    ASSERT_TRUE(Open(Dir()));
    SetNow(Local(2026, 12, 8, 23, 59, 59, 900));
    LogText("late");
    SetNow(Local(2026, 12, 9, 0, 0, 0, 100));
    LogText("early");
    LogText("later");
    LogClose();
    EXPECT_EQ(Lines(File("08-12-2026")), std::vector<std::string>{"08-12-26 23:59:59.900: late"});
    const auto next = Lines(File("09-12-2026"));
    const std::string banner =
        "09-12-26 00:00:00.100: *** lmvidmill v1.0 build 7 started @ 08-12-26 23:59:58";
    ASSERT_EQ(next.size(), 3u);
    EXPECT_EQ(next[0], "09-12-26 00:00:00.100: early");
    // The banner follows whatever was already waiting when the file changed.
    const bool laterWaited = next[1] == "09-12-26 00:00:00.100: later" && next[2] == banner;
    const bool laterCameAfter = next[1] == banner && next[2] == "09-12-26 00:00:00.100: later";
    EXPECT_TRUE(laterWaited || laterCameAfter) << next[1] << " / " << next[2];
}

TEST_F(LogFileTest, ASecondRunTheSameDayAppendsWithoutBanner) {
    for (const char* text : {"first run", "second run"}) {
        ASSERT_TRUE(Open(Dir() + "/"));
        LogText(text);
        LogClose();
    }
    EXPECT_EQ(Lines(File("09-12-2026")),
              (std::vector<std::string>{"09-12-26 14:03:07.125: first run",
                                        "09-12-26 14:03:07.125: second run"}));
}

TEST_F(LogFileTest, AFileHeldByAnotherWriterLosesRecordsUntilTheDayChanges) {
    fs::create_directories(FDir);
    port::AppendFile holder;
    ASSERT_TRUE(holder.Open(File("09-12-2026").string()));
    ASSERT_TRUE(holder.Write(std::string("held\r\n")));

    SetNow(Local(2026, 12, 9, 23, 0, 0, 0));
    ASSERT_TRUE(Open(Dir()));
    LogText("lost");
    LogText("lost too");
    SetNow(Local(2026, 12, 10, 0, 0, 1, 0));
    LogText("kept");
    LogClose();
    holder.Close();
    EXPECT_EQ(ReadFile(File("09-12-2026")), "held\r\n");
    const auto next = Lines(File("10-12-2026"));
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[0], "10-12-26 00:00:01.000: kept");
    EXPECT_EQ(next[1],
              "10-12-26 00:00:01.000: *** lmvidmill v1.0 build 7 started @ 09-12-26 23:00:00");
}

TEST_F(LogFileTest, OldFilesAreDeletedOldestFirstByCreationTime) {
    struct Case {
        int64_t maxFiles;
        size_t logsLeft;
    };
    for (const Case& c : {Case{31, 31}, Case{0, 41}}) {
        fs::remove_all(FDir);
        fs::create_directories(FDir);
        // Created oldest first, named so that name order is the reverse of creation order.
        std::vector<fs::path> old;
        const auto base = fs::file_time_type::clock::now() - 100h;
        for (int i = 0; i < 40; ++i) {
            old.push_back(FDir / ("old-" + std::to_string(100 - i) + ".log"));
            std::ofstream(old.back()) << "x";
            fs::last_write_time(old.back(), base + std::chrono::hours(i));
            std::this_thread::sleep_for(10ms);  // file times tick coarsely
        }
        std::ofstream(FDir / "notes.txt") << "x";

        ASSERT_TRUE(Open(Dir(), c.maxFiles));
        LogText("opened");
        LogClose();

        size_t logs = 0;
        for (const auto& entry : fs::directory_iterator(FDir)) {
            logs += entry.path().extension() == ".log";
        }
        EXPECT_EQ(logs, c.logsLeft) << c.maxFiles;
        EXPECT_TRUE(fs::exists(File("09-12-2026")));
        EXPECT_TRUE(fs::exists(FDir / "notes.txt"));
        const size_t deleted = 41 - c.logsLeft;
        for (size_t i = 0; i < old.size(); ++i) {
            EXPECT_EQ(fs::exists(old[i]), i >= deleted) << old[i] << " max " << c.maxFiles;
        }
    }
}

TEST_F(LogFileTest, LinesFromManyThreadsKeepTheirOrderPerThread) {
    ASSERT_TRUE(Open(Dir()));
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                LogText("t" + std::to_string(t) + " " + std::to_string(i));
            }
        });
    }
    // Closing while others still log: their late lines are dropped, nothing breaks.
    std::thread closer([] {
        std::this_thread::sleep_for(1ms);
        LogClose();
    });
    for (auto& thread : threads) {
        thread.join();
    }
    closer.join();
    const auto lines = Lines(File("09-12-2026"));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        int t = 0, i = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "09-12-26 14:03:07.125: t%d %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]) << "thread " << t;
        next[t] = i + 1;
    }
}

TEST_F(LogFileTest, ExceptionsCaughtAtABoundaryAreLoggedWithTheirText) {
    ASSERT_TRUE(Open(Dir()));
    const std::function<void()> throws[] = {
        [] { throw std::runtime_error("disk gone"); },
        [] { throw 7; },
    };
    for (const auto& call : throws) {
        try {
            call();
        } catch (...) {
            LogCaughtException("the test");
        }
    }
    // Through a real boundary: a signal thread's handler that throws. Stop joins the thread,
    // which has logged the exception by the time it looks at its stop request again.
    {
        std::atomic<int> runs{0};
        TSignalThread thread("thrower", [&](TSignalThread&) {
            ++runs;
            throw std::logic_error("bad job");
        });
        thread.Signal();
        ASSERT_TRUE(testing_support::WaitFor([&] { return runs.load() == 1; }));
        thread.Stop();
    }
    LogClose();
    const auto lines = Lines(File("09-12-2026"));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "09-12-26 14:03:07.125: Exception in the test: disk gone",
                         "09-12-26 14:03:07.125: Exception in the test: unknown exception",
                         "09-12-26 14:03:07.125: Exception in a handler of signal thread "
                         "thrower: bad job"}));
}
