#include "port/port.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A fresh folder per test, removed afterwards.
class TempFolder {
  public:
    TempFolder() {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        FPath = fs::temp_directory_path() /
                ("lmv_port_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
                 std::to_string(port::CurrentThreadId()));
        fs::remove_all(FPath);
        fs::create_directories(FPath);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(FPath, ignored);
    }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }
    std::string str() const { return FPath.string() + "/"; }

  private:
    fs::path FPath;
};

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ThreadComm(port::ThreadId id) {
    std::string name = ReadFile("/proc/self/task/" + std::to_string(id) + "/comm");
    if (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

// Field 19 of /proc/<tid>/stat is the nice value; the command name before it may hold spaces.
int ThreadNice(port::ThreadId id) {
    const std::string stat = ReadFile("/proc/self/task/" + std::to_string(id) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int index = 3; index <= 19; ++index) {
        rest >> field;
    }
    return std::stoi(field);
}

}  // namespace

TEST(PortTime, TicksAreMonotonicMilliseconds) {
    const uint32_t start = port::GetTickCount();
    std::this_thread::sleep_for(30ms);
    const uint32_t elapsed = port::GetTickCount() - start;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 60000u);
}

TEST(PortTime, LocalTimeMatchesTheCLibraryWithMilliseconds) {
    using namespace std::chrono;
    for (const int64_t ms : {int64_t{1767225599999}, int64_t{951782400123}, int64_t{-1500}}) {
        const system_clock::time_point moment{milliseconds(ms)};
        const port::LocalTime local = port::ToLocalTime(moment);
        const time_t whole = static_cast<time_t>(floor<seconds>(moment).time_since_epoch().count());
        const std::tm expected = *std::localtime(&whole);
        EXPECT_EQ(local.year, expected.tm_year + 1900) << ms;
        EXPECT_EQ(local.month, expected.tm_mon + 1) << ms;
        EXPECT_EQ(local.day, expected.tm_mday) << ms;
        EXPECT_EQ(local.hour, expected.tm_hour) << ms;
        EXPECT_EQ(local.minute, expected.tm_min) << ms;
        EXPECT_EQ(local.second, expected.tm_sec) << ms;
        EXPECT_EQ(local.millisecond, static_cast<int>(((ms % 1000) + 1000) % 1000)) << ms;
    }
}

TEST(PortEvent, AutoResetLetsOneWaiterThroughPerSet) {
    port::Event event(port::Event::Mode::AutoReset);
    EXPECT_FALSE(event.WaitFor(0ms));
    event.Set();
    event.Set();  // signals while nobody waits collapse into one
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_FALSE(event.WaitFor(20ms));

    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        event.Wait();
        woke = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(woke);
    event.Set();
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(event.IsSet());
}

TEST(PortEvent, ManualResetReleasesEveryWaiterUntilReset) {
    port::Event event(port::Event::Mode::ManualReset);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            event.Wait();
            ++released;
        });
    }
    event.Set();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released, 3);
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.WaitFor(10ms));
    EXPECT_TRUE(port::Event(port::Event::Mode::ManualReset, true).IsSet());
}

TEST(PortThread, NamesAreCutTo15BytesAtACharacterBoundary) {
    struct Case {
        std::string given, expected;
    };
    const Case cases[] = {
        {"LogFile", "LogFile"},
        {"process pool (clip.mov)", "process pool (c"},
        // "é" is two bytes; cutting after byte 15 would split it.
        {"abcdefghijklmn\xC3\xA9xyz", "abcdefghijklmn"},
    };
    for (const Case& c : cases) {
        port::SetCurrentThreadName(c.given);
        EXPECT_EQ(ThreadComm(port::CurrentThreadId()), c.expected);
    }

    std::atomic<port::ThreadId> id{0};
    port::Event named(port::Event::Mode::ManualReset);
    std::thread other([&] {
        id = port::CurrentThreadId();
        named.Wait();
    });
    while (id == 0) {
        std::this_thread::yield();
    }
    port::SetThreadName(other, "setup thread");
    EXPECT_EQ(ThreadComm(id), "setup thread");
    named.Set();
    other.join();
}

