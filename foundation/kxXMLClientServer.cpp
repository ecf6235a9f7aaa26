#include "foundation/kxXMLClientServer.h"

#include <chrono>
#include <sstream>

#include "foundation/kxLogFile.h"

// ---------------------------------------------------------------------------------------------
// TXMLPacket

void TXMLPacket::Attach(std::unique_ptr<std::iostream> stream, int64_t position) {
    if (!stream) {
        return;
    }
    if (position >= 0) {
        stream->clear();
        stream->seekg(position);
    }
    Attachments.push_back(std::move(stream));
}

std::vector<std::unique_ptr<std::iostream>> TXMLPacket::DetachAttachments() {
    std::vector<std::unique_ptr<std::iostream>> detached;
    detached.swap(Attachments);
    return detached;
}

void TXMLPacket::Assign(TXMLPacket& other) {
    Type = other.Type;
    Subtype = other.Subtype;
    HasFile = other.HasFile;
    Document.Clear();
    Document.Assign(&other.Document);
    File = other.File;
    DiskFile = other.DiskFile;
    if (other.ReceivedFile) {
        ReceivedFile = std::move(other.ReceivedFile);
        other.File = nullptr;
    }
    if (other.ReceivedDiskFile) {
        ReceivedDiskFile = std::move(other.ReceivedDiskFile);
    }
    Attachments.clear();
    for (const auto& attachment : other.Attachments) {
        attachment->clear();
        const std::streampos position = attachment->tellg();
        attachment->seekg(0);
        std::ostringstream bytes;
        bytes << attachment->rdbuf();
        attachment->clear();
        attachment->seekg(position);
        auto copy = std::make_unique<std::stringstream>(
            bytes.str(), std::ios::in | std::ios::out | std::ios::binary);
        copy->seekg(position);
        Attachments.push_back(std::move(copy));
    }
}

void TXMLPacket::Clear() {
    Type.clear();
    Subtype.clear();
    Document.Clear();
    Attachments.clear();
    File = nullptr;
    DiskFile = nullptr;
    ReceivedFile.reset();
    ReceivedDiskFile.reset();
    HasFile = false;
}

TXMLPacketPtr NewPacket(const std::string& type, const std::string& subtype) {
    auto packet = std::make_unique<TXMLPacket>();
    packet->Type = type;
    packet->Subtype = subtype;
    packet->Document.OpenElement("packet");
    packet->Document.AddAttribute("type", type);
    if (!subtype.empty()) {
        packet->Document.AddAttribute("subtype", subtype);
    }
    return packet;
}

namespace {

// The frame of a packet without a file; false when it cannot be made.
bool PacketFrame(TXMLPacket& packet, std::string& frame) {
    TXMLUnicode& doc = packet.Document;
    doc.CloseElement();
    std::string xml;
    if (!doc.SaveToString(xml)) {
        return false;
    }
    std::vector<std::iostream*> attachments;
    for (const auto& attachment : packet.Attachments) {
        attachments.push_back(attachment.get());
    }
    return AppendFrame(frame, xml, attachments);
}

}  // namespace

TXMLPacketStream::TXMLPacketStream(const std::string& type, const std::string& list) : FList(list) {
    FStart = BeginFrame(FBytes);
    // The declaration as every saved document has it: an empty document saves nothing else.
    TXMLUnicode head;
    std::string declaration;
    head.SaveToString(declaration);
    FBytes += declaration;
    head.OpenElement("packet");
    head.AddAttribute("type", type);
    head.Root()->WriteStart(FBytes);
    FBytes += "><";
    FBytes += FList;
    FBytes += '>';
    FItem.WriteDeclaration = false;
}

TXMLUnicode& TXMLPacketStream::NewItem(const std::string& name) {
    FItem.Clear();
    FItem.OpenElement(name);
    return FItem;
}

void TXMLPacketStream::AddItem() {
    FItem.SaveToString(FItemBytes);
    FBytes += FItemBytes;
    FEmpty = false;
}

