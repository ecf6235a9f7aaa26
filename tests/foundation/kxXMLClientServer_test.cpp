// The socket transport, the frame layout and XML packets over real loopback connections.

#include "foundation/kxXMLClientServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxByteOrder.h"
#include "foundation/kxLoginDigest.h"
#include "foundation/kxScrambler.h"
#include "support/TestSockets.h"
#include "support/TestWait.h"

namespace {

using namespace std::chrono_literals;

using testing_support::WaitFor;

void Put32(std::string& out, int32_t v) {
    char bytes[4];
    StoreLE32(bytes, static_cast<uint32_t>(v));
    out.append(bytes, sizeof bytes);
}

int32_t Get32(const char* p) {
    return static_cast<int32_t>(LoadLE32(p));
}

std::string PacketXml(const std::string& type) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<packet type=\"" + type + "\"/>";
}

// A bare frame: header and XML, no attachments, no file.
std::string BareFrame(const std::string& type) {
    const std::string xml = PacketXml(type);
    std::string frame;
    Put32(frame, static_cast<int32_t>(xml.size()) + 8);
    Put32(frame, static_cast<int32_t>(xml.size()));
    Put32(frame, 0);
    return frame + xml;
}

// What a packet looked like when it arrived.
struct TSeen {
    std::string Type;
    std::string Subtype;
    std::vector<std::string> Attachments;
    bool HasFile = false;
    std::string File;
};

TSeen Record(TXMLPacket& packet) {
    TSeen seen{packet.Type, packet.Subtype, {}, packet.HasFile, {}};
    for (auto& attachment : packet.Attachments) {
        std::ostringstream bytes;
        bytes << attachment->rdbuf();
        seen.Attachments.push_back(bytes.str());
    }
    if (packet.File) {
        std::ostringstream bytes;
        bytes << packet.File->rdbuf();
        seen.File = bytes.str();
    }
    return seen;
}

// Packets in arrival order, filled on reader threads.
class TInbox {
  public:
    void Add(TSeen seen) {
        std::lock_guard lock(FLock);
        FItems.push_back(std::move(seen));
        FChanged.notify_all();
    }
    // The next packet, or one of type "" when none came in time.
    TSeen Next(std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock lock(FLock);
        if (!FChanged.wait_for(lock, limit, [this] { return !FItems.empty(); }))
            return {};
        TSeen seen = std::move(FItems.front());
        FItems.pop_front();
        return seen;
    }
    size_t Count() {
        std::lock_guard lock(FLock);
        return FItems.size();
    }

  private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TSeen> FItems;
};

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Server.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr& reply) {
            Inbox.Add(Record(packet));
            if (packet.Type == "ping")
                reply = NewPacket("pong", packet.Subtype);
            if (packet.Type == "pushfirst") {
                // A push reaches the sender before the reply it waits for.
                packet.Owner->Send(NewPacket("serverstate"));
                reply = NewPacket("rxresult");
            }
        };
        Server.OnConnect = [this](TSocketServer&, TSocketClient& client) {
            auto& connection = static_cast<TXMLClient&>(client);
            connection.FileAllowance = FileAllowance.load();
            connection.MaxPacketNodes = MaxPacketNodes.load();
        };
        ASSERT_TRUE(Server.Listen(0)) << Server.ErrorText();
        Port = Server.ListeningPort();
    }

    // A raw connection that sends bytes exactly as given.
    std::unique_ptr<TqvSocket> Raw() {
        auto socket = testing_support::RawConnection(Port);
        EXPECT_TRUE(socket);
        return socket ? std::move(socket) : std::make_unique<TqvSocket>();
    }

    // True when the server closed the raw connection.
    static bool ClosedByPeer(TqvSocket& socket) {
        char byte;
        for (int i = 0; i < 50; ++i) {
            if (socket.WaitReadable(100) == 1)
                return socket.Receive(&byte, 1) <= 0;
        }
        return false;
    }

    void ExpectServerServes() {
        TXMLClient client;
        ASSERT_TRUE(client.Connect("127.0.0.1", Port));
        TXMLPacketPtr reply;
        ASSERT_TRUE(client.Send(NewPacket("ping", "alive"), &reply, 5000, "pong"));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->Subtype, "alive");
        EXPECT_EQ(Inbox.Next().Type, "ping");
    }

    TInbox Inbox;  // outlives the server, whose readers fill it
    // Given to each connection the server accepts.
    std::atomic<int64_t> FileAllowance{0};
    std::atomic<int64_t> MaxPacketNodes{1000000};
    TXMLServer Server;
    uint16_t Port = 0;
};