TEST(PortThread, BelowNormalPriorityLowersTheThreadOnly) {
    std::atomic<int> before{0}, after{0};
    std::thread worker([&] {
        const port::ThreadId self = port::CurrentThreadId();
        before = ThreadNice(self);
        EXPECT_TRUE(port::SetThreadPriority(self, port::ThreadPriority::BelowNormal));
        after = ThreadNice(self);
    });
    worker.join();
    EXPECT_GT(after, before);
    EXPECT_EQ(ThreadNice(port::CurrentThreadId()), before);
}

TEST(PortThread, AffinityFollowsTheProcessMask) {
    const uint64_t mask = port::ProcessAffinityMask();
    ASSERT_NE(mask, 0u);
    EXPECT_GE(port::ProcessorCount(), 1);
    if (port::ProcessorCount() <= 64) {
        EXPECT_EQ(std::popcount(mask), port::ProcessorCount());
    }
    EXPECT_LE(port::ProcessorCount(), static_cast<int>(std::thread::hardware_concurrency()));

    std::thread worker([&] {
        const port::ThreadId self = port::CurrentThreadId();
        EXPECT_FALSE(port::SetThreadAffinity(self, 0));
        EXPECT_TRUE(port::SetThreadAffinity(self, mask));
        const uint64_t lowest = mask & (~mask + 1);
        EXPECT_TRUE(port::SetThreadAffinity(self, lowest));
        if (~mask != 0) {
            // Only processors the process may not use: refused, the thread keeps its mask.
            EXPECT_FALSE(port::SetThreadAffinity(self, ~mask & (uint64_t{1} << 63)));
        }
    });
    worker.join();
}

TEST(PortLibrary, LoadsByPathAndFindsSymbolsByName) {
    port::DynamicLibrary library;
    ASSERT_TRUE(library.Open(LMV_PORT_TEST_MODULE)) << library.LastError();
    auto* twice = library.Function<int(int)>("PortTestTwice");
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(twice(21), 42);

    EXPECT_EQ(library.Symbol("NoSuchSymbol"), nullptr);
    EXPECT_NE(library.LastError().find("NoSuchSymbol"), std::string::npos);

    port::DynamicLibrary moved = std::move(library);
    EXPECT_FALSE(library.IsOpen());
    ASSERT_TRUE(moved.IsOpen());
    auto* name = moved.Function<const char*()>("PortTestName");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name(), "port test module");
    moved.Close();
    EXPECT_FALSE(moved.IsOpen());
    EXPECT_EQ(moved.Symbol("PortTestTwice"), nullptr);
}

TEST(PortLibrary, RefusesMissingFilesAndBareNames) {
    TempFolder folder;
    WriteFile(folder / "fake.so", "not an ELF file");
    for (const std::string& path :
         {folder / "absent.so", folder / "fake.so", std::string("libm.so.6")}) {
        port::DynamicLibrary library;
        EXPECT_FALSE(library.Open(path)) << path;
        EXPECT_FALSE(library.IsOpen());
        EXPECT_FALSE(library.LastError().empty()) << path;
    }
}

TEST(PortProcess, ExecutablePathAndFolder) {
    const std::string path = port::ExecutablePath();
    const std::string folder = port::ExecutableFolder();
    EXPECT_EQ(fs::path(path).filename(), "port_test");
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_EQ(folder + "port_test", path);
    EXPECT_TRUE(port::FileExists(path));
}

