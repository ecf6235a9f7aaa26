#pragma once

// An engine of our own for the manager's benchmarks: it logs anyone in, answers
// "gettasklist" with its tasks (the first eight running, the others finished), and on request
// has its running tasks push their progress from a thread of its own, as fast as the
// connection takes it.

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxXMLClientServer.h"

namespace benchsupport {

constexpr int RunningCount = 8;

inline void TaskBody(TXMLUnicode& doc, const TGUID& uid, int state) {
    doc.AddGUID("uid", uid);
    doc.AddElement("stime", "10-12-2026 10:00:00");
    doc.AddElement("etime", "00-00-0000 00:00:00");
    doc.AddElement("qtime", "10-12-2026 09:59:00");
    doc.AddElement("fname", "/media/watch/Queued/clip " + GUIDToString(uid) + ".mov");
    doc.AddGUID("sid", uid);
    doc.AddInteger("state", state);
    doc.AddElement("smsg", state == 1 ? "Transcoding..." : "");
    doc.AddFloat("prog", 0);
    doc.AddInteger("prio", 0);
    doc.OpenElement("meta");
    doc.AddElement("recallid", "1234");
    doc.CloseElement();
}

// An engine of our own that logs anyone in and, on request, has its running tasks push their
// progress from a thread of its own.
class TPushingEngine {
  public:
    explicit TPushingEngine(int taskCount) : FTaskCount(taskCount) {
        for (int i = 0; i < FTaskCount; ++i) {
            FUids.push_back(NewGUID());
        }
        FServer.OnConnect = [this](TSocketServer&, TSocketClient& client) {
            TXMLPacketPtr info = NewPacket("serverinfo");
            info->Document.AddElement("version", "v1.0 build 1");
            info->Document.AddInteger("protocolversion", 1);
            info->Document.AddElement("uid", FChallenge);
            static_cast<TXMLClient&>(client).Send(std::move(info));
        };
        FServer.OnPacket = [this](TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
            if (packet.Type == "login") {
                reply = NewPacket("msg", "login");
                reply->Document.AddBoolean("success", true);
                reply->Document.AddElement("message", "");
            } else if (packet.Type == "gettasklist") {
                client.Send(TaskList());
            }
        };
        FServer.Listen(0);
        FPusher = std::thread([this] { PushLoop(); });
    }
    ~TPushingEngine() {
        {
            std::lock_guard lock(FLock);
            FEnding = true;
        }
        FChanged.notify_all();
        FPusher.join();
    }

    uint16_t Port() const { return FServer.ListeningPort(); }
    // Every connection gets that many more progress pushes.
    void Push(int count) {
        {
            std::lock_guard lock(FLock);
            FPending += count;
        }
        FChanged.notify_all();
    }
    // A bare client logs in by hand.
    std::string Challenge() const { return FChallenge; }

  private:
    TXMLPacketPtr TaskList() const {
        TXMLPacketPtr packet = NewPacket("tasklist");
        packet->Document.OpenElement("tasks");
        for (int i = 0; i < FTaskCount; ++i) {
            packet->Document.OpenElement("task");
            TaskBody(packet->Document, FUids[static_cast<size_t>(i)], i < RunningCount ? 1 : 4);
            packet->Document.CloseElement();
        }
        packet->Document.CloseElement();
        return packet;
    }

    void PushLoop() {
        uint64_t sent = 0;
        for (;;) {
            {
                std::unique_lock lock(FLock);
                FChanged.wait(lock, [this] { return FEnding || FPending > 0; });
                if (FEnding) {
                    return;
                }
                --FPending;
            }
            const size_t task = sent % RunningCount;
            TXMLPacketPtr state = NewPacket("taskstate");
            state->Document.AddGUID("uid", FUids[task]);
            state->Document.AddElement("stime", "10-12-2026 10:00:00");
            state->Document.AddElement("etime", "00-00-0000 00:00:00");
            state->Document.AddInteger("state", 1);
            state->Document.AddElement("smsg", "Transcoding...");
            state->Document.AddFloat("prog", static_cast<double>(sent % 1000) / 10.0);
            state->Document.AddInteger("prio", 0);
            ++sent;
            FServer.LockList();
            for (int i = 0; i < FServer.Count(); ++i) {
                static_cast<TXMLClient*>(FServer.Connection(i))->Send(*state);
            }
            FServer.UnlockList();
        }
    }

    const int FTaskCount;
    const std::string FChallenge = GUIDToString(NewGUID());
    std::vector<TGUID> FUids;
    std::mutex FLock;
    std::condition_variable FChanged;
    int FPending = 0;
    bool FEnding = false;
    TXMLServer FServer;
    std::thread FPusher;
};

}  // namespace benchsupport