TEST_F(TransportTest, FrameSplitOverManyWritesIsDeliveredOnce) {
    auto raw = Raw();
    const std::string frame = BareFrame("split");
    for (char byte : frame) {
        ASSERT_TRUE(raw->Send(&byte, 1));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(Inbox.Next().Type, "split");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Inbox.Count(), 0u);
}

TEST_F(TransportTest, SeveralFramesInOneWriteArriveInOrder) {
    auto raw = Raw();
    std::string bytes;
    for (int i = 0; i < 20; ++i)
        bytes += BareFrame("f" + std::to_string(i));
    ASSERT_TRUE(raw->Send(bytes.data(), bytes.size()));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Inbox.Next().Type, "f" + std::to_string(i));
}

TEST_F(TransportTest, AttachmentsAndFilesArriveWhole) {
    FileAllowance = 1 << 20;
    TXMLClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + 3);

    struct TCase {
        std::vector<std::string> Attachments;
        const std::string* File;
    };
    const std::string empty;
    const std::vector<TCase> cases = {
        {{"first", std::string(), big}, nullptr},
        {{}, &empty},
        {{}, &big},
        {{"meta"}, &big},
    };
    for (const TCase& c : cases) {
        TXMLPacketPtr packet = NewPacket("data", "sub");
        for (const std::string& a : c.Attachments)
            packet->Attach(std::make_unique<std::stringstream>("xx" + a), 2);
        std::istringstream file(c.File ? "skip" + *c.File : std::string());
        if (c.File) {
            file.seekg(4);
            packet->SetFile(&file);
        }
        ASSERT_TRUE(client.Send(std::move(packet)));
        if (c.File) {
            // The file's position is put back after the send.
            EXPECT_EQ(file.tellg(), 4);
        }
        const TSeen seen = Inbox.Next();
        EXPECT_EQ(seen.Type, "data");
        EXPECT_EQ(seen.Subtype, "sub");
        EXPECT_EQ(seen.Attachments, c.Attachments);
        EXPECT_EQ(seen.HasFile, c.File != nullptr);
        if (c.File) {
            EXPECT_EQ(seen.File.size(), c.File->size());
            EXPECT_TRUE(seen.File == *c.File);
        }
    }
}

