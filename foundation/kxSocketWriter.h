#pragma once

// How the connections a server accepted send: every frame is queued for its connection, and
// one writer thread per server writes the queues out through sockets that never make it wait.
// A thread that sends (a job reporting its task's state, a broadcast to every manager) hands
// its frame over in constant time, whatever the peers do. For a peer that reads slowly, state
// updates collapse to the newest of each kind once its queue has grown; a peer that takes no
// bytes for a while, or lets its queue pass a hard bound, is closed.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "port/port.h"

class TSocketClient;

// One frame on its way out, shared by every connection it goes to.
class TOutFrame {
  public:
    // A frame whose bytes are known. A frame with a key says only what something is now (a
    // task's state): once a queue is long, a newer frame of the same key takes the place of one
    // still waiting there.
    explicit TOutFrame(std::string bytes, std::string key = std::string());
    TOutFrame(const TOutFrame&) = delete;
    TOutFrame& operator=(const TOutFrame&) = delete;

    // A frame that takes its place in the queues now and gets its bytes later
    // (TSocketWriter::Complete); what is queued after it waits behind it.
    static std::shared_ptr<TOutFrame> Reserve();

    const std::string& Key() const { return FKey; }
    bool Ready() const { return FReady.load(std::memory_order_acquire); }
    // Only once Ready; empty bytes leave nothing to send.
    const std::string& Bytes() const { return FBytes; }

  private:
    friend class TSocketWriter;
    TOutFrame() = default;
    void SetBytes(std::string bytes);

    std::string FBytes;
    std::string FKey;
    std::atomic<bool> FReady{false};
};

using TOutFramePtr = std::shared_ptr<TOutFrame>;

class TSocketWriter {
  public:
    // Starts the writer thread.
    TSocketWriter();
    // Ends the writer thread; whatever is still queued is dropped.
    ~TSocketWriter();
    TSocketWriter(const TSocketWriter&) = delete;
    TSocketWriter& operator=(const TSocketWriter&) = delete;

    // A connection the writer sends to from now on (by its id).
    void Attach(TSocketClient& client);
    // Takes the connection out: once this returns the writer never touches it again, so its
    // socket may be closed.
    void Detach(TSocketClient& client);

    // Queues the frame for the connection with that id, or for every connection attached when
    // the writer takes it (id 0). Never waits for a socket.
    void Queue(uint32_t connection, TOutFramePtr frame);
    // Gives a reserved frame its bytes (empty: nothing is sent) and lets its queues go on.
    void Complete(TOutFrame& frame, std::string bytes);

    // Past this many bytes waiting for one connection, a keyed frame replaces the one of the
    // same key that still waits there.
    std::atomic<size_t> CollapseBytes{64 * 1024};
    // Past this many the connection is closed: room for a list of some ten thousand tasks
    // and the pushes behind it.
    std::atomic<size_t> MaxBytes{32 * 1024 * 1024};
    // A connection that takes no byte for this long while bytes wait for it is closed.
    std::atomic<uint32_t> StallTimeout{15000};

  private:
    class TThread;
    struct TOutbox;
    struct TItem {
        uint32_t Connection;
        TOutFramePtr Frame;
    };

    void Run(const TkxThread& thread);
    // One pass over everything, under the table lock: new frames into their queues, the
    // queues into their sockets, and the sockets that must be waited for into `wait`.
    void Pass(std::vector<TItem>& items, port::SocketWait& wait, std::vector<uint32_t>& waited)
        REQUIRES(FTableLock);
    void Put(TOutbox& box, const TOutFramePtr& frame) REQUIRES(FTableLock);
    void Flush(TOutbox& box) REQUIRES(FTableLock);
    void Consume(TOutbox& box, size_t count) REQUIRES(FTableLock);
    // Counts a frame that has become ready into its queue; false when that closed the
    // connection.
    bool Count(TOutbox& box, size_t size) REQUIRES(FTableLock);
    void Close(TOutbox& box, const std::string& reason) REQUIRES(FTableLock);

    port::SocketWaker FWaker;
    TMutex FItemLock;
    std::vector<TItem> FItems GUARDED_BY(FItemLock);
    bool FWakePending GUARDED_BY(FItemLock) = false;
    TMutex FTableLock;
    std::unordered_map<uint32_t, std::unique_ptr<TOutbox>> FOutboxes GUARDED_BY(FTableLock);
    std::unique_ptr<TThread> FThread;
};
