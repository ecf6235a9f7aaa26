#include "server/delivery/lmVmReelbankDelivery.h"

#include <chrono>
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

// Watches the task's cancel flag while a delivery runs and shuts the connection down when it
// is raised: a send blocked on the socket fails and a wait ends at once.
class TCancelWatch final : public TkxThread {
  public:
    TCancelWatch(const TTaskItem& task, TReelbankConnection& connection)
        : TkxThread("ReelbankCancel"), FTask(task), FConnection(connection) {
        Start();
    }
    ~TCancelWatch() override {
        {
            TLock lock(FLock);
            FStopping = true;
        }
        FChanged.NotifyAll();
        WaitFor();
    }
    TCancelWatch(const TCancelWatch&) = delete;
    TCancelWatch& operator=(const TCancelWatch&) = delete;

  private:
    void Execute() override {
        TLock lock(FLock);
        while (!FStopping) {
            if (FTask.CancelRequested()) {
                FConnection.Socket().Shutdown();
                return;
            }
            FChanged.WaitFor(lock, std::chrono::milliseconds(100));
        }
    }

    const TTaskItem& FTask;
    TReelbankConnection& FConnection;
    TMutex FLock;
    TConditionVariable FChanged;
    bool FStopping GUARDED_BY(FLock) = false;
};

std::string ChildValue(const TXMLPacket& packet, const char* name) {
    const TXMLElement* root = packet.Document.Root();
    const TXMLElement* child = root ? root->FindChild(name) : nullptr;
    return child ? child->Text.Text : std::string();
}

bool ChildFlag(const TXMLPacket& packet, const char* name) {
    return ChildValue(packet, name) == "1";
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
                      const TMetaItems& meta)
        : FTarget(target),
          FOutputPath(outputPath),
          FTask(task),
          FMeta(meta),
          FHost(target.Host()),
          FPort(static_cast<uint16_t>(target.Port())) {}

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
        TCancelWatch watch(FTask, FConnection);
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
        return true;
    }

    bool Login(const std::string& challenge) {
        TXMLPacketPtr login = NewPacket("login", LoginDigest(ReelbankSecret(), challenge));
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
        clip->SetDiskFile(&file);
        if (!FConnection.Send(*clip)) {
            const std::string reason = SendFailure();
            return Fail("Failed to send (" + reason + ") to",
                        "File " + FOutputPath + " failed to send to Reelbank (" + reason + ").");
        }
        LogText("File " + FOutputPath + " successfully transferred to Reelbank.");
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
    const std::string FHost;
    const uint16_t FPort;
    TReelbankConnection FConnection;
};

}  // namespace

bool DeliverToReelbank(TVmTarget& Target, const std::string& OutputPath, TTaskItem& Task,
                       const TMetaItems& Meta) {
    try {
        return TReelbankTransfer(Target, OutputPath, Task, Meta).Run();
    } catch (const std::exception& error) {
        Target.SetLastError(std::string("Failed to send (") + error.what() + ") to");
        LogText("File " + OutputPath + " failed to send to Reelbank (" + error.what() + ").");
        return false;
    }
}