TEST_F(TransportTest, FilesAreRefusedUnlessTheConnectionAllowsThem) {
    const std::string content(1000, 'f');
    struct TCase {
        const char* Name;
        int64_t Allowance;
        bool WithAttachment;  // N = 1 and the file length at the end, rather than N = -1
        bool Delivered;
    };
    const TCase cases[] = {
        {"no allowance, N = -1", 0, false, false},
        {"no allowance, after an attachment", 0, true, false},
        {"file above the allowance", 999, true, false},
        {"file within the allowance", 1000, false, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        FileAllowance = c.Allowance;
        std::atomic<bool> closed{false};
        TXMLClient client;
        client.OnDisconnected = [&](TXMLClient&) { closed = true; };
        ASSERT_TRUE(client.Connect("127.0.0.1", Port));
        TXMLPacketPtr packet = NewPacket("upload");
        if (c.WithAttachment)
            packet->Attach(std::make_unique<std::stringstream>("meta"));
        std::istringstream file(content);
        packet->SetFile(&file);
        client.Send(std::move(packet));
        if (c.Delivered) {
            const TSeen seen = Inbox.Next();
            EXPECT_EQ(seen.Type, "upload");
            EXPECT_TRUE(seen.File == content);
            EXPECT_FALSE(closed.load());
        } else {
            EXPECT_TRUE(WaitFor([&] { return closed.load(); }));
            EXPECT_EQ(Inbox.Count(), 0u);
        }
    }
    // N = -1 is refused on the header alone: the connection closes before any more is sent.
    FileAllowance = 0;
    auto raw = Raw();
    std::string header;
    Put32(header, 1 << 20);
    Put32(header, 100);
    Put32(header, -1);
    ASSERT_TRUE(raw->Send(header.data(), header.size()));
    EXPECT_TRUE(ClosedByPeer(*raw));
}

TEST_F(TransportTest, APacketBeyondTheNodeBoundClosesItsConnection) {
    MaxPacketNodes = 100;
    for (int children : {98, 99}) {
        SCOPED_TRACE(children);
        std::atomic<bool> closed{false};
        TXMLClient client;
        client.OnDisconnected = [&](TXMLClient&) { closed = true; };
        ASSERT_TRUE(client.Connect("127.0.0.1", Port));
        // The root and its "type" attribute count as well.
        TXMLPacketPtr packet = NewPacket("many");
        for (int i = 0; i < children; ++i)
            packet->Document.AddElement("a");
        ASSERT_TRUE(client.Send(std::move(packet)));
        if (children == 98) {
            EXPECT_EQ(Inbox.Next().Type, "many");
        } else {
            EXPECT_TRUE(WaitFor([&] { return closed.load(); }));
            EXPECT_EQ(Inbox.Count(), 0u);
        }
    }
    ExpectServerServes();
}

TEST_F(TransportTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
    Server.MaxConnections = 3;
    std::vector<std::unique_ptr<TqvSocket>> open;
    for (int i = 0; i < 3; ++i)
        open.push_back(Raw());
    ASSERT_TRUE(WaitFor([&] { return Server.Count() == 3; }));
    for (int i = 0; i < 5; ++i) {
        auto extra = Raw();
        EXPECT_TRUE(ClosedByPeer(*extra));
    }
    EXPECT_EQ(Server.Count(), 3);
    // A slot that frees up is taken again.
    open.pop_back();
    ASSERT_TRUE(WaitFor([&] { return Server.Count() == 2; }));
    ExpectServerServes();
}

TEST(FrameLayout, BarePacketHasLEqualsXPlus8AndFileFramesMarkMinusOne) {
    // Declared before the listener, whose reader fills them until it is gone.
    std::mutex lock;
    std::string bytes;
    TSocketServer listener;
    class TRecorder : public TSocketClient {
      public:
        std::string* Sink = nullptr;
        std::mutex* SinkLock = nullptr;

      protected:
        void DoReceive() override {
            std::string chunk;
            Socket().ReceiveInto(chunk);
            std::lock_guard guard(*SinkLock);
            *Sink += chunk;
        }
    };
    listener.SetConnectionClass([&] {
        auto recorder = std::make_unique<TRecorder>();
        recorder->Sink = &bytes;
        recorder->SinkLock = &lock;
        return recorder;
    });
    ASSERT_TRUE(listener.Listen(0));
    TXMLClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.ListeningPort()));
    ASSERT_TRUE(client.Send(NewPacket("noop")));
    std::istringstream file("abc");
    TXMLPacketPtr withFile = NewPacket("file");
    withFile->SetFile(&file);
    ASSERT_TRUE(client.Send(std::move(withFile)));

    std::string all;
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard guard(lock);
        all = bytes;
        if (all.size() < 12)
            return false;
        const size_t first = 4 + static_cast<size_t>(Get32(all.data()));
        return all.size() >= first + 12 && all.size() >= first + 4 + Get32(all.data() + first) + 3;
    }));
    const int32_t l = Get32(all.data()), x = Get32(all.data() + 4), n = Get32(all.data() + 8);
    EXPECT_EQ(l, x + 8);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(all.substr(12, 5), "<?xml");
    EXPECT_NE(all.find("<packet type=\"noop\"/>"), std::string::npos);

    const std::string second = all.substr(4 + static_cast<size_t>(l));
    const int32_t l2 = Get32(second.data()), x2 = Get32(second.data() + 4);
    EXPECT_EQ(Get32(second.data() + 8), -1);
    EXPECT_EQ(l2, x2 + 8 + 8);
    EXPECT_NE(second.find("sc=\"1\""), std::string::npos);
    EXPECT_EQ(second.substr(4 + static_cast<size_t>(l2) - 8, 8),
              std::string("\3\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(second.substr(4 + static_cast<size_t>(l2)), "abc");
}

TEST_F(TransportTest, BrokenFramesCloseOnlyTheirConnection) {
    const std::string xml = PacketXml("bad");
    auto frame = [&](int32_t l, int32_t x, int32_t n, const std::string& rest) {
        std::string bytes;
        Put32(bytes, l);
        Put32(bytes, x);
        Put32(bytes, n);
        return bytes + rest;
    };
    std::string attachmentTooLong;
    Put32(attachmentTooLong, 1000);
    struct TCase {
        const char* Name;
        std::string Bytes;
    };
    const std::vector<TCase> cases = {
        {"negative length", frame(-5, 0, 0, "")},
        {"2 GiB length", frame(INT32_MAX, 0, 0, "")},
        {"just above the limit", frame(MaxFrameLength + 1, 0, 0, "")},
        {"XML longer than the frame", frame(8 + 10, 100, 0, std::string(10, 'x'))},
        {"negative XML length", frame(8, -1, 0, "")},
        {"too many attachments", frame(8 + 4, 0, 1000000, "abcd")},
        {"attachment outside the frame",
         frame(static_cast<int32_t>(8 + xml.size() + 4), static_cast<int32_t>(xml.size()), 1,
               xml + attachmentTooLong)},
        {"bytes left over", frame(static_cast<int32_t>(8 + xml.size() + 3),
                                  static_cast<int32_t>(xml.size()), 0, xml + "abc")},
        {"N of -1 without file length",
         frame(static_cast<int32_t>(8 + xml.size()), static_cast<int32_t>(xml.size()), -1, xml)},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto raw = Raw();
        ASSERT_TRUE(raw->Send(c.Bytes.data(), c.Bytes.size()));
        EXPECT_TRUE(ClosedByPeer(*raw));
        EXPECT_EQ(Inbox.Count(), 0u);
    }
    // Random bytes, a truncated frame and malformed XML: the server carries on.
    {
        auto raw = Raw();
        std::string noise(4096, '\0');
        for (size_t i = 0; i < noise.size(); ++i)
            noise[i] = static_cast<char>((i * 2654435761u) >> 13);
        raw->Send(noise.data(), noise.size());
        const std::string truncated = BareFrame("never").substr(0, 20);
        auto cut = Raw();
        cut->Send(truncated.data(), truncated.size());
        cut->Close();
        auto malformed = Raw();
        const std::string junk = "<packet type=\"junk\"><<<";
        const std::string bytes = frame(static_cast<int32_t>(8 + junk.size()),
                                        static_cast<int32_t>(junk.size()), 0, junk);
        malformed->Send(bytes.data(), bytes.size());
        // The tolerant loader still sees a packet; either way nothing breaks.
        const TSeen seen = Inbox.Next(2000ms);
        EXPECT_TRUE(seen.Type == "junk" || seen.Type.empty());
    }
    ExpectServerServes();
}

TEST_F(TransportTest, ReplyWaitSkipsPushesAndClosedConnectionsRefuseSends) {
    TInbox pushes;
    TXMLClient client;
    client.OnPacket = [&](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
        pushes.Add(Record(packet));
    };
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    TXMLPacketPtr reply;
    ASSERT_TRUE(client.Send(NewPacket("pushfirst"), &reply, 5000, "rxresult"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Type, "rxresult");
    EXPECT_EQ(pushes.Next().Type, "serverstate");

    // WaitForPacket takes the next packet of any type.
    std::thread later([&] { client.Send(NewPacket("ping", "w")); });
    TXMLPacketPtr any;
    EXPECT_TRUE(client.WaitForPacket(any, 5000));
    later.join();
    ASSERT_TRUE(any);
    EXPECT_EQ(any->Type, "pong");

    client.Disconnect();
    EXPECT_FALSE(client.Send(NewPacket("ping")));
}

TEST_F(TransportTest, KeepAliveFromIdleClientAndIdleDropOnServer) {
    TXMLClient client;
    client.KeepAliveInterval = 150;
    client.ReaderTick = 50;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    EXPECT_EQ(Inbox.Next(3000ms).Type, "noop");
    EXPECT_EQ(Inbox.Next(3000ms).Type, "noop");

    // A server with a short idle time-out drops a connection that sends nothing.
    TXMLServer strict;
    strict.IdleTimeout = 300;
    ASSERT_TRUE(strict.Listen(0));
    std::atomic<bool> dropped{false};
    TXMLClient silent;
    silent.OnDisconnected = [&](TXMLClient&) { dropped = true; };
    ASSERT_TRUE(silent.Connect("127.0.0.1", strict.ListeningPort()));
    EXPECT_TRUE(WaitFor([&] { return strict.Count() == 1; }));
    EXPECT_TRUE(WaitFor([&] { return dropped.load(); }, 5000ms));
    EXPECT_TRUE(WaitFor([&] { return strict.Count() == 0; }));
}

TEST_F(TransportTest, ReconnectsAfterTheServerComesBack) {
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    TXMLClient client;
    client.SetAutoReconnect(true);
    client.SetReconnectDelay(100);
    client.OnConnected = [&](TXMLClient&) { ++connects; };
    client.OnDisconnected = [&](TXMLClient&) { ++disconnects; };
    client.OnReconnect = [&](TXMLClient& c) { c.Connect(c.Host(), c.Port()); };
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    EXPECT_EQ(connects.load(), 1);

    Server.StopListening();
    ASSERT_TRUE(WaitFor([&] { return disconnects.load() >= 1; }));
    std::this_thread::sleep_for(500ms);  // failed attempts while nobody listens
    EXPECT_EQ(connects.load(), 1);
    ASSERT_TRUE(Server.Listen(Port)) << Server.ErrorText();
    ASSERT_TRUE(WaitFor([&] { return connects.load() == 2; }, 10000ms));
    TXMLPacketPtr reply;
    EXPECT_TRUE(client.Send(NewPacket("ping", "back"), &reply, 5000, "pong"));
    EXPECT_TRUE(reply);
    client.SetAutoReconnect(false);
}

TEST_F(TransportTest, ListenOnAPortInUseFails) {
    TXMLServer second;
    EXPECT_FALSE(second.Listen(Port));
    EXPECT_EQ(second.ErrorText(), "unable to bind socket to port");
    ExpectServerServes();
}

// A connect to a host that drops packets gives up at its deadline, and another thread can cut
// one without a deadline short at once; neither waits the two minutes the system would.
TEST(TransportDeadlines, AConnectToAHostThatDropsPacketsEndsAtItsDeadline) {
    testing_support::TBlackholePort blackhole;
    ASSERT_NE(blackhole.Port, 0);
    TXMLClient client;
    client.ConnectTimeout = 1000;
    std::atomic<int> failed{0};
    client.OnConnectFailed = [&](TXMLClient&) { ++failed; };
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect("127.0.0.1", blackhole.Port));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 900ms) << "the port refused at once: no blackhole";
    EXPECT_LT(took, 30s);
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(client.State(), TSocketClient::csDisconnected);

    client.ConnectTimeout = 0;
    std::thread aborter([&] {
        WaitFor([&] { return client.State() == TSocketClient::csConnecting; });
        std::this_thread::sleep_for(200ms);
        client.AbortConnect();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect("127.0.0.1", blackhole.Port));
    took = std::chrono::steady_clock::now() - start;
    aborter.join();
    EXPECT_LT(took, 30s);
    EXPECT_EQ(failed.load(), 2);
}

// While a response is awaited, a peer that stays silent for the response time-out loses the
// connection, and the loss is reported once; a peer nobody waits for may stay silent.
TEST(TransportDeadlines, ASilentPeerIsDroppedOnceAResponseIsOverdue) {
    TXMLServer silent;
    ASSERT_TRUE(silent.Listen(0)) << silent.ErrorText();
    TXMLClient client;
    client.ResponseTimeout = 300;
    client.ReaderTick = 100;
    std::atomic<int> timeouts{0};
    std::atomic<int> lost{0};
    client.OnResponseTimeout = [&](TXMLClient&) { ++timeouts; };
    client.OnDisconnected = [&](TXMLClient&) { ++lost; };
    ASSERT_TRUE(client.Connect("127.0.0.1", silent.ListeningPort()));
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(client.Connected());
    client.AwaitResponse(true);
    ASSERT_TRUE(WaitFor([&] { return lost.load() > 0; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(timeouts.load(), 1);
    EXPECT_EQ(lost.load(), 1);
    EXPECT_FALSE(client.Connected());
}

TEST(LoginDigest, Md5OfUtf16LeSecretAndChallenge) {
    // Reference values from an independent MD5 of the UTF-16LE bytes.
    EXPECT_EQ(LoginDigest("Vm8#kQ2x", "{00112233-4455-6677-8899-AABBCCDDEEFF}"),
              "3E98A644815CD44F7858359BD9719E0D");
    EXPECT_EQ(LoginDigest("S\xC3\xA9", "x"), "970AC8BEF77F75EE3552929EF0CF6572");
    EXPECT_EQ(ControlSecret(), "Vm8#kQ2x");
    EXPECT_EQ(ReelbankSecret(), "Rb5!zN7");
}

TEST(Scrambler, XorsWithTheGeneratorBytesAndRoundTrips) {
    // The first generator bytes from the fixed seed are 234, 61, 10, 184.
    const std::string zeros(4, '\0');
    EXPECT_EQ(ScrambleString(zeros), std::string("\xEA\x3D\x0A\xB8"));
    const std::string text = "any text \xE2\x82\xAC";
    EXPECT_NE(ScrambleString(text), text);
    EXPECT_EQ(ScrambleString(ScrambleString(text)), text);
    EXPECT_NE(ScrambleString(text, 1), ScrambleString(text));
}

}  // namespace
