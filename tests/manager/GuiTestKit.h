#pragma once

// What the window tests share: an engine of our own that logs the manager in and pushes what
// a test gives it (recording every packet it receives), a raw peer that speaks the frames by
// hand for the damaged cases, task forms, and waits that keep the Qt event loop running so
// that the model's notices reach the main thread.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxSocketFrames.h"
#include "foundation/kxXMLClientServer.h"
#include "manager/model/lmManager.h"
#include "support/TestSockets.h"

namespace guitest {

// Runs the event loop until the condition holds or the time is up; the condition's last value.
template <class TCondition>
bool WaitUntil(TCondition condition, int milliseconds = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(2);
    }
    return true;
}

// The full form of a task, as the server writes it below a "task" element.
inline std::string TaskBody(const TGUID& uid, const std::string& name, int state,
                            double progress = 0, const std::string& message = "",
                            const std::string& recall = "") {
    return "<uid>" + GUIDToString(uid) +
           "</uid><stime>01-02-2026 10:00:00</stime><etime>00-00-0000 00:00:00</etime>"
           "<qtime>01-02-2026 09:59:00</qtime><fname>/watch/Queued/" +
           name + "</fname><sid>" + GUIDToString(NewGUID()) + "</sid><state>" +
           std::to_string(state) + "</state><smsg>" + message + "</smsg><prog>" +
           std::to_string(progress) + "</prog><prio>0</prio><meta><recallid>" + recall +
           "</recallid></meta>";
}

inline std::string TaskStateBody(const TGUID& uid, int state, double progress,
                                 const std::string& message = "") {
    return "<uid>" + GUIDToString(uid) +
           "</uid><stime>01-02-2026 10:00:00</stime><etime>00-00-0000 00:00:00</etime><state>" +
           std::to_string(state) + "</state><smsg>" + message + "</smsg><prog>" +
           std::to_string(progress) + "</prog>";
}

// A packet built from its type, subtype and XML body.
inline TXMLPacketPtr PacketOf(const std::string& type, const std::string& subtype,
                              const std::string& body) {
    TXMLPacketPtr packet = NewPacket(type, subtype);
    TXMLUnicode parsed;
    parsed.LoadFromString("<packet type=\"" + type + "\"" +
                          (subtype.empty() ? std::string() : " subtype=\"" + subtype + "\"") + ">" +
                          body + "</packet>");
    packet->Document.Assign(&parsed);
    packet->Document.GotoRoot();
    return packet;
}

// An engine of our own on a loopback port: greets, logs every manager in, answers
// "gettasklist" with the list a test set, and keeps every packet it receives.
class TPushEngine {
  public:
    // `secret`: the control secret of this engine's installation (empty: the built-in one).
    explicit TPushEngine(std::string secret = {})
        : FSecret(secret.empty() ? ControlSecret() : std::move(secret)) {
        FServer.OnConnect = [this](TSocketServer&, TSocketClient& client) {
            TXMLPacketPtr info = NewPacket("serverinfo");
            info->Document.AddElement("version", "v1.0 build 1");
            info->Document.AddInteger("protocolversion", 1);
            info->Document.AddElement("name", "Push engine");
            info->Document.AddElement("location", "Bench");
            info->Document.AddElement("uid", FChallenge);
            static_cast<TXMLClient&>(client).Send(std::move(info));
        };
        FServer.OnPacket = [this](TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
            {
                std::lock_guard lock(FLock);
                auto copy = std::make_unique<TXMLPacket>();
                copy->Assign(packet);
                FReceived.push_back(std::move(copy));
            }
            if (packet.Type == "login") {
                const bool good = packet.Subtype == LoginDigest(FSecret, FChallenge);
                reply = NewPacket("msg", good ? "login" : "");
                reply->Document.AddBoolean("success", good);
                reply->Document.AddElement("message", "");
            } else if (packet.Type == "gettasklist") {
                std::string body;
                {
                    std::lock_guard lock(FLock);
                    body = FTaskList;
                }
                client.Send(PacketOf("tasklist", "", "<tasks>" + body + "</tasks>"));
            }
        };
        FServer.Listen(0);
    }

