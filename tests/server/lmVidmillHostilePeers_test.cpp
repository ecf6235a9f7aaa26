// The server process against hostile peers: oversized frames before the login and frames of
// empty attachments after it, declared files, hundreds of idle connections, and text in its
// store that XML cannot carry.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxSocket.h"
#include "foundation/kxSocketFrames.h"
#include "foundation/kxUnicode.h"
#include "foundation/kxXMLClientServer.h"
#include "support/TestInstallation.h"
#include "support/TestProcess.h"
#include "support/TestSockets.h"
#include "support/TestXML.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

void Put32(std::string& out, int32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
}

int32_t Get32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return static_cast<int32_t>(v);
}

// A value of /proc/PID/status in its own unit (kB for memory), or -1.
long ProcStatus(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    return -1;
}

// The process's threads by kind, told apart by name: connection readers, the workers of the
// process pool (sized from the configuration, and maybe still starting when a test begins) and
// all the others.
struct TThreadCensus {
    long Readers = 0;
    long Workers = 0;
    long Others = 0;
    std::string OtherNames;  // for the message of a failed bound
};

TThreadCensus ThreadCensus(pid_t pid) {
    TThreadCensus census;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name))
            continue;
        if (name == "SocketReader") {
            ++census.Readers;
        } else if (name.rfind("process pool", 0) == 0) {
            ++census.Workers;
        } else {
            ++census.Others;
            census.OtherNames += "[" + name + "]";
        }
    }
    return census;
}

// Whether the process holds a file whose path contains `part`.
bool HoldsFile(pid_t pid, const std::string& part) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored).string().find(part) !=
            std::string::npos)
            return true;
    }
    return false;
}

// The XML of the next frame, or "" when the connection closed or nothing came in time.
std::string ReadFrameXml(TqvSocket& socket, std::string& pending) {
    char buffer[65536];
    for (int i = 0; i < 100; ++i) {
        if (pending.size() >= 12 && pending.size() >= 4 + static_cast<size_t>(Get32(pending, 0))) {
            const std::string xml = pending.substr(12, static_cast<size_t>(Get32(pending, 4)));
            pending.erase(0, 4 + static_cast<size_t>(Get32(pending, 0)));
            return xml;
        }
        if (socket.WaitReadable(100) != 1)
            continue;
        const int64_t got = socket.Receive(buffer, sizeof buffer);
        if (got <= 0)
            return "";
        pending.append(buffer, static_cast<size_t>(got));
    }
    return "";
}

std::string ChildText(const std::string& xml, const char* name) {
    TXMLUnicode document;
    document.LoadFromString(xml);
    document.GotoRoot();
    return document.ChildText(name).AsRawString();
}

// Connects as a manager does: reads the greeting and answers its challenge. The connection
// once the server accepted the login, else none; `greeting` gets the "serverinfo" XML.
std::unique_ptr<TqvSocket> LoggedInConnection(uint16_t port, std::string* greeting = nullptr) {
    auto socket = RawConnection(port);
    if (!socket)
        return nullptr;
    std::string pending;
    const std::string info = ReadFrameXml(*socket, pending);
    if (greeting)
        *greeting = info;
    if (info.empty())
        return nullptr;
    TXMLPacketPtr login = NewPacket("login", LoginDigest(ControlSecret(), ChildText(info, "uid")));
    login->Document.CloseElement();
    std::string xml;
    login->Document.SaveToString(xml);
    if (!WriteFrame(*socket, xml, {}, nullptr))
        return nullptr;
    const std::string reply = ReadFrameXml(*socket, pending);
    if (reply.find("subtype=\"login\"") == std::string::npos || ChildText(reply, "success") != "1")
        return nullptr;
    return socket;
}

bool LogIn(uint16_t port, std::string* greeting = nullptr) {
    return LoggedInConnection(port, greeting) != nullptr;
}

