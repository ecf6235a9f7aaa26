#pragma once

// What the tests of the server process need to talk to it as a manager does: the packets a
// connection received, taken by type, and the log-in with the control secret.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxXMLClientServer.h"
#include "support/TestWait.h"

namespace testing_support {

inline std::string ChildText(const TXMLElement* element, const char* name) {
    const TXMLElement* child = element ? element->FindChild(name) : nullptr;
    return child ? child->Text.Text : std::string();
}

// The texts of the "uid" children, in order.
inline std::vector<std::string> UidChildren(const TXMLElement* root) {
    std::vector<std::string> uids;
    for (int i = 0; root && i < root->ChildCount(); ++i)
        if (root->Children(i)->Name == "uid")
            uids.push_back(root->Children(i)->Text.Text);
    return uids;
}

// Copies of the packets a connection received, taken by type in the order they came.
class TPacketQueue {
  public:
    void Push(TXMLPacket& packet) {
        auto copy = std::make_unique<TXMLPacket>();
        copy->Assign(packet);
        copy->Document.GotoRoot();
        std::lock_guard lock(FLock);
        FPackets.push_back(std::move(copy));
        FChanged.notify_all();
    }

    // The oldest packet of the type, waiting for one; null when none came within the limit.
    TXMLPacketPtr Take(const std::string& type,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(FLock);
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (auto it = FPackets.begin(); it != FPackets.end(); ++it) {
                if ((*it)->Type == type) {
                    TXMLPacketPtr packet = std::move(*it);
                    FPackets.erase(it);
                    return packet;
                }
            }
            if (FChanged.wait_until(lock, end) == std::cv_status::timeout)
                return nullptr;
        }
    }

  private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TXMLPacketPtr> FPackets;
};

// Connects to the server on the loopback port (it may still be starting its listener) and logs
// in with the challenge of its "serverinfo"; the client must put what it receives into
// `received`.
inline void ConnectAndLogIn(TXMLClient& client, TPacketQueue& received, int port) {
    EXPECT_TRUE(WaitFor([&] { return client.Connect("127.0.0.1", port); }));
    TXMLPacketPtr info = received.Take("serverinfo");
    EXPECT_TRUE(info);
    if (!info)
        return;
    client.Send(
        NewPacket("login", LoginDigest(ControlSecret(), ChildText(info->Document.Root(), "uid"))));
    TXMLPacketPtr reply = received.Take("msg");
    EXPECT_TRUE(reply && reply->Subtype == "login");
}

}  // namespace testing_support
