// What a server sends goes through its writer: peers that read late or not at all, keyed
// frames that collapse, replies reserved before they are put together. Real loopback
// connections throughout.

#include "foundation/kxSocketWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxXMLClientServer.h"
#include "support/TestSockets.h"
#include "support/TestWait.h"

namespace {

using namespace std::chrono_literals;
using testing_support::WaitFor;

// A client that keeps the type, subtype and "v" of every packet in arrival order; its reader
// stops at the first packet while Stalled is set, as a manager that stopped reading does.
class TPeer {
  public:
    explicit TPeer(uint16_t port, bool stalled = false) : Stalled(stalled) {
        FClient.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
            while (Stalled.load())
                std::this_thread::sleep_for(1ms);
            packet.Document.GotoRoot();
            std::lock_guard lock(FLock);
            FSeen.push_back(
                {packet.Type, packet.Subtype, packet.Document.ChildText("v").AsRawString()});
        };
        FClient.OnDisconnected = [this](TXMLClient&) { Closed = true; };
        EXPECT_TRUE(FClient.Connect("127.0.0.1", port));
    }
    ~TPeer() {
        Stalled = false;
        FClient.Disconnect();
    }

    struct TSeen {
        std::string Type, Subtype, Value;
    };
    std::vector<TSeen> Seen() {
        std::lock_guard lock(FLock);
        return FSeen;
    }
    size_t Count() {
        std::lock_guard lock(FLock);
        return FSeen.size();
    }

    std::atomic<bool> Stalled;
    std::atomic<bool> Closed{false};
    TXMLClient FClient;

  private:
    std::mutex FLock;
    std::vector<TSeen> FSeen;
};

TXMLPacketPtr Numbered(const std::string& type, const std::string& subtype, int value,
                       size_t padding = 0) {
    TXMLPacketPtr packet = NewPacket(type, subtype);
    packet->Document.AddInteger("v", value);
    if (padding)
        packet->Document.AddElement("pad", std::string(padding, 'p'));
    return packet;
}

class SocketWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Server.Listen(0));
        Port = Server.ListeningPort();
    }
    // Waits until the server has accepted that many connections.
    void Accepted(int count) {
        ASSERT_TRUE(WaitFor([&] { return Server.Count() == count; }));
    }

    TXMLServer Server;
    uint16_t Port = 0;
};

// One peer that takes nothing is closed once the stall time has passed, or once its queue
// passes the hard bound; a peer beside it gets every broadcast all the while.
TEST_F(SocketWriterTest, APeerThatTakesNothingIsClosedAndTheOtherGetsEveryFrame) {
    struct TCase {
        const char* Name;
        uint32_t StallMs;
        size_t MaxBytes;
    };
    for (const TCase& c : {TCase{"stall", 300, 64u << 20}, TCase{"hard bound", 600000, 1u << 20}}) {
        SCOPED_TRACE(c.Name);
        Server.Writer().StallTimeout = c.StallMs;
        Server.Writer().MaxBytes = c.MaxBytes;
        TPeer reading(Port);
        auto stuck = testing_support::RawConnection(Port);
        ASSERT_TRUE(stuck);
        stuck->SetReceiveBufferSize(4096);
        Accepted(2);
        // Far more than the system buffers hold: 4 MB in 2,000 frames, sent no faster than the
        // reading peer takes them, so that only the stuck one falls behind.
        constexpr int frames = 2000;
        for (int i = 0; i < frames; ++i) {
            if (i % 100 == 0) {
                ASSERT_TRUE(WaitFor([&] { return reading.Count() + 100 >= size_t(i); }));
            }
            ASSERT_TRUE(Server.Broadcast(*Numbered("push", "", i, 2000)));
        }
        // The stuck connection is gone from the server's list.
        EXPECT_TRUE(WaitFor([&] { return Server.Count() == 1; }, 20s)) << Server.Count();
        ASSERT_TRUE(WaitFor([&] { return reading.Count() == frames; }, 30s)) << reading.Count();
        const auto seen = reading.Seen();
        for (int i = 0; i < frames; ++i)
            ASSERT_EQ(seen[static_cast<size_t>(i)].Value, std::to_string(i));
        EXPECT_FALSE(reading.Closed.load());
    }
}

