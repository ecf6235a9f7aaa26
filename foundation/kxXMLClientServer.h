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

class TXMLServer;

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
    // Moves file bytes of the frame under way from the socket into its disk file.
    void ReceiveToDiskFile(port::DataFile& file);
    // Loads the frame's document within the packet bounds; false when it passed one.
    bool LoadPacket(TFrame& frame);
    void Arm(TXMLPacketPtr* slot, const std::string& wantedType);
    bool WaitArmed(uint32_t timeout);

    TFrameReader FReader;
    TXMLPacket FReceivePacket;

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

  protected:
    void DoTick() override;
};
