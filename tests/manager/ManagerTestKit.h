#pragma once

// What the manager tests share: a record of every notice with the thread it came on, a wait
// that keeps delivering notices on the test's (main) thread, and a small engine of our own on
// a loopback port that greets, accepts or refuses logins and pushes whatever a test gives it,
// for the cases a real server never produces.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxXMLClientServer.h"
#include "manager/model/lmManager.h"
#include "port/port.h"
#include "support/TestWait.h"

namespace manager_testing {

using namespace std::chrono_literals;
using namespace manager;

struct TNoticeRecord {
    int32_t Code;
    TModelObject* Object;
    bool OnMainThread;
};

// Records every notice of a manager; the counts may be read on any thread.
class TNoticeLog {
  public:
    void Attach(TManager& manager, INoticeDispatcher& dispatcher) {
        manager.AddObserver([this, &dispatcher](int32_t code, TModelObject* object) {
            std::lock_guard lock(FLock);
            FRecords.push_back({code, object, dispatcher.IsMainThread()});
        });
    }

    std::vector<TNoticeRecord> Records() {
        std::lock_guard lock(FLock);
        return FRecords;
    }
    int Count(int32_t code, TModelObject* object = nullptr) {
        std::lock_guard lock(FLock);
        int count = 0;
        for (const TNoticeRecord& record : FRecords) {
            count += record.Code == code && (!object || record.Object == object);
        }
        return count;
    }
    std::vector<int32_t> Codes() {
        std::lock_guard lock(FLock);
        std::vector<int32_t> codes;
        for (const TNoticeRecord& record : FRecords) {
            codes.push_back(record.Code);
        }
        return codes;
    }
    void Clear() {
        std::lock_guard lock(FLock);
        FRecords.clear();
    }

  private:
    std::mutex FLock;
    std::vector<TNoticeRecord> FRecords;
};

// Waits until the condition holds, delivering notices meanwhile as a main loop would.
template <class TCondition>
bool Pump(TQueuedNoticeDispatcher& dispatcher, TCondition condition,
          std::chrono::milliseconds time = 20s) {
    return testing_support::WaitFor(
        [&] {
            dispatcher.DeliverPending();
            return condition();
        },
        time);
}

// An engine of our own: greets every connection with "serverinfo", answers "login" with the
// configured verdict (a digest made with its secret) and keeps every packet it receives.
class TFakeEngine {
  public:
    explicit TFakeEngine(int32_t protocolVersion = 1, bool acceptLogin = true,
                         std::string secret = ControlSecret())
        : FProtocolVersion(protocolVersion), FAcceptLogin(acceptLogin), FSecret(std::move(secret)) {
        FServer.OnConnect = [this](TSocketServer&, TSocketClient& client) {
            auto& xmlClient = static_cast<TXMLClient&>(client);
            TXMLPacketPtr info = NewPacket("serverinfo");
            info->Document.AddElement("version", "v9.9 build 7");
            info->Document.AddInteger("protocolversion", FProtocolVersion);
            info->Document.AddElement("name", "Fake engine");
            info->Document.AddElement("location", "Test bench");
            info->Document.AddElement("description", "");
            info->Document.AddElement("uid", Challenge);
            xmlClient.Send(std::move(info));
        };
        FServer.OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr& reply) {
            {
                std::string xml;
                packet.Document.SaveToString(xml);
                std::lock_guard lock(FLock);
                FReceived.push_back(packet.Type);
                FReceivedXml.push_back(std::move(xml));
            }
            if (packet.Type == "login") {
                const bool accepted =
                    FAcceptLogin && packet.Subtype == LoginDigest(FSecret, Challenge);
                reply = NewPacket("msg", accepted ? "login" : "");
                reply->Document.AddBoolean("success", accepted);
                reply->Document.AddElement("message", accepted ? "" : "Handshake failed.");
            }
        };
        EXPECT_TRUE(FServer.Listen(0)) << FServer.ErrorText();
        Port = FServer.ListeningPort();
    }

    // Sends the packet to every connection.
    void Push(TXMLPacketPtr packet) {
        FServer.LockList();
        for (int i = 0; i < FServer.Count(); ++i) {
            static_cast<TXMLClient*>(FServer.Connection(i))->Send(*packet);
        }
        FServer.UnlockList();
    }
    // Pushes a packet built from its XML body (the children of the root).
    void Push(const std::string& type, const std::string& subtype, const std::string& body) {
        TXMLPacketPtr packet = NewPacket(type, subtype);
        TXMLUnicode parsed;
        parsed.LoadFromString("<packet type=\"" + type + "\" subtype=\"" + subtype + "\">" + body +
                              "</packet>");
        packet->Document.Assign(&parsed);
        packet->Document.GotoRoot();
        Push(std::move(packet));
    }

    int Connections() { return FServer.Count(); }
    void Drop() { FServer.StopListening(); }
    bool Listen() { return FServer.Listen(Port); }
    std::vector<std::string> Received() {
        std::lock_guard lock(FLock);
        return FReceived;
    }
    bool ReceivedType(const std::string& type) {
        std::lock_guard lock(FLock);
        return std::find(FReceived.begin(), FReceived.end(), type) != FReceived.end();
    }
    // Every received packet as XML, in order.
    std::vector<std::string> ReceivedXml() {
        std::lock_guard lock(FLock);
        return FReceivedXml;
    }

    const std::string Challenge = GUIDToString(NewGUID());
    uint16_t Port = 0;

  private:
    const int32_t FProtocolVersion;
    const bool FAcceptLogin;
    const std::string FSecret;
    std::mutex FLock;
    std::vector<std::string> FReceived;
    std::vector<std::string> FReceivedXml;
    TXMLServer FServer;
};

// A manager on a file of its own in a fresh folder, with its notices recorded.
struct TManagerFixture {
    explicit TManagerFixture(const std::string& configPath) : Manager(Dispatcher, configPath) {
        Log.Attach(Manager, Dispatcher);
    }

    // A new engine on the loopback port, added and (optionally) made current.
    TEngine* AddEngine(uint16_t port, bool current = true) {
        std::unique_ptr<TEngine> engine = Manager.NewEngine();
        engine->SetHost("127.0.0.1");
        engine->SetPort(port);
        TEngine* added = Manager.AddEngine(std::move(engine));
        if (current) {
            Manager.SetCurrentEngine(added);
        }
        return added;
    }
    template <class TCondition>
    bool Until(TCondition condition, std::chrono::milliseconds time = 20s) {
        return Pump(Dispatcher, condition, time);
    }

    // The log outlives the manager, whose shut-down still raises notices.
    TQueuedNoticeDispatcher Dispatcher;
    TNoticeLog Log;
    TManager Manager;
};

}  // namespace manager_testing
