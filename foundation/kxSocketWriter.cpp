#include "foundation/kxSocketWriter.h"

#include <algorithm>
#include <utility>

#include "foundation/kxLogFile.h"
#include "foundation/kxSocket.h"

namespace {

// Pieces one gathered send offers at most.
constexpr size_t PiecesPerSend = 64;
// While some socket is waited for, the writer looks at the time at least this often.
constexpr int StallCheckMs = 1000;

uint32_t Elapsed(uint32_t since) {
    const uint32_t d = port::GetTickCount() - since;
    return static_cast<int32_t>(d) < 0 ? since - port::GetTickCount() : d;
}

}  // namespace

TOutFrame::TOutFrame(std::string bytes, std::string key)
    : FBytes(std::move(bytes)), FKey(std::move(key)) {
    FReady.store(true, std::memory_order_release);
}

std::shared_ptr<TOutFrame> TOutFrame::Reserve() {
    return std::shared_ptr<TOutFrame>(new TOutFrame());
}

void TOutFrame::SetBytes(std::string bytes) {
    if (Ready()) {
        return;
    }
    FBytes = std::move(bytes);
    FReady.store(true, std::memory_order_release);
}

// What waits for one connection. An entry without a frame was collapsed away.
struct TSocketWriter::TOutbox {
    struct TEntry {
        TOutFramePtr Frame;
        bool Counted = false;  // its bytes are in Pending
    };

    explicit TOutbox(TSocketClient& client) : Client(client) {}

    TSocketClient& Client;
    std::deque<TEntry> Entries;
    size_t Sent = 0;     // bytes of the first entry already written
    size_t Pending = 0;  // bytes counted and not yet written
    // The newest entry of each key that has not started to go out.
    std::unordered_map<std::string, TEntry*> Newest;
    bool Blocked = false;       // the socket took less than it was offered
    uint32_t BlockedSince = 0;  // since then, or since it last took bytes, it took nothing
    bool Closed = false;
};

class TSocketWriter::TThread final : public TkxThread {
  public:
    explicit TThread(TSocketWriter& writer) : TkxThread("SocketWriter"), FWriter(writer) {}
    ~TThread() override {
        Terminate();
        FWriter.FWaker.Wake();
        WaitFor();
    }

  private:
    void Execute() override { FWriter.Run(*this); }
    TSocketWriter& FWriter;
};

TSocketWriter::TSocketWriter() : FThread(std::make_unique<TThread>(*this)) {
    FThread->Start();
}

TSocketWriter::~TSocketWriter() {
    FThread.reset();
}

void TSocketWriter::Attach(TSocketClient& client) {
    TLock lock(FTableLock);
    FOutboxes[client.Id()] = std::make_unique<TOutbox>(client);
}

void TSocketWriter::Detach(TSocketClient& client) {
    std::unique_ptr<TOutbox> box;
    {
        TLock lock(FTableLock);
        const auto found = FOutboxes.find(client.Id());
        if (found != FOutboxes.end() && &found->second->Client == &client) {
            box = std::move(found->second);
            FOutboxes.erase(found);
        }
    }
}

void TSocketWriter::Queue(uint32_t connection, TOutFramePtr frame) {
    if (!frame) {
        return;
    }
    bool wake = false;
    {
        TLock lock(FItemLock);
        FItems.push_back({connection, std::move(frame)});
        wake = !FWakePending;
        FWakePending = true;
    }
    if (wake) {
        FWaker.Wake();
    }
}

void TSocketWriter::Complete(TOutFrame& frame, std::string bytes) {
    frame.SetBytes(std::move(bytes));
    FWaker.Wake();
}

void TSocketWriter::Run(const TkxThread& thread) {
    // A job that hands a push over must not lose its processor to the writer it woke.
    port::SetCurrentThreadPatient();
    port::SocketWait wait;
    std::vector<uint32_t> waited;  // the connections behind the sockets of `wait`
    std::vector<TItem> items;
    while (!thread.Terminated()) {
        {
            TLock lock(FItemLock);
            items.swap(FItems);
            FWakePending = false;
        }
        {
            TLock lock(FTableLock);
            Pass(items, wait, waited);
        }
        // Frames that went out everywhere are freed here, outside the lock.
        items.clear();
        wait.Wait(FWaker, wait.Count() > 0 ? StallCheckMs : -1);
    }
}