TEST(PortFiles, ExistenceAndSize) {
    TempFolder folder;
    WriteFile(folder / "five.bin", "12345");
    WriteFile(folder / "empty.bin", "");
    struct Case {
        std::string path;
        bool file, folder;
        int64_t size;
    };
    const Case cases[] = {
        {folder / "five.bin", true, false, 5},
        {folder / "empty.bin", true, false, 0},
        {folder / "absent.bin", false, false, -1},
        {folder.str(), false, true, -1},
        {"", false, false, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(port::FileExists(c.path), c.file) << c.path;
        EXPECT_EQ(port::FolderExists(c.path), c.folder) << c.path;
        EXPECT_EQ(port::FileSize(c.path), c.size) << c.path;
    }
}

TEST(PortFiles, CreateFoldersMakesEveryParent) {
    TempFolder folder;
    const std::string deep = folder / "a/b/c/";
    EXPECT_TRUE(port::CreateFolders(deep));
    EXPECT_TRUE(port::FolderExists(deep));
    EXPECT_TRUE(port::CreateFolders(deep));  // already there
    WriteFile(folder / "file", "x");
    EXPECT_FALSE(port::CreateFolders(folder / "file/sub"));
    EXPECT_FALSE(port::CreateFolders(""));
}

TEST(PortFiles, ListFilesMatchesTheWildcardOnRegularFilesOnly) {
    TempFolder folder;
    for (const char* name : {"a.log", "b.log", "c.txt", "a.log.old", ".hidden.log", "B.LOG"}) {
        WriteFile(folder / name, "x");
    }
    fs::create_directory(folder / "folder.log");
    fs::create_symlink(folder / "a.log", folder / "link.log");
    fs::create_symlink(folder / "folder.log", folder / "dirlink.log");

    auto sorted = [](std::vector<std::string> names) {
        std::sort(names.begin(), names.end());
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(sorted(port::ListFiles(folder.str(), "*.log")),
              (Names{"a.log", "b.log", "link.log"}));
    EXPECT_EQ(sorted(port::ListFiles(folder / "", "?.*")),
              (Names{"B.LOG", "a.log", "a.log.old", "b.log", "c.txt"}));
    EXPECT_EQ(sorted(port::ListFiles(folder / "folder.log", "*")), Names{});
    EXPECT_EQ(sorted(port::ListFiles(folder / "absent", "*")), Names{});
}

TEST(PortFiles, ListFoldersLeavesFilesAndLinksOutAndOnlyEmptyFoldersAreRemoved) {
    TempFolder folder;
    fs::create_directory(folder / "one");
    fs::create_directory(folder / ".two");
    WriteFile(folder / "file", "x");
    WriteFile(folder / "one/inside", "x");
    fs::create_directory_symlink(folder / "one", folder / "link");
    std::vector<std::string> names = port::ListFolders(folder.str());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".two", "one"}));
    EXPECT_TRUE(port::ListFolders(folder / "absent").empty());

    EXPECT_FALSE(port::RemoveFolder(folder / "one"));  // not empty
    EXPECT_FALSE(port::RemoveFolder(folder / "file"));
    EXPECT_TRUE(port::RemoveFolder(folder / ".two"));
    EXPECT_FALSE(port::FolderExists(folder / ".two"));
}

TEST(PortFiles, DeleteAndRenameReplacingTheTarget) {
    TempFolder folder;
    WriteFile(folder / "from", "new");
    WriteFile(folder / "to", "old");
    EXPECT_TRUE(port::RenameFile(folder / "from", folder / "to"));
    EXPECT_FALSE(port::FileExists(folder / "from"));
    EXPECT_EQ(ReadFile(folder / "to"), "new");
    EXPECT_FALSE(port::RenameFile(folder / "from", folder / "other"));

    EXPECT_TRUE(port::DeleteFile(folder / "to"));
    EXPECT_FALSE(port::FileExists(folder / "to"));
    EXPECT_FALSE(port::DeleteFile(folder / "to"));
    fs::create_directory(folder / "sub");
    EXPECT_FALSE(port::DeleteFile(folder / "sub"));
    EXPECT_TRUE(port::FolderExists(folder / "sub"));
}

