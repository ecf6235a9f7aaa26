#pragma once

// XML packets over the socket transport: the packet with its envelope, a connection that sends
// packets (optionally waiting for a reply of a given type) and turns received frames into
// packets, and a server whose accepted connections hand their packets to one handler.

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "foundation/kxSocket.h"
#include "foundation/kxSocketFrames.h"
#include "foundation/kxSocketServer.h"
#include "foundation/kxXMLUnicode.h"

class TXMLClient;

// One packet: the document's root element "packet" carries the type, the subtype (when not
// empty) and "sc" = 1 when a file follows; the root's children are the body.
class TXMLPacket {
  public:
    TXMLPacket() = default;
    TXMLPacket(const TXMLPacket&) = delete;
    TXMLPacket& operator=(const TXMLPacket&) = delete;

    TXMLClient* Owner = nullptr;  // the connection a received packet arrived on
    std::string Type;
    std::string Subtype;
    TXMLUnicode Document;
    // Owned by the packet.
    std::vector<std::unique_ptr<std::iostream>> Attachments;
    // Sent after the attachments; not owned, forgotten after a send.
    std::istream* File = nullptr;
    // Or a whole file on the disk, sent from the disk cache without passing through this
    // process; not owned, forgotten after a send.
    port::DataFile* DiskFile = nullptr;
    // The file of a received frame (owned), which File then points at.
    std::unique_ptr<std::iostream> ReceivedFile;
    // Or, when the connection took it straight onto the disk, that file (owned; File is none).
    std::unique_ptr<port::DataFile> ReceivedDiskFile;
    bool HasFile = false;
    // Set on a packet that only says what something is now (a task's state): while it waits
    // behind a slow connection, a newer packet of the same key takes its place.
    std::string CollapseKey;

    // Sets the stream's position when `position` >= 0, then appends it.
    void Attach(std::unique_ptr<std::iostream> stream, int64_t position = -1);
    void SetFile(std::istream* stream) { File = stream; }
    void SetDiskFile(port::DataFile* file) { DiskFile = file; }
    // Hands the attachments over to the caller; the list is empty afterwards.
    std::vector<std::unique_ptr<std::iostream>> DetachAttachments();
    // Copies type, subtype, has file, the document, the file and every attachment (into a new
    // memory stream at the same position). A received file moves over to the copy.
    void Assign(TXMLPacket& other);
    void Clear();
};

using TXMLPacketPtr = std::unique_ptr<TXMLPacket>;

// A packet of that type and subtype whose document holds the open root element "packet";
// body elements are then added below the root.
TXMLPacketPtr NewPacket(const std::string& type, const std::string& subtype = std::string());

// A packet with one long list, written as it is put together: the envelope, then each item
// made in a small document of its own and written straight into the frame behind the ones
// before, so the list never exists as one tree and its bytes are made once.
class TXMLPacketStream {
  public:
    // The declaration and the start tags of the root "packet" (with the type) and of the list
    // element below it.
    TXMLPacketStream(const std::string& type, const std::string& list);
    TXMLPacketStream(const TXMLPacketStream&) = delete;
    TXMLPacketStream& operator=(const TXMLPacketStream&) = delete;

    // A cleared document whose cursor is on a new `name` element: the next item.
    TXMLUnicode& NewItem(const std::string& name);
    // Writes the item made since NewItem behind the others.
    void AddItem();
    // Closes the list and the root; the whole frame, or empty when it grew beyond one.
    std::string Finish();

  private:
    std::string FBytes;
    size_t FStart = 0;
    std::string FList;
    bool FEmpty = true;
    TXMLUnicode FItem;
    std::string FItemBytes;
};

class TXMLServer;
class TXMLClient;

// A reply that keeps its place in its connection's queue from the moment it is reserved while
// it is put together: what is sent on the connection afterwards goes out behind it. One that
// is never completed is dropped when the reservation goes.
class TXMLReservation {
  public:
    TXMLReservation() = default;
    TXMLReservation(TSocketWriter& writer, TOutFramePtr frame);
    ~TXMLReservation();
    TXMLReservation(TXMLReservation&& other) noexcept;
    TXMLReservation& operator=(TXMLReservation&&) = delete;

    // The reply's frame (as TXMLPacketStream::Finish gives it).
    void Complete(std::string frame);

  private:
    TSocketWriter* FWriter = nullptr;
    TOutFramePtr FFrame;
};

class TXMLClient : public TSocketClient {
  public:
    using TClientEvent = std::function<void(TXMLClient& Client)>;
    using TPacketEvent =
        std::function<void(TXMLClient& Client, TXMLPacket& Packet, TXMLPacketPtr& Reply)>;

    TXMLClient();
    ~TXMLClient() override;