// Behind a peer that reads late, a keyed frame replaces the older one of its key that still
// waits: the peer gets fewer frames, the newest of every key last, and every frame without a
// key in order.
TEST_F(SocketWriterTest, KeyedFramesCollapseToTheNewestBehindAPeerThatReadsLate) {
    Server.Writer().CollapseBytes = 1;
    TPeer late(Port, true);
    Accepted(1);
    constexpr int keys = 10, versions = 300;
    for (int v = 0; v < versions; ++v) {
        for (int k = 0; k < keys; ++k) {
            TXMLPacketPtr state = Numbered("state", std::to_string(k), v, 500);
            state->CollapseKey = "state " + std::to_string(k);
            ASSERT_TRUE(Server.Broadcast(*state));
        }
        ASSERT_TRUE(Server.Broadcast(*Numbered("mark", "", v)));
    }
    ASSERT_TRUE(Server.Broadcast(*Numbered("end", "", 0)));
    late.Stalled = false;
    ASSERT_TRUE(WaitFor([&] {
        const auto seen = late.Seen();
        return !seen.empty() && seen.back().Type == "end";
    }));
    std::map<std::string, std::string> last;
    size_t states = 0;
    int mark = 0;
    for (const auto& seen : late.Seen()) {
        if (seen.Type == "state") {
            ++states;
            last[seen.Subtype] = seen.Value;
        } else if (seen.Type == "mark") {
            EXPECT_EQ(seen.Value, std::to_string(mark++));
        }
    }
    EXPECT_EQ(mark, versions);
    EXPECT_LT(states, static_cast<size_t>(keys * versions) / 2);
    ASSERT_EQ(last.size(), static_cast<size_t>(keys));
    for (const auto& [key, value] : last)
        EXPECT_EQ(value, std::to_string(versions - 1)) << key;
}

// A reply reserved before it is put together goes out before what was sent after the
// reservation; one never completed leaves the queue going. The list it carries reads as the
// same list built in one document would.
TEST_F(SocketWriterTest, AReservedReplyKeepsItsPlaceAndAnAbandonedOneIsPassedOver) {
    Server.OnPacket = [this](TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
        TXMLReservation reserved = Server.Reserve(client);
        Server.Broadcast(*Numbered("after", packet.Type, 0));
        if (packet.Type == "abandon")
            return;
        TXMLPacketStream list("list", "items");
        for (int i = 0; i < (packet.Type == "empty" ? 0 : 3); ++i) {
            TXMLUnicode& item = list.NewItem("item");
            item.AddInteger("n", i);
            item.AddElement("text", "a<b&\"c\"");
            list.AddItem();
        }
        reserved.Complete(list.Finish());
        reply = NewPacket("done");
    };
    std::mutex lock;
    std::vector<TXMLPacketPtr> received;
    TXMLClient client;
    client.OnPacket = [&](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
        auto copy = std::make_unique<TXMLPacket>();
        copy->Assign(packet);
        std::lock_guard guard(lock);
        received.push_back(std::move(copy));
    };
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    for (const char* request : {"full", "abandon", "empty"})
        ASSERT_TRUE(client.Send(NewPacket(request)));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard guard(lock);
        return received.size() == 7;
    }));
    std::vector<std::string> order;
    for (const auto& packet : received)
        order.push_back(packet->Type + (packet->Subtype.empty() ? "" : " " + packet->Subtype));
    EXPECT_EQ(order, (std::vector<std::string>{"list", "after full", "done", "after abandon",
                                               "list", "after empty", "done"}));
    TXMLUnicode& full = received[0]->Document;
    full.GotoRoot();
    ASSERT_TRUE(full.SelectChild("items"));
    const TXMLElement* items = full.Current();
    ASSERT_EQ(items->ChildCount(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(items->Children(i)->FindChild("n")->Text.Text, std::to_string(i));
        EXPECT_EQ(items->Children(i)->FindChild("text")->Text.Text, "a<b&\"c\"");
    }
    TXMLUnicode& empty = received[4]->Document;
    empty.GotoRoot();
    EXPECT_TRUE(empty.SelectChild("items"));
    EXPECT_EQ(empty.Current()->ChildCount(), 0);
}

}  // namespace