    uint16_t Port() const { return FServer.ListeningPort(); }
    // The "task" elements the next "gettasklist" is answered with.
    void SetTaskList(std::string tasks) {
        std::lock_guard lock(FLock);
        FTaskList = std::move(tasks);
    }
    void Push(const std::string& type, const std::string& subtype, const std::string& body) {
        TXMLPacketPtr packet = PacketOf(type, subtype, body);
        FServer.LockList();
        for (int i = 0; i < FServer.Count(); ++i) {
            static_cast<TXMLClient*>(FServer.Connection(i))->Send(*packet);
        }
        FServer.UnlockList();
    }
    // The packets received of that type, oldest first.
    std::vector<TXMLPacketPtr> Received(const std::string& type) {
        std::lock_guard lock(FLock);
        std::vector<TXMLPacketPtr> packets;
        for (const auto& packet : FReceived) {
            if (packet->Type == type) {
                auto copy = std::make_unique<TXMLPacket>();
                copy->Assign(*packet);
                copy->Document.GotoRoot();
                packets.push_back(std::move(copy));
            }
        }
        return packets;
    }
    void Drop() { FServer.StopListening(); }

  private:
    const std::string FSecret;
    const std::string FChallenge = GUIDToString(NewGUID());
    std::mutex FLock;
    std::string FTaskList;
    std::vector<TXMLPacketPtr> FReceived;
    TXMLServer FServer;
};

// The "uid" children of a packet, as GUIDs.
inline std::vector<TGUID> UidsOf(TXMLPacket& packet) {
    std::vector<TGUID> uids;
    const TXMLElement* root = packet.Document.Root();
    for (int i = 0; root && i < root->ChildCount(); ++i) {
        if (root->Children(i)->Name == "uid") {
            uids.push_back(root->Children(i)->Text.AsGUID(NullGUID));
        }
    }
    return uids;
}

// One connection spoken by hand: the greeting, a login reply to whatever the manager sends,
// then the script, then the connection closes.
class TRawEngine {
  public:
    using TScript = std::function<void(TqvSocket&)>;

    explicit TRawEngine(TScript script) : FScript(std::move(script)) {
        FListener.Open();
        FListener.Bind(0);
        FListener.ListenOn();
        Port = FListener.LocalPort();
        FThread = std::thread([this] { Run(); });
    }
    ~TRawEngine() {
        FStop.store(true);
        FThread.join();
    }

    static void Write(TqvSocket& socket, TXMLPacketPtr packet) {
        std::string xml;
        packet->Document.CloseElement();
        packet->Document.SaveToString(xml);
        WriteFrame(socket, xml, {}, nullptr);
    }
    // The first `bytes` of a frame that promises the whole packet.
    static void WritePart(TqvSocket& socket, TXMLPacketPtr packet, size_t bytes) {
        std::string xml;
        packet->Document.CloseElement();
        packet->Document.SaveToString(xml);
        const auto length = static_cast<int32_t>(xml.size());
        const std::string head = testing_support::FrameHeader(8 + length, length, 0);
        socket.Send(head.data(), head.size());
        socket.Send(xml.data(), std::min(bytes, xml.size()));
    }

    uint16_t Port = 0;

  private:
    void Run() {
        while (!FStop.load() && FListener.WaitReadable(50) != 1) {
        }
        std::unique_ptr<TqvSocket> socket = FStop.load() ? nullptr : FListener.Accept();
        if (!socket) {
            return;
        }
        TXMLPacketPtr info = NewPacket("serverinfo");
        info->Document.AddElement("version", "v1.0 build 1");
        info->Document.AddInteger("protocolversion", 1);
        info->Document.AddElement("uid", GUIDToString(NewGUID()));
        Write(*socket, std::move(info));
        char buffer[4096];
        if (socket->WaitReadable(10000) == 1) {
            socket->Receive(buffer, sizeof buffer);
        }
        TXMLPacketPtr reply = NewPacket("msg", "login");
        reply->Document.AddBoolean("success", true);
        reply->Document.AddElement("message", "");
        Write(*socket, std::move(reply));
        FScript(*socket);
        socket->Close();
    }

    TScript FScript;
    std::atomic<bool> FStop{false};
    TqvSocket FListener;
    std::thread FThread;
};

}  // namespace guitest
