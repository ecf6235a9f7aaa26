#include "server/delivery/lmVmReelbankDelivery.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <memory>
#include <sstream>
#include <string>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "foundation/kxLoginDigest.h"
#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "foundation/kxXMLClientServer.h"
#include "port/port.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/lmVmMetaItems.h"
#include "server/ingest/lmVmSource.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/notify/lmVmProject.h"

namespace {

// A Reelbank server answers with a few small elements; anything bigger is not a reply.
constexpr int32_t ReplyFrameLimit = 65536;
constexpr int64_t ReplyNodeLimit = 4096;

// The connection of one delivery. It catches the one packet a step waits for: armed before
// the request goes out (before the connect for the challenge), so a reply can never slip past
// between the send and the wait; packets of other types are dropped. A wait ends early when
// the connection ends.
class TReelbankConnection final : public TXMLClient {
  public:
    TReelbankConnection() {
        MaxPacketNodes = ReplyNodeLimit;
        OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) { Received(packet); };
    }
    // The reader must be gone before the members it uses.
    ~TReelbankConnection() override { Disconnect(); }
    TReelbankConnection(const TReelbankConnection&) = delete;
    TReelbankConnection& operator=(const TReelbankConnection&) = delete;

    // Catches the next packet of that type, any type when empty.
    void Expect(const std::string& type) {
        TLock lock(FWaitLock);
        FWanted = type;
        FReply.reset();
        FArmed = true;
    }

    // The packet caught within `timeout` ms, or none.
    TXMLPacketPtr Wait(uint32_t timeout) {
        TLock lock(FWaitLock);
        FChanged.WaitFor(lock, std::chrono::milliseconds(timeout),
                         [this]() REQUIRES(FWaitLock) { return FReply || FEnded; });
        FArmed = false;
        return std::move(FReply);
    }

    // True when the connection ended within `timeout` ms.
    bool WaitEnded(uint32_t timeout) {
        TLock lock(FWaitLock);
        return FChanged.WaitFor(lock, std::chrono::milliseconds(timeout),
                                [this]() REQUIRES(FWaitLock) { return FEnded; });
    }

    // Sends the packet and waits for the reply of that type.
    TXMLPacketPtr Ask(TXMLPacketPtr packet, const std::string& replyType, uint32_t timeout) {
        Expect(replyType);
        if (!Send(std::move(packet))) {
            return nullptr;
        }
        return Wait(timeout);
    }

  protected:
    int32_t FrameLengthLimit() const override { return ReplyFrameLimit; }

    void DoDisconnected() override {
        TXMLClient::DoDisconnected();
        {
            TLock lock(FWaitLock);
            FEnded = true;
        }
        FChanged.NotifyAll();
    }

  private:
    void Received(TXMLPacket& packet) {
        TLock lock(FWaitLock);
        if (!FArmed || FReply || (!FWanted.empty() && FWanted != packet.Type)) {
            return;
        }
        FReply = std::make_unique<TXMLPacket>();
        FReply->Assign(packet);
        FReply->Document.GotoRoot();
        FChanged.NotifyAll();
    }

    TMutex FWaitLock;
    TConditionVariable FChanged;
    bool FArmed GUARDED_BY(FWaitLock) = false;
    bool FEnded GUARDED_BY(FWaitLock) = false;
    std::string FWanted GUARDED_BY(FWaitLock);
    TXMLPacketPtr FReply GUARDED_BY(FWaitLock);
};

// Watches a delivery while it runs and shuts the connection down when the task's cancel is
// raised or, while the file goes out, when the transfer falls below its rate floor: a send
// blocked on the socket fails and a wait ends at once.
class TTransferWatch final : public TkxThread {
  public:
    TTransferWatch(const TTaskItem& task, TReelbankConnection& connection,
                   const TReelbankLimits& limits)
        : TkxThread("ReelbankCancel"), FTask(task), FConnection(connection), FLimits(limits) {
        Start();
    }
    ~TTransferWatch() override {
        {
            TLock lock(FLock);
            FStopping = true;
        }
        FChanged.NotifyAll();
        WaitFor();
    }
    TTransferWatch(const TTransferWatch&) = delete;
    TTransferWatch& operator=(const TTransferWatch&) = delete;