std::string TXMLPacketStream::Finish() {
    if (FEmpty) {
        // An empty list element is written as the document library writes one.
        FBytes.back() = '/';
        FBytes += '>';
    } else {
        FBytes += "</" + FList + ">";
    }
    FBytes += "</packet>";
    if (!EndFrame(FBytes, FStart)) {
        return std::string();
    }
    return std::move(FBytes);
}

TXMLReservation::TXMLReservation(TSocketWriter& writer, TOutFramePtr frame)
    : FWriter(&writer), FFrame(std::move(frame)) {}

TXMLReservation::TXMLReservation(TXMLReservation&& other) noexcept
    : FWriter(other.FWriter), FFrame(std::move(other.FFrame)) {
    other.FWriter = nullptr;
}

TXMLReservation::~TXMLReservation() {
    Complete(std::string());
}

void TXMLReservation::Complete(std::string frame) {
    if (FWriter && FFrame) {
        FWriter->Complete(*FFrame, std::move(frame));
    }
    FFrame.reset();
}

// ---------------------------------------------------------------------------------------------
// TXMLClient

TXMLClient::TXMLClient() {
    // Replies and pushes are small XML documents, and a frame must never wait for Nagle.
    NoDelay = true;
    FReader.FileSink = [this](int64_t length) { return CreateReceivedFile(length); };
    FReader.DiskSink = [this](int64_t length) { return CreateReceivedDiskFile(length); };
}

std::unique_ptr<std::iostream> TXMLClient::CreateReceivedFile(int64_t /*length*/) {
    return TemporaryFrameFile();
}

std::unique_ptr<port::DataFile> TXMLClient::CreateReceivedDiskFile(int64_t /*length*/) {
    return nullptr;
}

TXMLClient::~TXMLClient() {
    if (!Server()) {
        Disconnect();
    }
}

void TXMLClient::Arm(TXMLPacketPtr* slot, const std::string& wantedType) {
    TLock lock(FWaitLock);
    if (slot) {
        slot->reset();
    }
    FReplySlot = slot;
    FReplySet = false;
    FWantedType = wantedType;
}

bool TXMLClient::WaitArmed(uint32_t timeout) {
    TLock lock(FWaitLock);
    const bool set = FWaitChanged.WaitFor(lock, std::chrono::milliseconds(timeout),
                                          [this]() REQUIRES(FWaitLock) { return FReplySet; });
    FReplySlot = nullptr;
    FWantedType.clear();
    FReplySet = false;
    return set;
}

bool TXMLClient::Queue(TXMLPacket& packet) {
    const bool withFile = packet.File || packet.DiskFile;
    packet.File = nullptr;
    packet.DiskFile = nullptr;
    std::string frame;
    if (withFile || !PacketFrame(packet, frame)) {
        return false;
    }
    Server()->Writer().Queue(Id(),
                             std::make_shared<TOutFrame>(std::move(frame), packet.CollapseKey));
    return true;
}

bool TXMLClient::Send(TXMLPacket& packet, TXMLPacketPtr* reply, uint32_t timeout,
                      const std::string& replyType) {
    if (!Connected()) {
        packet.File = nullptr;
        packet.DiskFile = nullptr;
        return false;
    }
    if (Server()) {
        if (!reply) {
            return Queue(packet);
        }
        Lock();
        Arm(reply, replyType);
        const bool queued = Queue(packet);
        if (queued) {
            WaitArmed(timeout);
        } else {
            Arm(nullptr, std::string());
        }
        Unlock();
        return queued;
    }
    Lock();
    IncBusy();
    if (reply) {
        Arm(reply, replyType);
    }
    TXMLUnicode& doc = packet.Document;
    doc.CloseElement();
    const bool withFile = packet.File || packet.DiskFile;
    if (withFile && doc.GotoRoot() && &doc.Root()->AttributeByName("sc") == &doc.EmptyAttribute()) {
        doc.AddAttribute("sc", "1");
    }
    std::string xml;
    bool result = doc.SaveToString(xml);
    if (result) {
        std::vector<std::iostream*> attachments;
        for (const auto& attachment : packet.Attachments) {
            attachments.push_back(attachment.get());
        }
        result = packet.DiskFile ? WriteFrame(Socket(), xml, attachments, *packet.DiskFile)
                                 : WriteFrame(Socket(), xml, attachments, packet.File);
    }
    packet.File = nullptr;
    packet.DiskFile = nullptr;
    if (reply) {
        if (result) {
            WaitArmed(timeout);
        } else {
            Arm(nullptr, std::string());
        }
    }
    Touch();
    Unlock();
    DecBusy();
    return result;
}