TEST(PortFiles, CreationTimeIsKeptWhenTheFileIsWrittenLater) {
    TempFolder folder;
    const std::string path = folder / "file";
    WriteFile(path, "x");
    const auto created = port::FileCreationTime(path);
    ASSERT_TRUE(created.has_value());
    const auto now = std::chrono::system_clock::now();
    EXPECT_LT(std::chrono::abs(now - *created), 60s);

    // An old modification time must not move the creation time where the file system keeps
    // a birth time; without one the modification time is the answer.
    const auto old = fs::file_time_type::clock::now() - 24h;
    fs::last_write_time(path, old);
    const auto after = port::FileCreationTime(path);
    ASSERT_TRUE(after.has_value());
    const bool hasBirthTime = std::chrono::abs(*after - *created) < 1s;
    const bool fellBack = std::chrono::abs(now - *after) > 23h;
    EXPECT_TRUE(hasBirthTime || fellBack);
    EXPECT_FALSE(port::FileCreationTime(folder / "absent").has_value());
}

TEST(PortAppendFile, AppendsAndKeepsOutASecondWriter) {
    TempFolder folder;
    const std::string path = folder / "x.log";
    WriteFile(path, "old\n");
    {
        port::AppendFile file;
        ASSERT_TRUE(file.Open(path));
        EXPECT_EQ(file.Size(), 4);
        EXPECT_TRUE(file.Write(std::string("new\n")));
        EXPECT_TRUE(file.Flush());
        EXPECT_EQ(file.Size(), 8);

        port::AppendFile second;
        EXPECT_FALSE(second.Open(path));
        EXPECT_FALSE(second.IsOpen());
        EXPECT_FALSE(second.Write(std::string("lost\n")));

        // Readers are welcome, and closing their descriptors keeps the writer's lock.
        EXPECT_EQ(ReadFile(path), "old\nnew\n");
        EXPECT_FALSE(second.Open(path));
    }
    port::AppendFile again;
    ASSERT_TRUE(again.Open(path));
    EXPECT_TRUE(again.Write(std::string("more\n")));
    again.Close();
    EXPECT_EQ(ReadFile(path), "old\nnew\nmore\n");

    port::AppendFile created;
    EXPECT_TRUE(created.Open(folder / "fresh.log"));
    EXPECT_EQ(created.Size(), 0);
    EXPECT_FALSE(port::AppendFile().Open(folder / "no/such/folder.log"));
}

// A connected pair of loopback sockets.
struct SocketPair {
    SocketPair() {
        port::Socket listener;
        EXPECT_TRUE(listener.Open(true, 0) && listener.Bind(0) && listener.Listen(1));
        EXPECT_TRUE(sender.Open(true, 0));
        EXPECT_TRUE(sender.Connect(0x7F000001, listener.LocalPort()));
        receiver = listener.Accept(true, 0);
        EXPECT_NE(receiver, nullptr);
    }
    port::Socket sender;
    std::unique_ptr<port::Socket> receiver;
};

TEST(PortDataFile, FileGoesFromTheDiskOverASocketIntoAFile) {
    TempFolder folder;
    // More than the receiving pipe holds, so the bytes take several calls.
    std::string bytes(9 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 7919) >> 5);
    }
    WriteFile(folder / "source", bytes);
    SocketPair pair;
    ASSERT_NE(pair.receiver, nullptr);
    pair.receiver->SetReceiveBufferSize(4 * 1024 * 1024);

    port::DataFile source;
    ASSERT_TRUE(source.OpenRead(folder / "source"));
    EXPECT_EQ(source.Size(), static_cast<int64_t>(bytes.size()));
    const int64_t offset = 5;
    const int64_t length = static_cast<int64_t>(bytes.size()) - offset;
    std::thread sending([&] { EXPECT_EQ(pair.sender.SendFile(source, offset, length), length); });
    port::DataFile target;
    ASSERT_TRUE(target.Create(folder / "target"));
    ASSERT_TRUE(target.Write("head", 4));
    int64_t received = 0;
    while (received < length) {
        const int64_t got = pair.receiver->ReceiveToFile(target, length - received);
        ASSERT_GT(got, 0) << pair.receiver->LastErrorText();
        received += got;
    }
    sending.join();
    target.Close();
    EXPECT_TRUE(ReadFile(folder / "target") == "head" + bytes.substr(offset));

    // A file that ends before the length asked for sends what it has and says why.
    EXPECT_EQ(pair.sender.SendFile(source, length, 100), offset);
    EXPECT_EQ(pair.sender.LastError(), ENODATA);

    // A peer gone in the middle fails the send, and the process lives on.
    pair.receiver->Close();
    EXPECT_LT(pair.sender.SendFile(source, 0, source.Size()), source.Size());
    EXPECT_TRUE(pair.sender.LastError() == EPIPE || pair.sender.LastError() == ECONNRESET)
        << pair.sender.LastErrorText();
}