    // The file starts going out now: from here the bytes sent must keep above the floor.
    void FileStarted() {
        TLock lock(FLock);
        FFileStart = port::GetTickCount();
        FFileBase = FConnection.Socket().BytesSent();
        FFileUnderWay = true;
    }
    void FileEnded() {
        TLock lock(FLock);
        FFileUnderWay = false;
    }
    // Whether this watch shut the connection down, and why.
    bool ShutDown() const {
        TLock lock(FLock);
        return FShutDown;
    }
    bool TooSlow() const {
        TLock lock(FLock);
        return FTooSlow;
    }

  private:
    void Execute() override {
        TLock lock(FLock);
        while (!FStopping) {
            if (FTask.CancelRequested() || BelowFloor()) {
                FShutDown = true;
                FTooSlow = !FTask.CancelRequested();
                FConnection.Socket().Shutdown();
                return;
            }
            FChanged.WaitFor(lock, std::chrono::milliseconds(100));
        }
    }

    bool BelowFloor() const REQUIRES(FLock) {
        if (!FFileUnderWay) {
            return false;
        }
        const int64_t sent = FConnection.Socket().BytesSent() - FFileBase;
        const int64_t allowedMs =
            FLimits.FileGraceMs + sent * 1000 / std::max<int64_t>(1, FLimits.FloorBytesPerSecond);
        return static_cast<int64_t>(port::GetTickCount() - FFileStart) > allowedMs;
    }

    const TTaskItem& FTask;
    TReelbankConnection& FConnection;
    const TReelbankLimits FLimits;
    mutable TMutex FLock;
    TConditionVariable FChanged;
    bool FStopping GUARDED_BY(FLock) = false;
    bool FFileUnderWay GUARDED_BY(FLock) = false;
    uint32_t FFileStart GUARDED_BY(FLock) = 0;
    int64_t FFileBase GUARDED_BY(FLock) = 0;
    bool FShutDown GUARDED_BY(FLock) = false;
    bool FTooSlow GUARDED_BY(FLock) = false;
};

// Raises the connection's busy count while this side waits for the server's answer, so that no
// keep-alive goes out on a connection whose sending side is closed.
class TBusyScope {
  public:
    explicit TBusyScope(TSocketClient& client) : FClient(client) { FClient.IncBusy(); }
    ~TBusyScope() { FClient.DecBusy(); }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

  private:
    TSocketClient& FClient;
};

std::string ChildValue(const TXMLPacket& packet, const char* name) {
    const TXMLElement* root = packet.Document.Root();
    const TXMLElement* child = root ? root->FindChild(name) : nullptr;
    return child ? child->Text.Text : std::string();
}

bool ChildFlag(const TXMLPacket& packet, const char* name) {
    return ChildValue(packet, name) == "1";
}