bool TXMLClient::Send(TXMLPacketPtr packet, TXMLPacketPtr* reply, uint32_t timeout,
                      const std::string& replyType) {
    if (!packet) {
        return false;
    }
    return Send(*packet, reply, timeout, replyType);
}

bool TXMLClient::WaitForPacket(TXMLPacketPtr& reply, uint32_t timeout) {
    Arm(&reply, std::string());
    return WaitArmed(timeout);
}

void TXMLClient::Disconnect() {
    {
        TLock lock(FWaitLock);
        FReplySet = true;
    }
    FWaitChanged.NotifyAll();
    TSocketClient::Disconnect();
}

void TXMLClient::ApplyLimits() {
    FReader.MaxLength = FrameLengthLimit();
    FReader.MaxAttachments = FrameAttachmentLimit();
    FReader.FileAllowance = FileAllowance.load();
}

void TXMLClient::DoReceive() {
    if (port::DataFile* file = FReader.DiskFileUnderWay()) {
        ReceiveToDiskFile(*file);
        return;
    }
    // On the reader's stack: an idle connection keeps no receive buffer of its own.
    char chunk[TqvSocket::ChunkSize];
    const int64_t got = Socket().Receive(chunk, sizeof chunk);
    if (got <= 0) {
        return;
    }
    ApplyLimits();
    const bool ok = FReader.Feed(chunk, static_cast<size_t>(got),
                                 [this](TFrame& frame) { ReceiveFrame(frame); });
    if (!ok) {
        LogText(FReader.ErrorText() + " from " + PeerAddress() + "; connection closed");
        Socket().Shutdown();
    }
}

void TXMLClient::ReceiveToDiskFile(port::DataFile& file) {
    const int64_t got = Socket().ReceiveToFile(file, FReader.FileRemaining());
    if (got < 0) {
        LogText("File from " + PeerAddress() + " not received (" + Socket().LastErrorText() +
                "); connection closed");
    }
    if (got > 0) {
        FReader.DiskFileReceived(got, [this](TFrame& frame) { ReceiveFrame(frame); });
    }
}

bool TXMLClient::LoadPacket(TFrame& frame) {
    TXMLUnicode& doc = FReceivePacket->Document;
    doc.MaxLoadNodes = MaxPacketNodes.load();
    doc.MaxLoadDepth = MaxPacketDepth.load();
    // Other load failures leave a partly read document, which the tolerant loader allows.
    if (doc.LoadFromString(frame.Xml) || doc.LastError().empty()) {
        return true;
    }
    LogText("Packet from " + PeerAddress() + " refused (" + doc.LastError() +
            "); connection closed");
    FReceivePacket->Clear();
    Socket().Shutdown();
    return false;
}

void TXMLClient::ReceiveFrame(TFrame& frame) {
    // Frames that were already buffered when the connection closed are not handled.
    if (!Connected()) {
        return;
    }
    TXMLPacket& packet = *FReceivePacket;
    packet.Clear();
    if (!LoadPacket(frame)) {
        return;
    }
    TXMLElement* root = packet.Document.Root();
    if (root) {
        packet.Type = root->AttributeByName("type").Value;
        packet.Subtype = root->AttributeByName("subtype").Value;
    }
    for (auto& attachment : frame.Attachments) {
        packet.Attachments.push_back(std::move(attachment));
    }
    packet.ReceivedFile = std::move(frame.File);
    packet.File = packet.ReceivedFile.get();
    packet.ReceivedDiskFile = std::move(frame.DiskFile);
    // The reader knows from the lengths whether a file followed, whatever "sc" claims.
    packet.HasFile = frame.HasFile;
    packet.Document.GotoRoot();
    IncBusy();
    try {
        TXMLPacketPtr reply = HandlePacket(packet);
        if (reply) {
            Send(std::move(reply));
        }
    } catch (...) {
        LogCaughtException("the handler of an XML packet");
    }
    DecBusy();
    // A packet handed to a waiting sender is no longer this connection's to clear.
    FReceivePacket->Clear();
    // A login handled just now widens what the frames after it may be.
    ApplyLimits();
}