void TSocketWriter::Pass(std::vector<TItem>& items, port::SocketWait& wait,
                         std::vector<uint32_t>& waited) {
    for (size_t i = 0; i < waited.size(); ++i) {
        const auto found = FOutboxes.find(waited[i]);
        if (found != FOutboxes.end() && wait.Ready(i)) {
            found->second->Blocked = false;
        }
    }
    wait.Clear();
    waited.clear();
    for (const TItem& item : items) {
        if (item.Connection == 0) {
            for (auto& [id, box] : FOutboxes) {
                if (box->Client.ReceivesBroadcasts()) {
                    Put(*box, item.Frame);
                }
            }
        } else if (const auto found = FOutboxes.find(item.Connection); found != FOutboxes.end()) {
            Put(*found->second, item.Frame);
        }
    }
    const uint32_t stall = StallTimeout.load();
    for (auto& [id, box] : FOutboxes) {
        if (!box->Blocked) {
            Flush(*box);
        }
        if (box->Closed || !box->Blocked) {
            continue;
        }
        if (Elapsed(box->BlockedSince) > stall) {
            Close(*box, "took no data for " + std::to_string(stall) + " ms");
            continue;
        }
        wait.Add(box->Client.Socket().Handle());
        waited.push_back(id);
    }
}

void TSocketWriter::Put(TOutbox& box, const TOutFramePtr& frame) {
    if (box.Closed) {
        return;
    }
    const bool ready = frame->Ready();
    const size_t size = ready ? frame->Bytes().size() : 0;
    const std::string& key = frame->Key();
    if (ready && !key.empty() && box.Pending + size > CollapseBytes.load()) {
        // The older state goes and the newer one joins the end of the queue: moved forward it
        // would overtake a reply (a task list) that was put together after it.
        if (const auto older = box.Newest.find(key); older != box.Newest.end()) {
            box.Pending -= older->second->Frame->Bytes().size();
            older->second->Frame.reset();
        }
    }
    box.Entries.push_back({frame, ready});
    if (ready && !key.empty()) {
        box.Newest[key] = &box.Entries.back();
    }
    if (ready) {
        Count(box, size);
    }
}

bool TSocketWriter::Count(TOutbox& box, size_t size) {
    box.Pending += size;
    if (box.Pending > MaxBytes.load()) {
        Close(box, "reads too slowly: " + std::to_string(box.Pending) + " bytes waiting");
        return false;
    }
    return true;
}

void TSocketWriter::Flush(TOutbox& box) {
    std::vector<port::SendPiece> pieces;
    while (!box.Closed) {
        Consume(box, 0);
        pieces.clear();
        size_t offered = 0;
        for (TOutbox::TEntry& entry : box.Entries) {
            if (pieces.size() == PiecesPerSend || (entry.Frame && !entry.Frame->Ready())) {
                break;
            }
            if (!entry.Frame) {
                continue;
            }
            if (!entry.Counted) {
                entry.Counted = true;
                if (!Count(box, entry.Frame->Bytes().size())) {
                    return;
                }
            }
            const std::string& bytes = entry.Frame->Bytes();
            const size_t from = &entry == &box.Entries.front() ? box.Sent : 0;
            if (bytes.size() > from) {
                pieces.push_back({bytes.data() + from, bytes.size() - from});
                offered += bytes.size() - from;
            }
        }
        if (pieces.empty()) {
            box.Blocked = false;
            return;
        }
        const int64_t taken = box.Client.Socket().SendAvailable(pieces.data(), pieces.size());
        if (taken < 0) {
            // The reader sees the failure too and ends the connection.
            Close(box, std::string());
            return;
        }
        Consume(box, static_cast<size_t>(taken));
        if (static_cast<size_t>(taken) < offered) {
            if (!box.Blocked || taken > 0) {
                box.BlockedSince = port::GetTickCount();
            }
            box.Blocked = true;
            return;
        }
    }
}

void TSocketWriter::Consume(TOutbox& box, size_t count) {
    while (!box.Entries.empty()) {
        TOutbox::TEntry& entry = box.Entries.front();
        if (entry.Frame && !entry.Frame->Ready()) {
            return;
        }
        const size_t left = entry.Frame ? entry.Frame->Bytes().size() - box.Sent : 0;
        if (left > count && count == 0) {
            return;
        }
        if (entry.Frame) {
            // Under way: no newer state may take its place any more.
            const auto newest = box.Newest.find(entry.Frame->Key());
            if (newest != box.Newest.end() && newest->second == &entry) {
                box.Newest.erase(newest);
            }
        }
        if (left > count) {
            box.Sent += count;
            box.Pending -= count;
            return;
        }
        count -= left;
        box.Pending -= left;
        box.Sent = 0;
        if (entry.Frame && left > 0) {
            box.Client.Touch();
        }
        box.Entries.pop_front();
    }
}

void TSocketWriter::Close(TOutbox& box, const std::string& reason) {
    if (box.Closed) {
        return;
    }
    if (!reason.empty()) {
        LogText("Client " + box.Client.PeerAddress() + " " + reason + "; connection closed");
    }
    box.Closed = true;
    box.Newest.clear();
    box.Entries.clear();
    box.Pending = 0;
    box.Blocked = false;
    box.Client.Disconnect();
}