TEST(PortDataFile, RoomIsAllocatedAheadWithoutChangingTheSize) {
    TempFolder folder;
    port::DataFile file;
    ASSERT_TRUE(file.Create(folder / "reserved"));
    bool allocated = false;
    const int64_t length = 8 * 1024 * 1024;
    ASSERT_TRUE(file.Reserve(length, allocated)) << port::LastErrorText();
    EXPECT_EQ(file.Size(), 0);
    struct stat info {};
    ASSERT_EQ(stat((folder / "reserved").c_str(), &info), 0);
    if (allocated) {
        EXPECT_GE(static_cast<int64_t>(info.st_blocks) * 512, length);
    } else {
        EXPECT_EQ(info.st_blocks, 0);
    }
    // The bytes written afterwards are the file, whole.
    const std::string bytes(5000, 'r');
    ASSERT_TRUE(file.Write(bytes.data(), bytes.size()));
    EXPECT_EQ(file.Size(), 5000);
    file.Close();
    EXPECT_EQ(ReadFile(folder / "reserved"), bytes);

    // More than any disk holds is refused, and the file keeps what it had.
    port::DataFile huge;
    ASSERT_TRUE(huge.Create(folder / "huge"));
    EXPECT_FALSE(huge.Reserve(int64_t{1} << 60, allocated));
    EXPECT_TRUE(errno == ENOSPC || errno == EFBIG) << port::LastErrorText();
    EXPECT_FALSE(allocated);
    EXPECT_EQ(huge.Size(), 0);
}