    // Sends the packet. With `reply`, waits up to `timeout` ms for the next packet of
    // `replyType` (any type when empty) and puts it there; it stays empty when none came in
    // time. The connection's send lock is held throughout, so frames never interleave. False
    // when the connection is closed or the frame could not be written whole.
    // On a connection a server accepted, the frame is queued for the server's writer and true
    // means that it was queued; such a connection sends no files (a packet with one fails).
    bool Send(TXMLPacket& packet, TXMLPacketPtr* reply = nullptr, uint32_t timeout = 0,
              const std::string& replyType = std::string());
    // As above; the packet is freed afterwards.
    bool Send(TXMLPacketPtr packet, TXMLPacketPtr* reply = nullptr, uint32_t timeout = 0,
              const std::string& replyType = std::string());
    // Waits up to `timeout` ms for the next packet of any type; true when one came (or the
    // connection was closed meanwhile, which leaves `reply` empty).
    bool WaitForPacket(TXMLPacketPtr& reply, uint32_t timeout);

    void Disconnect() override;

    // What the peer may send on this connection. Files are refused unless a receiver that
    // wants them allows them: the largest file a frame may carry, 0 for none.
    std::atomic<int64_t> FileAllowance{0};
    // Bounds on the tree a received packet may build (elements and attributes together, and
    // nesting); a packet beyond them closes the connection.
    std::atomic<int64_t> MaxPacketNodes{1000000};
    std::atomic<int> MaxPacketDepth{64};

    TClientEvent OnDisconnected;
    TClientEvent OnConnected;
    TPacketEvent OnPacket;
    TClientEvent OnConnectFailed;
    TClientEvent OnResolveFailed;
    TClientEvent OnReconnect;
    TClientEvent OnStateChange;
    TClientEvent OnResponseTimeout;

  protected:
    void DoDisconnected() override;
    void DoConnectFailed() override;
    void DoResolveFailed() override;
    void DoReceive() override;
    void DoConnected() override;
    void DoKeepAlive() override;
    void DoReconnect() override;
    void DoStateChange() override;
    void DoResponseTimeout() override;

    // A received packet that nobody waits for goes to the server's handler (accepted
    // connections) and to OnPacket; the reply they leave is sent back.
    virtual TXMLPacketPtr HandlePacket(TXMLPacket& packet);
    // The largest frame the peer may send next, asked before every frame; a connection that
    // knows whether its peer has logged in narrows it until then.
    virtual int32_t FrameLengthLimit() const { return MaxFrameLength; }
    // The most attachments the peer's next frame may carry. A connection that holds frames to
    // a login's size takes none: no login carries any.
    virtual int32_t FrameAttachmentLimit() const {
        return FrameLengthLimit() <= LoginFrameLength ? 0 : MaxFrameAttachments;
    }
    // The stream a received frame's file goes into, once its length is known (within the file
    // allowance); none refuses the frame and closes the connection. On the reader thread.
    virtual std::unique_ptr<std::iostream> CreateReceivedFile(int64_t length);
    // Asked before CreateReceivedFile: a file on the disk a received frame's file goes into,
    // straight from the socket; none asks CreateReceivedFile. On the reader thread.
    virtual std::unique_ptr<port::DataFile> CreateReceivedDiskFile(int64_t length);

  private:
    // Hands the current limits to the frame reader.
    void ApplyLimits();
    void ReceiveFrame(TFrame& frame);
    bool Queue(TXMLPacket& packet);
    // Moves file bytes of the frame under way from the socket into its disk file.
    void ReceiveToDiskFile(port::DataFile& file);
    // Loads the frame's document within the packet bounds; false when it passed one.
    bool LoadPacket(TFrame& frame);
    void Arm(TXMLPacketPtr* slot, const std::string& wantedType);
    bool WaitArmed(uint32_t timeout);

    TFrameReader FReader;
    // Reused for every frame; a packet a sender waits for is handed over whole and a new
    // one takes its place.
    TXMLPacketPtr FReceivePacket = std::make_unique<TXMLPacket>();

    TMutex FWaitLock;
    TConditionVariable FWaitChanged;
    TXMLPacketPtr* FReplySlot GUARDED_BY(FWaitLock) = nullptr;
    bool FReplySet GUARDED_BY(FWaitLock) = false;
    std::string FWantedType GUARDED_BY(FWaitLock);
};

class TXMLServer : public TSocketServer {
  public:
    using TPacketEvent =
        std::function<void(TXMLClient& Client, TXMLPacket& Packet, TXMLPacketPtr& Reply)>;
    using TTickEvent = std::function<void(TXMLServer& Server)>;

    TXMLServer();
    ~TXMLServer() override;

    // Listens on Port.
    bool Start() { return Listen(Port); }

    uint16_t Port = 0;
    TPacketEvent OnPacket;
    TTickEvent OnTick;

    // Calls OnPacket when set; the reply it leaves is returned.
    virtual TXMLPacketPtr DispatchPacket(TXMLClient& client, TXMLPacket& packet);

    // Queues the packet once for every connection, logged in or not, without waiting for any;
    // false when it cannot be made into a frame.
    bool Broadcast(TXMLPacket& packet);
    // A place in the connection's queue for a reply put together afterwards.
    TXMLReservation Reserve(TXMLClient& client);

  protected:
    void DoTick() override;
};
