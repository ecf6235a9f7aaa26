#pragma once

// The reference Reelbank clip server: greets every connection with a challenge ("serverinfo",
// which also announces with "confirmstore" 1 that stored clips are confirmed), lets in a
// sender whose login digest matches the Reelbank secret, answers "rxprepare" (send the clip
// unless a clip of that GUID is stored already, or it would not fit) and stores each "rxclip"
// with its file through the clip store, answering it with "rxstored": "success" 1 once the
// clip's folder is committed and on the disk, else 0 with the reason in "message". A peer that has
// not logged in can send a login and nothing else, in frames no larger than a login needs, and is
// dropped when it has not logged in within the login time-out; the connection count is capped.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/kxXMLClientServer.h"
#include "tools/lmReelbankReceiver/lmReelbankStore.h"

// One sender's connection.
class TReelbankPeer final : public TXMLClient {
  public:
    explicit TReelbankPeer(TReelbankStore& store) : FStore(store) {}
    ~TReelbankPeer() override;

    // The challenge sent on accept; the login digest is made with it.
    std::string Challenge;
    std::atomic<bool> LoggedIn{false};
    // Milliseconds since the connection was accepted.
    uint32_t Age() const;

    // The temporary folder of the file that came with the packet being handled, if any.
    std::unique_ptr<TReelbankIncoming> TakeIncoming() { return std::move(FIncoming); }

    // The clip this sender was told to send, marked as arriving until it is stored, refused,
    // another is offered or the connection ends. Reader thread only.
    void HoldClaim(const TGUID& clip);
    void DropClaim();

  protected:
    void DoAccepted() override;
    // Until the login, a frame may hold a login and nothing bigger.
    int32_t FrameLengthLimit() const override;
    // Files only from a logged-in sender, and only as far as the disk holds them; they go
    // from the socket straight into the clip's temporary folder.
    std::unique_ptr<port::DataFile> CreateReceivedDiskFile(int64_t length) override;
    // Every file the disk file refused stays refused: none is kept anywhere else.
    std::unique_ptr<std::iostream> CreateReceivedFile(int64_t length) override;

  private:
    TReelbankStore& FStore;
    // Reader thread only: the file being received, and the packet that carries it.
    std::unique_ptr<TReelbankIncoming> FIncoming;
    std::optional<TGUID> FClaim;
    std::atomic<uint32_t> FAcceptedAt{0};
};

class TReelbankReceiver {
  public:
    static constexpr uint16_t DefaultPort = 9595;
    // A clip offered while the same clip is still arriving from another sender is answered
    // once that transfer has ended, or after this long (below the sender's reply time-out).
    static constexpr uint32_t ClaimWaitMs = 5000;
    // A wrong login is answered only after this pause.
    static constexpr int LoginFailurePauseMs = 2000;
    // Members so that tests can shorten them.
    std::atomic<uint32_t> LoginTimeout{10000};

    // An empty secret: the built-in Reelbank secret.
    explicit TReelbankReceiver(std::string storageFolder, std::string secret = std::string());
    // Stops listening; every connection closes and clips under way are dropped.
    ~TReelbankReceiver();
    TReelbankReceiver(const TReelbankReceiver&) = delete;
    TReelbankReceiver& operator=(const TReelbankReceiver&) = delete;

    // Opens the store and listens on the port (0: one the system picks). False with `error`.
    bool Start(uint16_t port, std::string& error);
    uint16_t ListeningPort() const { return FServer->ListeningPort(); }
    const std::string& StorageFolder() const { return FStore.Folder(); }

    // The digest a sender must send for this challenge.
    std::string ExpectedDigest(const std::string& challenge) const;

  private:
    void Greet(TReelbankPeer& peer);
    void PacketReceived(TReelbankPeer& peer, TXMLPacket& packet, TXMLPacketPtr& reply);
    TXMLPacketPtr Login(TReelbankPeer& peer, const TXMLPacket& packet);
    TXMLPacketPtr Prepare(TReelbankPeer& peer, const TXMLPacket& packet);
    // The "rxstored" answer.
    TXMLPacketPtr StoreClip(TReelbankPeer& peer, TXMLPacket& packet,
                            std::unique_ptr<TReelbankIncoming> incoming);
    // On the housekeeping thread, which holds the connection list.
    void DropLateLogins(TXMLServer& server);

    TReelbankStore FStore;
    const std::string FSecret;
    std::unique_ptr<TXMLServer> FServer;
};

// True when `bytes` hold a flipbook in its byte form (version 2, a 16-bit frame count, 48
// reserved bytes, then each frame as its 32-bit length and its bytes, nothing after); `frames`
// is then its frame count.
bool ParseFlipBook(const std::string& bytes, int& frames);