// A server started in a fresh installation, listening on a port of its own.
class HostilePeersTest : public ::testing::Test {
  protected:
    void Start() {
        Port = static_cast<uint16_t>(FreePort());
        Server = std::make_unique<TChildProcess>(
            std::vector<std::string>{Install.Server(), "-NOSERVICE",
                                     "SERVERPORT:" + std::to_string(Port)},
            (Install.Folder() / "out.txt").string());
        ASSERT_TRUE(Server->Running());
        ASSERT_TRUE(
            LogHas("Starting Vidmill using TCP port " + std::to_string(Port) + ": Success."))
            << Install.LogText();
        // The engine starts its threads after the port listens; let it settle.
        ASSERT_TRUE(LogIn(Port));
    }
    void TearDown() override {
        if (Server) {
            EXPECT_EQ(Server->Stop(SIGTERM), 0);
        }
    }

    bool LogHas(const std::string& text, std::chrono::milliseconds limit = 10s) {
        return WaitFor([&] { return Install.LogText().find(text) != std::string::npos; }, limit);
    }

    TTestInstallation Install;
    std::unique_ptr<TChildProcess> Server;
    uint16_t Port = 0;
};

TEST_F(HostilePeersTest, AnAnonymous64MiBFrameIsRefusedOnItsHeaderAndCostsNoMemory) {
    Start();
    const long idle = ProcStatus(Server->Pid(), "VmHWM");
    ASSERT_GT(idle, 0);

    // A frame of 64 MiB of tiny elements, from a peer that never logged in.
    constexpr int32_t kFrame = 64 << 20;
    auto peer = RawConnection(Port);
    ASSERT_TRUE(peer);
    std::string header;
    Put32(header, kFrame);
    Put32(header, kFrame - 8);
    Put32(header, 0);
    std::string elements;
    while (elements.size() < (1u << 20))
        elements += "<a/>";
    // The whole frame, unless the server closes first.
    bool open = peer->Send(header.data(), header.size());
    for (int64_t left = kFrame - 8; open && left > 0;) {
        const auto size = static_cast<size_t>(std::min<int64_t>(left, elements.size()));
        open = peer->Send(elements.data(), size);
        left -= static_cast<int64_t>(size);
    }
    EXPECT_TRUE(ClosedByServer(*peer));
    EXPECT_TRUE(LogHas("Frame of " + std::to_string(kFrame) + " bytes refused (limit " +
                       std::to_string(LoginFrameLength) + ") from 127.0.0.1"));

    const long peak = ProcStatus(Server->Pid(), "VmHWM");
    EXPECT_LT(peak - idle, 50 * 1024) << "idle " << idle << " kB, peak " << peak << " kB";
    EXPECT_TRUE(LogIn(Port));
}

// A peer that has logged in may send large frames, but what a frame declares costs nothing
// before its bytes come, and every attachment is counted against a bound of its own: frames of
// 16 MiB of empty attachment headers are refused on their header, and the server's memory
// stays where it was.
TEST_F(HostilePeersTest, FramesOfEmptyAttachmentsAfterTheLoginCostNoMemory) {
    Start();
    const long idle = ProcStatus(Server->Pid(), "VmHWM");
    ASSERT_GT(idle, 0);
    constexpr int32_t kFrame = 16 << 20;
    constexpr int32_t kCount = (kFrame - 8) / 4;
    std::string frame;
    Put32(frame, kFrame);
    Put32(frame, 0);
    Put32(frame, kCount);
    frame.resize(4 + static_cast<size_t>(kFrame), '\0');
    for (int round = 0; round < 3; ++round) {
        auto peer = LoggedInConnection(Port);
        ASSERT_TRUE(peer);
        for (size_t at = 0; at < frame.size() && peer->Send(frame.data() + at, 1 << 20);
             at += 1 << 20) {
        }
        EXPECT_TRUE(ClosedByServer(*peer));
    }
    EXPECT_TRUE(
        LogHas("Invalid frame: attachment count " + std::to_string(kCount) + " from 127.0.0.1"));
    const long peak = ProcStatus(Server->Pid(), "VmHWM");
    EXPECT_LT(peak - idle, 64 * 1024) << "idle " << idle << " kB, peak " << peak << " kB";
    EXPECT_TRUE(LogIn(Port));
}