TXMLPacketPtr TXMLClient::HandlePacket(TXMLPacket& packet) {
    {
        TLock lock(FWaitLock);
        if (FReplySlot && !FReplySet && (FWantedType.empty() || FWantedType == packet.Type)) {
            TXMLPacketPtr taken;
            if (&packet == FReceivePacket.get()) {
                // The waiting thread takes the received packet itself, not a copy of its
                // tree; the next frame gets a new one.
                taken = std::move(FReceivePacket);
                FReceivePacket = std::make_unique<TXMLPacket>();
            } else {
                taken = std::make_unique<TXMLPacket>();
                taken->Assign(packet);
            }
            taken->Document.GotoRoot();
            *FReplySlot = std::move(taken);
            FReplySet = true;
            FWaitChanged.NotifyAll();
            return nullptr;
        }
    }
    packet.Owner = this;
    TXMLPacketPtr reply;
    if (auto* server = dynamic_cast<TXMLServer*>(Server())) {
        reply = server->DispatchPacket(*this, packet);
    }
    if (OnPacket) {
        OnPacket(*this, packet, reply);
    }
    return reply;
}

void TXMLClient::DoDisconnected() {
    if (OnDisconnected) {
        OnDisconnected(*this);
    }
}

void TXMLClient::DoConnectFailed() {
    if (OnConnectFailed) {
        OnConnectFailed(*this);
    }
}

void TXMLClient::DoResolveFailed() {
    if (OnResolveFailed) {
        OnResolveFailed(*this);
    }
}

void TXMLClient::DoConnected() {
    if (OnConnected) {
        OnConnected(*this);
    }
}

void TXMLClient::DoKeepAlive() {
    Send(NewPacket("noop"));
}

void TXMLClient::DoReconnect() {
    if (OnReconnect) {
        OnReconnect(*this);
    }
}

void TXMLClient::DoStateChange() {
    if (OnStateChange) {
        OnStateChange(*this);
    }
}

void TXMLClient::DoResponseTimeout() {
    if (OnResponseTimeout) {
        OnResponseTimeout(*this);
    }
    // The reader sees the shut-down socket, ends and reports the loss once.
    Socket().Shutdown();
}

// ---------------------------------------------------------------------------------------------
// TXMLServer

TXMLServer::TXMLServer() {
    SetConnectionClass([] { return std::make_unique<TXMLClient>(); });
}

TXMLServer::~TXMLServer() {
    StopHousekeeping();
    StopListening();
}

TXMLPacketPtr TXMLServer::DispatchPacket(TXMLClient& client, TXMLPacket& packet) {
    TXMLPacketPtr reply;
    if (OnPacket) {
        OnPacket(client, packet, reply);
    }
    return reply;
}

bool TXMLServer::Broadcast(TXMLPacket& packet) {
    packet.File = nullptr;
    packet.DiskFile = nullptr;
    std::string frame;
    if (!PacketFrame(packet, frame)) {
        return false;
    }
    Writer().Queue(0, std::make_shared<TOutFrame>(std::move(frame), packet.CollapseKey));
    return true;
}

TXMLReservation TXMLServer::Reserve(TXMLClient& client) {
    TOutFramePtr frame = TOutFrame::Reserve();
    Writer().Queue(client.Id(), frame);
    return TXMLReservation(Writer(), std::move(frame));
}

void TXMLServer::DoTick() {
    TSocketServer::DoTick();
    if (OnTick) {
        OnTick(*this);
    }
}