// A text from the server fit for a log line and a task message: one line, not too long.
std::string PeerText(const std::string& text) {
    constexpr size_t limit = 200;
    std::string line;
    for (const char c : text.substr(0, limit)) {
        line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return line;
}

std::unique_ptr<std::iostream> MemoryStream(const uint8_t* data, size_t size) {
    return std::make_unique<std::stringstream>(
        std::string(reinterpret_cast<const char*>(data), size),
        std::ios::in | std::ios::out | std::ios::binary);
}

// One delivery, step by step; every failing step leaves the last error and its log line.
class TReelbankTransfer {
  public:
    TReelbankTransfer(TVmTarget& target, const std::string& outputPath, TTaskItem& task,
                      const TMetaItems& meta, const TReelbankLimits& limits)
        : FTarget(target),
          FOutputPath(outputPath),
          FTask(task),
          FMeta(meta),
          FLimits(limits),
          FHost(target.Host()),
          FPort(static_cast<uint16_t>(target.Port())),
          FSecret(target.Secret().empty() ? ReelbankSecret() : target.Secret()) {}

    bool Run() {
        LogText("Sending file: " + FOutputPath + " to Reelbank: " + FHost +
                " Port: " + std::to_string(FPort));
        if (FTask.CancelRequested()) {
            return Fail("", "");
        }
        // Armed before the connect: the challenge may come before the connect returns.
        FConnection.Expect(std::string());
        if (!FConnection.Connect(FHost, FPort)) {
            return Fail("Failed to connect to", "Failed to connect to Reelbank: " + FHost);
        }
        TTransferWatch watch(FTask, FConnection, FLimits);
        FWatch = &watch;
        std::string challenge;
        if (!Handshake(challenge) || !Login(challenge)) {
            return false;
        }
        TXMLPacketPtr decision = Prepare();
        return decision && Decide(*decision);
    }

  private:
    // Sets the last error and logs the line; a cancelled task says so instead.
    bool Fail(const std::string& error, const std::string& line) {
        if (FTask.CancelRequested()) {
            FTarget.SetLastError("Transfer cancelled for target");
            LogText("Transfer of " + FOutputPath + " to Reelbank cancelled.");
        } else {
            FTarget.SetLastError(error);
            LogText(line);
        }
        return false;
    }

    bool Handshake(std::string& challenge) {
        TXMLPacketPtr greeting = FConnection.Wait(ReelbankHandshakeTimeout);
        if (!greeting) {
            return Fail("Failed to handshake with", "Failed to handshake with Reelbank (timeout)");
        }
        challenge = ChildValue(*greeting, "uid");
        FConfirms = ChildFlag(*greeting, "confirmstore");
        return true;
    }

    bool Login(const std::string& challenge) {
        TXMLPacketPtr login = NewPacket("login", LoginDigest(FSecret, challenge));
        login->Document.AddElement("type", "vidmill");
        TXMLPacketPtr reply = FConnection.Ask(std::move(login), "msg", ReelbankReplyTimeout);
        if (!reply) {
            return Fail("Failed to login to host: " + FHost, "Failed to login to Reelbank.");
        }
        // The server answers a good login with subtype "login", a refused one without.
        if (reply->Subtype != "login") {
            return Fail("Failed to get login reply from host: " + FHost,
                        "Failed to receive login reply - received reply: " + reply->Subtype);
        }
        return true;
    }

    // "clipguid", then "project" when asked and the task's source has one, then every item.
    void AddClipValues(TXMLUnicode& doc, bool withProject) {
        doc.AddElement("clipguid", GUIDToString(FTask.ClipUid()));
        if (withProject) {
            if (const std::shared_ptr<TVmSource>& source = FTask.Source()) {
                if (const std::shared_ptr<TVmProject> project = source->Project()) {
                    doc.AddElement("project", project->Name());
                }
            }
        }
        FMeta.WriteToXML(doc);
    }

    TXMLPacketPtr Prepare() {
        TXMLPacketPtr prepare = NewPacket("rxprepare");
        AddClipValues(prepare->Document, false);
        TXMLPacketPtr reply = FConnection.Ask(std::move(prepare), "rxresult", ReelbankReplyTimeout);
        if (!reply) {
            Fail("Failed to get response message", "Failed to receive response message");
        }
        return reply;
    }

    bool Decide(const TXMLPacket& decision) {
        if (ChildFlag(decision, "sendclip")) {
            return SendClip();
        }
        if (ChildFlag(decision, "result")) {
            FTarget.SetLastError("Clip already exists on target");
            LogText("Clip " + FOutputPath + " already exists on target");
            return true;
        }
        return Fail("Could not write file on target",
                    "Could not write file " + FOutputPath + " on target");
    }

    bool SendClip() {
        TXMLPacketPtr clip = NewPacket("rxclip");
        AddClipValues(clip->Document, true);
        // The images stay the metadata's; the packet carries copies, freed with it.
        for (const std::vector<uint8_t>& image : FMeta.Streams()) {
            clip->Attach(MemoryStream(image.data(), image.size()), 0);
        }
        if (const TFlipBook* book = FMeta.FlipBook(); book && book->Count() > 0) {
            std::vector<uint8_t> bytes;
            book->SaveToStream(bytes);
            clip->Attach(MemoryStream(bytes.data(), bytes.size()), 0);
        }
        // Goes from the disk cache to the socket, never read into this process.
        port::DataFile file;
        if (!file.OpenRead(FOutputPath)) {
            return Fail("Failed to send to",
                        "File " + FOutputPath + " failed to send to Reelbank.");
        }
        const int64_t size = file.Size();
        clip->SetDiskFile(&file);
        // Armed before the file goes: the confirmation may follow its last byte at once.
        if (FConfirms) {
            FConnection.Expect("rxstored");
        }
        FWatch->FileStarted();
        const bool sent = FConnection.Send(*clip);
        FWatch->FileEnded();
        if (!sent) {
            if (FWatch->TooSlow()) {
                return Fail("Transfer too slow for",
                            "File " + FOutputPath + " to Reelbank stopped: below " +
                                std::to_string(FLimits.FloorBytesPerSecond) + " bytes/s after " +
                                std::to_string(FLimits.FileGraceMs / 1000) + " s.");
            }
            const std::string reason = SendFailure();
            return Fail("Failed to send (" + reason + ") to",
                        "File " + FOutputPath + " failed to send to Reelbank (" + reason + ").");
        }
        TBusyScope busy(FConnection);
        return FConfirms ? AwaitConfirmation(AnswerTimeout(size)) : AwaitEnd(AnswerTimeout(size));
    }

    uint32_t AnswerTimeout(int64_t size) const {
        const int64_t ms =
            FLimits.AnswerFixedMs +
            std::max<int64_t>(0, size) / std::max<int64_t>(1, FLimits.AnswerBytesPerSecond) * 1000;
        return static_cast<uint32_t>(std::min<int64_t>(ms, UINT32_MAX));
    }

    // A server that confirms has the clip only once it says so.
    bool AwaitConfirmation(uint32_t timeout) {
        TXMLPacketPtr answer = FConnection.Wait(timeout);
        if (!answer) {
            const std::string why =
                FConnection.Connected()
                    ? "no answer within " + std::to_string(timeout / 1000) + " s"
                    : "connection closed";
            return Fail(
                "No store confirmation from",
                "File " + FOutputPath + " was not confirmed stored by Reelbank (" + why + ").");
        }
        if (!ChildFlag(*answer, "success")) {
            const std::string why = PeerText(ChildValue(*answer, "message"));
            return Fail("Clip not stored (" + why + ") by",
                        "File " + FOutputPath + " was not stored by Reelbank (" + why + ").");
        }
        LogText("File " + FOutputPath + " successfully transferred to Reelbank.");
        return true;
    }

    // A server that does not confirm closes the connection in order once it has read the whole
    // file and the end of the stream; a reset means it did not take every byte.
    bool AwaitEnd(uint32_t timeout) {
        FConnection.Socket().ShutdownSend();
        if (!FConnection.WaitEnded(timeout)) {
            return Fail("No end of transfer from",
                        "File " + FOutputPath + " sent, but Reelbank did not close the " +
                            "connection within " + std::to_string(timeout / 1000) + " s.");
        }
        if (FWatch->ShutDown() || !FConnection.Socket().PeerEnded()) {
            const std::string reason = SendFailure();
            return Fail("Failed to send (" + reason + ") to",
                        "File " + FOutputPath + " failed to send to Reelbank (" + reason + ").");
        }
        LogText("File " + FOutputPath + " successfully transferred to Reelbank.");
        LogText("Reelbank does not confirm stored clips: the store of " + FOutputPath +
                " is not confirmed.");
        return true;
    }

    std::string SendFailure() {
        TqvSocket& socket = FConnection.Socket();
        return socket.LastError() != 0 ? socket.LastErrorText() : std::string("connection closed");
    }

    TVmTarget& FTarget;
    const std::string& FOutputPath;
    TTaskItem& FTask;
    const TMetaItems& FMeta;
    const TReelbankLimits FLimits;
    const std::string FHost;
    const uint16_t FPort;
    const std::string FSecret;
    // Whether the server announced that it confirms stored clips.
    bool FConfirms = false;
    TReelbankConnection FConnection;
    // Set while the connection is up.
    TTransferWatch* FWatch = nullptr;
};

}  // namespace

bool DeliverToReelbank(TVmTarget& Target, const std::string& OutputPath, TTaskItem& Task,
                       const TMetaItems& Meta, const TReelbankLimits& Limits) {
    try {
        return TReelbankTransfer(Target, OutputPath, Task, Meta, Limits).Run();
    } catch (const std::exception& error) {
        Target.SetLastError(std::string("Failed to send (") + error.what() + ") to");
        LogText("File " + OutputPath + " failed to send to Reelbank (" + error.what() + ").");
        return false;
    }
}
