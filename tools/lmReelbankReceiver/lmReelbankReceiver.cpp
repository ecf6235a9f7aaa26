#include "tools/lmReelbankReceiver/lmReelbankReceiver.h"

#include <charconv>
#include <chrono>
#include <sstream>
#include <thread>

#include "foundation/kxByteOrder.h"
#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "foundation/kxLoginDigest.h"
#include "port/port.h"

namespace {

constexpr std::string_view PNGSignature = "\x89PNG\r\n\x1a\n";

std::string ChildValue(const TXMLPacket& packet, const char* name) {
    const TXMLElement* root = packet.Document.Root();
    const TXMLElement* child = root ? root->FindChild(name) : nullptr;
    return child ? child->Text.Text : std::string();
}

// -1 when the text is not a decimal number.
int64_t ChildInt64(const TXMLPacket& packet, const char* name) {
    const std::string text = ChildValue(packet, name);
    int64_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

std::string StreamBytes(std::iostream& stream) {
    stream.clear();
    stream.seekg(0);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

// "clip" with every value the sender gave, in its order.
std::string MetadataDocument(const TXMLPacket& packet) {
    TXMLUnicode doc;
    doc.OpenElement("clip");
    const TXMLElement* root = packet.Document.Root();
    for (int i = 0; root && i < root->ChildCount(); ++i) {
        const TXMLElement* child = root->Children(i);
        doc.AddElement(child->Name, child->Text.Text);
    }
    doc.CloseElement();
    std::string bytes;
    doc.SaveToString(bytes);
    return bytes;
}

// The received file's name as a folder target would give it: the clip name with the output's
// extension.
std::string OutputName(const TXMLPacket& packet, const TReelbankClip& clip) {
    std::string name = ChildValue(packet, "filename");
    const std::string extension = ChildValue(packet, "ext");
    if (!extension.empty()) {
        if (const size_t dot = name.rfind('.'); dot != std::string::npos) {
            name.erase(dot);
        }
        name += "." + extension;
    }
    name = TReelbankStore::SafeFileName(name);
    for (const auto& extra : clip.Extras) {
        if (extra.first == name) {
            return "clip-" + name;
        }
    }
    return name;
}

struct TAttachmentCount {
    int Images = 0;
    int FlipBookFrames = -1;  // -1: no flipbook
};

// Images are told by their PNG signature, the flipbook by its byte form; anything else is
// kept as it came.
TAttachmentCount SortAttachments(TXMLPacket& packet, TReelbankClip& clip) {
    TAttachmentCount count;
    int index = 0;
    for (const auto& attachment : packet.Attachments) {
        ++index;
        std::string bytes = StreamBytes(*attachment);
        int frames = 0;
        std::string name;
        if (bytes.compare(0, PNGSignature.size(), PNGSignature) == 0) {
            ++count.Images;
            name = count.Images == 1 ? "thumbnail.png"
                                     : "image-" + std::to_string(count.Images) + ".png";
        } else if (count.FlipBookFrames < 0 && ParseFlipBook(bytes, frames)) {
            count.FlipBookFrames = frames;
            name = "flipbook.bin";
        } else {
            name = "attachment-" + std::to_string(index) + ".bin";
        }
        clip.Extras.emplace_back(name, std::move(bytes));
    }
    return count;
}

TXMLPacketPtr MessageReply(bool success, const std::string& message,
                           const std::string& subtype = std::string()) {
    TXMLPacketPtr reply = NewPacket("msg", subtype);
    reply->Document.AddBoolean("success", success);
    reply->Document.AddElement("message", message);
    return reply;
}

}  // namespace

bool ParseFlipBook(const std::string& bytes, int& frames) {
    constexpr size_t header = 51;
    if (bytes.size() < header || bytes[0] != 2) {
        return false;
    }
    const int count = static_cast<uint8_t>(bytes[1]) | (static_cast<uint8_t>(bytes[2]) << 8);
    if (bytes.find_first_not_of('\0', 3) < header) {
        return false;
    }
    size_t position = header;
    for (int i = 0; i < count; ++i) {
        if (bytes.size() - position < 4) {
            return false;
        }
        const uint32_t length = LoadLE32(bytes.data() + position);
        position += 4;
        if (bytes.size() - position < length) {
            return false;
        }
        position += length;
    }
    if (position != bytes.size()) {
        return false;
    }
    frames = count;
    return true;
}

// ---------------------------------------------------------------------------------------------
// TReelbankPeer

TReelbankPeer::~TReelbankPeer() {
    if (FIncoming) {
        LogText("Transfer from " + PeerAddress() + " broken off; the partial clip is removed");
    }
    FIncoming.reset();
    DropClaim();
}

void TReelbankPeer::HoldClaim(const TGUID& clip) {
    DropClaim();
    FClaim = clip;
}

void TReelbankPeer::DropClaim() {
    if (FClaim) {
        FStore.Unclaim(*FClaim);
        FClaim.reset();
    }
}

uint32_t TReelbankPeer::Age() const {
    return port::GetTickCount() - FAcceptedAt.load();
}

void TReelbankPeer::DoAccepted() {
    FAcceptedAt.store(port::GetTickCount());
}

int32_t TReelbankPeer::FrameLengthLimit() const {
    return LoggedIn.load() ? MaxFrameLength : LoginFrameLength;
}

std::unique_ptr<std::iostream> TReelbankPeer::CreateReceivedFile(int64_t /*length*/) {
    return nullptr;
}

std::unique_ptr<port::DataFile> TReelbankPeer::CreateReceivedDiskFile(int64_t length) {
    // A file left by a packet that was not a clip goes first.
    FIncoming.reset();
    if (!LoggedIn.load()) {
        return nullptr;
    }
    std::string why;
    FIncoming = FStore.Begin(length, why);
    if (!FIncoming) {
        LogText("File from " + PeerAddress() + " refused: " + why);
        return nullptr;
    }
    auto file = std::make_unique<port::DataFile>();
    if (!file->Create(FIncoming->FilePath())) {
        LogText("File from " + PeerAddress() + " refused: cannot create " + FIncoming->FilePath() +
                " (" + port::LastErrorText() + ")");
        FIncoming.reset();
        return nullptr;
    }
    // Taking the room at once lays the file out in one piece and leaves no write to fail for
    // want of space half way.
    bool allocated = false;
    if (!file->Reserve(length, allocated)) {
        LogText("File from " + PeerAddress() + " refused: cannot allocate " +
                std::to_string(length) + " bytes (" + port::LastErrorText() + ")");
        FIncoming.reset();
        return nullptr;
    }
    if (allocated) {
        FIncoming->RoomAllocated();
    }
    return file;
}

// ---------------------------------------------------------------------------------------------
// TReelbankReceiver

TReelbankReceiver::TReelbankReceiver(std::string storageFolder, std::string secret)
    : FStore(std::move(storageFolder)),
      FSecret(secret.empty() ? ReelbankSecret() : std::move(secret)),
      FServer(std::make_unique<TXMLServer>()) {
    FServer->SetConnectionClass([this] { return std::make_unique<TReelbankPeer>(FStore); });
    FServer->OnConnect = [this](TSocketServer&, TSocketClient& client) {
        Greet(static_cast<TReelbankPeer&>(client));
    };
    FServer->OnPacket = [this](TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
        if (auto* peer = dynamic_cast<TReelbankPeer*>(&client)) {
            PacketReceived(*peer, packet, reply);
        }
    };
    FServer->OnTick = [this](TXMLServer& server) { DropLateLogins(server); };
}

TReelbankReceiver::~TReelbankReceiver() {
    FServer.reset();
}

bool TReelbankReceiver::Start(uint16_t port, std::string& error) {
    if (!FStore.Open(error)) {
        return false;
    }
    FServer->Port = port;
    if (!FServer->Start()) {
        error = FServer->ErrorText();
        return false;
    }
    return true;
}

std::string TReelbankReceiver::ExpectedDigest(const std::string& challenge) const {
    return LoginDigest(FSecret, challenge);
}

void TReelbankReceiver::Greet(TReelbankPeer& peer) {
    peer.Challenge = GUIDToString(NewGUID());
    TXMLPacketPtr greeting = NewPacket("serverinfo");
    greeting->Document.AddElement("uid", peer.Challenge);
    greeting->Document.AddElement("name", "lmReelbankReceiver");
    // Senders that know it wait for "rxstored" after the clip; others are not affected.
    greeting->Document.AddBoolean("confirmstore", true);
    peer.Send(std::move(greeting));
}

void TReelbankReceiver::PacketReceived(TReelbankPeer& peer, TXMLPacket& packet,
                                       TXMLPacketPtr& reply) {
    // A file goes with the packet it came with: stored with a clip, dropped with anything else.
    std::unique_ptr<TReelbankIncoming> incoming = peer.TakeIncoming();
    if (packet.Type == "login") {
        reply = Login(peer, packet);
        return;
    }
    if (!peer.LoggedIn.load()) {
        LogText("Packet \"" + packet.Type + "\" before the login from " + peer.PeerAddress() +
                "; connection closed");
        peer.Disconnect();
        return;
    }
    if (packet.Type == "rxprepare") {
        reply = Prepare(peer, packet);
    } else if (packet.Type == "rxclip") {
        reply = StoreClip(peer, packet, std::move(incoming));
    }
}

TXMLPacketPtr TReelbankReceiver::Login(TReelbankPeer& peer, const TXMLPacket& packet) {
    if (packet.Subtype != ExpectedDigest(peer.Challenge)) {
        LogText("Login refused from " + peer.PeerAddress());
        // Slows down guessing; the connection stays open for another try.
        std::this_thread::sleep_for(std::chrono::milliseconds(LoginFailurePauseMs));
        return MessageReply(false, "Handshake failed.");
    }
    peer.LoggedIn.store(true);
    peer.FileAllowance.store(FStore.Available());
    // A sender that has logged in is about to send a clip's file.
    peer.Socket().SetReceiveBufferSize(TqvSocket::TransferReceiveBufferSize);
    return MessageReply(true, std::string(), "login");
}

TXMLPacketPtr TReelbankReceiver::Prepare(TReelbankPeer& peer, const TXMLPacket& packet) {
    const std::string text = ChildValue(packet, "clipguid");
    const std::string from = peer.PeerAddress();
    bool send = false;
    bool stored = false;
    TGUID uid;
    // An earlier offer on this connection is given up.
    peer.DropClaim();
    if (!StringToGUID(text, uid)) {
        LogText("Clip offer from " + from + " refused: \"" + text + "\" is no GUID");
    } else if (!FStore.Claim(uid, ClaimWaitMs)) {
        LogText("Clip " + text + " offered by " + from +
                " refused: it is still arriving from another sender");
    } else if (FStore.Contains(uid)) {
        FStore.Unclaim(uid);
        stored = true;
        LogText("Clip " + text + " offered by " + from + " is stored already");
    } else {
        const int64_t size = ChildInt64(packet, "filesize");
        const int64_t available = FStore.Available();
        if (size > available) {
            FStore.Unclaim(uid);
            LogText("Clip " + text + " from " + from + " refused: its " + std::to_string(size) +
                    " bytes do not fit (" + std::to_string(available) + " bytes free)");
        } else {
            peer.HoldClaim(uid);
            send = true;
        }
    }
    peer.FileAllowance.store(FStore.Available());
    TXMLPacketPtr result = NewPacket("rxresult");
    result->Document.AddBoolean("sendclip", send);
    result->Document.AddBoolean("result", stored);
    return result;
}

TXMLPacketPtr TReelbankReceiver::StoreClip(TReelbankPeer& peer, TXMLPacket& packet,
                                           std::unique_ptr<TReelbankIncoming> incoming) {
    const std::string text = ChildValue(packet, "clipguid");
    const std::string from = peer.PeerAddress();
    // Stored or not, the clip is no longer arriving once this ends.
    struct TClaimEnd {
        TReelbankPeer& Peer;
        ~TClaimEnd() { Peer.DropClaim(); }
    } claimEnd{peer};
    auto answer = [&](bool stored, const std::string& why) {
        TXMLPacketPtr reply = NewPacket("rxstored");
        reply->Document.AddElement("clipguid", text);
        reply->Document.AddBoolean("success", stored);
        reply->Document.AddElement("message", why);
        return reply;
    };
    auto refuse = [&](const std::string& why) {
        LogText("Clip " + text + " from " + from + " not stored: " + why);
        return answer(false, why);
    };
    TReelbankClip clip;
    if (!StringToGUID(text, clip.Uid)) {
        return refuse("\"" + text + "\" is no GUID");
    }
    if (!incoming) {
        return refuse("no file came with it");
    }
    // Closes the received file, which is complete on the disk.
    packet.File = nullptr;
    packet.ReceivedFile.reset();
    packet.ReceivedDiskFile.reset();
    const TAttachmentCount count = SortAttachments(packet, clip);
    clip.FileName = OutputName(packet, clip);
    clip.MetadataXml = MetadataDocument(packet);
    const int64_t size = port::FileSize(incoming->FilePath());
    std::string error;
    if (!FStore.Commit(*incoming, clip, error)) {
        return refuse(error);
    }
    LogText("Stored clip " + GUIDToString(clip.Uid) + " from " + from + ": " + clip.FileName +
            " (" + std::to_string(size) + " bytes, " + std::to_string(count.Images) + " images, " +
            (count.FlipBookFrames < 0
                 ? std::string("no flipbook")
                 : "flipbook of " + std::to_string(count.FlipBookFrames) + " frames") +
            ")");
    return answer(true, std::string());
}

void TReelbankReceiver::DropLateLogins(TXMLServer& server) {
    const uint32_t limit = LoginTimeout.load();
    for (int i = 0; i < server.Count(); ++i) {
        auto* peer = dynamic_cast<TReelbankPeer*>(server.Connection(i));
        if (peer && !peer->LoggedIn.load() && !peer->Closing() && peer->Age() > limit) {
            LogText("Sender " + peer->PeerAddress() + " did not log in within " +
                    std::to_string(limit) + " ms; connection closed");
            peer->Disconnect();
        }
    }
}