TEST_F(HostilePeersTest, AFileDeclaredBeforeLoginClosesTheConnectionWithoutATemporaryFile) {
    Start();
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<packet type=\"login\" sc=\"1\"/>";
    std::string frame;
    Put32(frame, static_cast<int32_t>(8 + xml.size() + 8));
    Put32(frame, static_cast<int32_t>(xml.size()));
    Put32(frame, -1);
    frame += xml;
    const int64_t declared = 10LL << 30;
    for (int i = 0; i < 8; ++i)
        frame.push_back(static_cast<char>((declared >> (8 * i)) & 0xFF));
    auto peer = RawConnection(Port);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->Send(frame.data(), frame.size()));
    const std::string bytes(1 << 20, 'f');
    for (int i = 0; i < 8 && peer->Send(bytes.data(), bytes.size()); ++i) {
    }
    EXPECT_FALSE(HoldsFile(Server->Pid(), "lmv-frame-"));
    EXPECT_TRUE(ClosedByServer(*peer));
    EXPECT_TRUE(LogHas("Frame with a file refused from 127.0.0.1"));
    EXPECT_TRUE(LogIn(Port));
}

TEST_F(HostilePeersTest, HundredsOfIdleConnectionsLeaveThreadsBoundedAndAManagerGetsIn) {
    Start();
    const TThreadCensus before = ThreadCensus(Server->Pid());
    ASSERT_GT(before.Others, 0);

    // Beyond the cap connections are closed at once; those within it hold a reader each.
    // Connected from several threads, so that the retries of a full accept queue overlap;
    // the server's threads are counted meanwhile.
    std::vector<std::unique_ptr<TqvSocket>> idle;
    std::mutex idleLock;
    std::atomic<int> finished{0};
    std::vector<std::thread> connectors;
    for (int t = 0; t < 10; ++t) {
        connectors.emplace_back([&] {
            for (int i = 0; i < 30; ++i) {
                auto socket = RawConnection(Port);
                std::lock_guard lock(idleLock);
                if (socket)
                    idle.push_back(std::move(socket));
            }
            ++finished;
        });
    }
    TThreadCensus peak;
    const auto count = [&] {
        const TThreadCensus now = ThreadCensus(Server->Pid());
        peak.Readers = std::max(peak.Readers, now.Readers);
        if (now.Others > peak.Others) {
            peak.Others = now.Others;
            peak.OtherNames = now.OtherNames;
        }
    };
    while (finished.load() < 10) {
        count();
        std::this_thread::sleep_for(10ms);
    }
    for (std::thread& connector : connectors)
        connector.join();
    count();
    EXPECT_GE(idle.size(), 290u);
    EXPECT_GT(peak.Readers, 0) << "no thread named as a connection reader";
    EXPECT_LE(peak.Readers, 64);
    // No other thread is started per connection. The slack allows for a reader caught before
    // its creator named it, and for threads a server starts once it is in use.
    EXPECT_LE(peak.Others, before.Others + 4)
        << "before " << before.OtherNames << ", peak " << peak.OtherNames;
    EXPECT_TRUE(LogHas("refused: 64 connections open"));

    // The anonymous connections are dropped after the login time-out; then a manager logs in
    // on a new connection while the test still holds its sockets.
    EXPECT_TRUE(WaitFor([&] { return LogIn(Port); }, 40s));
    EXPECT_TRUE(LogHas("did not log in within 10000 ms; connection closed"));
    EXPECT_TRUE(WaitFor([&] { return ThreadCensus(Server->Pid()).Readers <= 1; }, 30s))
        << ThreadCensus(Server->Pid()).Readers << " readers";
}

TEST_F(HostilePeersTest, AControlByteInTheStoredEngineNameStillGivesAWellFormedGreeting) {
    Install.WriteFile("config.dat",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                      "<config><name>Ingest\x01 One\x1B</name><loc>Hall\x7F"
                      "B</loc><port>9797</port></config>");
    Start();
    std::string greeting;
    ASSERT_TRUE(LogIn(Port, &greeting));
    EXPECT_TRUE(OnlyXMLCharacters(greeting)) << greeting;
    EXPECT_EQ(ChildText(greeting, "name"), "Ingest One");
    EXPECT_EQ(ChildText(greeting, "location"),
              "Hall\x7F"
              "B");
}

}  // namespace