TEST(PortDataFile, OnlyRegularFilesAreReadAndAFileThatRefusesBytesFailsTheReceive) {
    TempFolder folder;
    port::DataFile file;
    EXPECT_FALSE(file.OpenRead(folder.str()));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(file.OpenRead(folder / "missing"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(file.Create(folder / "no/such/folder/file"));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Size(), -1);

    SocketPair pair;
    ASSERT_NE(pair.receiver, nullptr);
    port::DataFile full;
    ASSERT_TRUE(full.Create("/dev/full"));
    const std::string bytes(1000, 'x');
    ASSERT_EQ(pair.sender.Send(bytes.data(), bytes.size()), 1000);
    ASSERT_EQ(pair.receiver->WaitReadable(10000), 1);
    EXPECT_EQ(pair.receiver->ReceiveToFile(full, 1000), -1);
    EXPECT_NE(pair.receiver->LastError(), 0);
}

TEST(PortErrors, FailuresLeaveTheSystemsErrorText) {
    TempFolder folder;
    WriteFile(folder / "plain", "x");
    port::AppendFile holder;
    ASSERT_TRUE(holder.Open(folder / "held.log"));
    const struct {
        const char* what;
        std::function<bool()> call;
        std::vector<int> codes;
    } cases[] = {
        {"copy of a missing file",
         [&] { return port::CopyFileData(folder / "none", folder / "copy", true, false); },
         {ENOENT}},
        {"copy onto an existing target",
         [&] { return port::CopyFileData(folder / "plain", folder / "plain", false, false); },
         {EEXIST}},
        {"folder below a file",
         [&] { return port::CreateFolders(folder / "plain/sub"); },
         {ENOTDIR, EEXIST}},
        {"second writer",
         [&] { return port::AppendFile().Open(folder / "held.log"); },
         {EAGAIN, EACCES}},
        {"watch of a missing folder",
         [&] { return port::FolderWatch().Open(folder / "none"); },
         {ENOENT}},
        {"copy of a folder",
         [&] { return port::CopyFileData(folder.str(), folder / "c", true, false); },
         {EISDIR}},
        {"examination of a folder",
         [&] {
             port::FileState state;
             return port::StatFile(folder.str(), state);
         },
         {EISDIR}},
        {"size of a folder", [&] { return port::FileSize(folder.str()) >= 0; }, {EISDIR}},
        {"delete without a path", [&] { return port::DeleteFile(""); }, {ENOENT}},
        {"probe without a path", [&] { return port::CanOpenExclusive(""); }, {ENOENT}},
    };
    for (const auto& entry : cases) {
        errno = 0;
        EXPECT_FALSE(entry.call()) << entry.what;
        const int code = errno;
        EXPECT_NE(std::find(entry.codes.begin(), entry.codes.end(), code), entry.codes.end())
            << entry.what << ": " << code;
        EXPECT_EQ(port::LastErrorText(), port::ErrorText(code)) << entry.what;
        EXPECT_FALSE(port::ErrorText(code).empty()) << entry.what;
    }
    EXPECT_EQ(port::ErrorText(0), "");
    EXPECT_EQ(port::ErrorText(ENOENT), std::strerror(ENOENT));
}

// The address forms a listen setting or a host option may take, and how they read back.
TEST(PortSocket, AddressesResolveInEveryForm) {
    struct TCase {
        const char* Host;
        bool Resolves;
        bool IPv6;
        const char* Shown;
    };
    const TCase cases[] = {
        {"127.0.0.1", true, false, "127.0.0.1"},
        {"localhost", true, false, "127.0.0.1"},
        {"::1", true, true, "::1"},
        {"[::1]", true, true, "::1"},
        {"::ffff:10.1.2.3", true, true, "10.1.2.3"},
        {"fe80::1%lo", true, true, "fe80::1%lo"},
        {"fe80::1%no-such-interface", false, false, ""},
        {"", false, false, ""},
        {"no-such-host.invalid", false, false, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Host);
        port::NetworkAddress address;
        std::string error;
        EXPECT_EQ(port::ResolveAddress(c.Host, address, error), c.Resolves);
        EXPECT_EQ(error.empty(), c.Resolves) << error;
        if (c.Resolves) {
            EXPECT_EQ(address.IPv6, c.IPv6);
            EXPECT_EQ(port::AddressToString(address), c.Shown);
        }
    }
}

// A connect has a deadline however the peer's host behaves: a port whose queue is full drops
// the request, and the connect fails with a time-out once its deadline has passed.
TEST(PortSocket, AConnectGivesUpAtItsDeadline) {
    const port::NetworkAddress loopback = port::IPv4Address(0x7F000001);
    port::Socket listener;
    ASSERT_TRUE(listener.Open(true, 0) && listener.Bind(loopback, 0) && listener.Listen(0));
    std::vector<std::unique_ptr<port::Socket>> queued;
    bool dropped = false;
    for (int i = 0; i < 8 && !dropped; ++i) {
        auto socket = std::make_unique<port::Socket>();
        ASSERT_TRUE(socket->Open(true, 0));
        const auto start = std::chrono::steady_clock::now();
        dropped = !socket->Connect(loopback, listener.LocalPort(), 500);
        if (dropped) {
            EXPECT_EQ(socket->LastError(), ETIMEDOUT);
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
        }
        queued.push_back(std::move(socket));
    }
    EXPECT_TRUE(dropped) << "the queue never filled";
    EXPECT_GE(queued.size(), 2u);
}
