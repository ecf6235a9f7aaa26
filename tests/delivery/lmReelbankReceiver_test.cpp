// The reference Reelbank receiver against senders that misbehave: wrong logins, anything but
// a login before it, frames too big for a login, peers that never log in, offers and files that
// would not fit, and a file cut off in the middle; and its store on file systems that cannot
// rename a folder without replacing. Raw connections speak the frame layout themselves.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "foundation/kxLoginDigest.h"
#include "foundation/kxSocketFrames.h"
#include "foundation/kxXMLClientServer.h"
#include "ingest/IngestTestFolder.h"
#include "port/port.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestSockets.h"
#include "support/TestWait.h"
#include "tools/lmReelbankReceiver/lmReelbankReceiver.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

std::string PacketXml(const std::string& type, const std::string& subtype,
                      const std::vector<std::pair<std::string, std::string>>& children,
                      bool withFile = false) {
    TXMLPacketPtr packet = NewPacket(type, subtype);
    for (const auto& [name, value] : children)
        packet->Document.AddElement(name, value);
    packet->Document.CloseElement();
    if (withFile) {
        packet->Document.GotoRoot();
        packet->Document.AddAttribute("sc", "1");
    }
    std::string xml;
    packet->Document.SaveToString(xml);
    return xml;
}

bool SendPacket(TqvSocket& socket, const std::string& type, const std::string& subtype = "",
                const std::vector<std::pair<std::string, std::string>>& children = {}) {
    return WriteFrame(socket, PacketXml(type, subtype, children), {}, nullptr);
}

// The next packet from the receiver (type, subtype, the document), read through the frame
// reader; empty type when none came.
struct TReceived {
    std::string Type;
    std::string Subtype;
    std::string Xml;
    std::string Child(const char* name) const {
        TXMLUnicode doc;
        doc.LoadFromString(Xml);
        const TXMLElement* child = doc.Root() ? doc.Root()->FindChild(name) : nullptr;
        return child ? child->Text.Text : std::string();
    }
};

class TRawSender {
  public:
    explicit TRawSender(uint16_t port) : FSocket(RawConnection(port)) {
        EXPECT_TRUE(FSocket) << "no connection";
    }
    TqvSocket& Socket() { return *FSocket; }

    TReceived Next() {
        TReceived received;
        for (int i = 0; i < 100 && received.Type.empty(); ++i) {
            if (FSocket->WaitReadable(100) != 1)
                continue;
            char buffer[65536];
            const int64_t got = FSocket->Receive(buffer, sizeof buffer);
            if (got <= 0)
                break;
            FReader.Feed(buffer, static_cast<size_t>(got), [&](TFrame& frame) {
                TXMLUnicode doc;
                doc.LoadFromString(frame.Xml);
                received.Xml = frame.Xml;
                received.Type = doc.Root()->AttributeByName("type").Value;
                received.Subtype = doc.Root()->AttributeByName("subtype").Value;
            });
        }
        return received;
    }

    // Reads the challenge and logs in with the digest made from it.
    bool LogIn() {
        const TReceived greeting = Next();
        const std::string digest = LoginDigest(ReelbankSecret(), greeting.Child("uid"));
        return SendPacket(*FSocket, "login", digest, {{"type", "vidmill"}}) &&
               Next().Subtype == "login";
    }

    // An "rxclip" frame announcing a file of `fileLength` bytes, followed by `sent` of them.
    bool SendClipStart(const std::string& guid, int64_t fileLength, size_t sent) {
        const std::string xml =
            PacketXml("rxclip", "", {{"clipguid", guid}, {"filename", "cut"}}, true);
        std::string bytes = FrameHeader(static_cast<int32_t>(8 + xml.size() + 8),
                                        static_cast<int32_t>(xml.size()), -1);
        bytes += xml;
        for (int i = 0; i < 8; ++i)
            bytes.push_back(
                static_cast<char>((static_cast<uint64_t>(fileLength) >> (8 * i)) & 0xFF));
        bytes += std::string(sent, 'f');
        return FSocket->Send(bytes.data(), bytes.size());
    }

  private:
    std::unique_ptr<TqvSocket> FSocket;
    TFrameReader FReader;
};

class ReelbankReceiver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LogOpen(Work / "logs/", "receiver", "v1", 31, false));
        std::string error;
        ASSERT_TRUE(Receiver.Start(0, error)) << error;
    }
    void TearDown() override { LogClose(); }

    std::vector<std::string> StorageEntries() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Work / "storage"))
            names.push_back(entry.path().filename().string());
        return names;
    }
    std::string Log() {
        LogClose();
        std::string text;
        for (const auto& entry : fs::directory_iterator(Work / "logs/"))
            text += ReadFile(entry.path().string());
        LogOpen(Work / "logs/", "receiver", "v1", 31, false);
        return text;
    }

    TTestFolder Work;
    TReelbankReceiver Receiver{Work / "storage"};
};

TEST_F(ReelbankReceiver, WrongLoginIsAnsweredWithoutSubtypeAndARightOneLetsTheSenderIn) {
    TRawSender sender(Receiver.ListeningPort());
    const TReceived greeting = sender.Next();
    EXPECT_EQ(greeting.Type, "serverinfo");
    // Senders that know it wait for "rxstored" after a clip.
    EXPECT_EQ(greeting.Child("confirmstore"), "1");
    TGUID challenge;
    EXPECT_TRUE(StringToGUID(greeting.Child("uid"), challenge)) << greeting.Xml;

    ASSERT_TRUE(SendPacket(sender.Socket(), "login", LoginDigest("wrong", greeting.Child("uid"))));
    const TReceived refused = sender.Next();
    EXPECT_EQ(refused.Type, "msg");
    EXPECT_EQ(refused.Subtype, "");
    EXPECT_EQ(refused.Child("success"), "0");

    ASSERT_TRUE(
        SendPacket(sender.Socket(), "login", LoginDigest(ReelbankSecret(), greeting.Child("uid"))));
    const TReceived accepted = sender.Next();
    EXPECT_EQ(accepted.Subtype, "login");
    EXPECT_EQ(accepted.Child("success"), "1");

    // Logged in, an offer is answered.
    const std::string guid = GUIDToString(NewGUID());
    ASSERT_TRUE(SendPacket(sender.Socket(), "rxprepare", "", {{"clipguid", guid}}));
    const TReceived decision = sender.Next();
    EXPECT_EQ(decision.Type, "rxresult");
    EXPECT_EQ(decision.Child("sendclip"), "1");
}

// Before the login a peer may send a login and nothing else, in a frame no bigger than one,
// and must log in in time: anything else closes the connection.
TEST_F(ReelbankReceiver, PeersThatHaveNotLoggedInAreCutOff) {
    Receiver.LoginTimeout = 300;
    const std::string offer = PacketXml("rxprepare", "", {{"clipguid", GUIDToString(NewGUID())}});
    struct Case {
        const char* Name;
        std::string Bytes;
    };
    const Case cases[] = {
        {"offer before login",
         [&] {
             std::string bytes = FrameHeader(static_cast<int32_t>(8 + offer.size()),
                                             static_cast<int32_t>(offer.size()), 0);
             return bytes + offer;
         }()},
        {"frame too big for a login", FrameHeader(1 << 20, 100, 0)},
        {"file before login", FrameHeader(8 + 10 + 8, 10, -1)},
        {"silence", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TRawSender sender(Receiver.ListeningPort());
        if (!c.Bytes.empty()) {
            ASSERT_TRUE(sender.Socket().Send(c.Bytes.data(), c.Bytes.size()));
        }
        EXPECT_TRUE(ClosedByServer(sender.Socket()));
    }
    EXPECT_NE(Log().find("did not log in within 300 ms"), std::string::npos);
}

TEST_F(ReelbankReceiver, WhatWouldNotFitIsRefusedAndACutFileLeavesNothing) {
    const std::string guid = GUIDToString(NewGUID());
    {
        TRawSender sender(Receiver.ListeningPort());
        ASSERT_TRUE(sender.LogIn());
        ASSERT_TRUE(SendPacket(sender.Socket(), "rxprepare", "",
                               {{"clipguid", guid}, {"filesize", std::to_string(1ll << 60)}}));
        const TReceived decision = sender.Next();
        EXPECT_EQ(decision.Child("sendclip"), "0");
        EXPECT_EQ(decision.Child("result"), "0");
        // Sent anyway: the receiver stops at the announced length.
        ASSERT_TRUE(sender.SendClipStart(guid, 1ll << 60, 1000));
        EXPECT_TRUE(ClosedByServer(sender.Socket()));
    }
    {
        TRawSender sender(Receiver.ListeningPort());
        ASSERT_TRUE(sender.LogIn());
        ASSERT_TRUE(sender.SendClipStart(guid, 4 << 20, 1 << 20));
        EXPECT_TRUE(WaitFor([&] { return !StorageEntries().empty(); }));
    }
    // The sender went with half its file sent.
    EXPECT_TRUE(WaitFor([&] { return StorageEntries().empty(); }))
        << ::testing::PrintToString(StorageEntries());
    const std::string log = Log();
    EXPECT_NE(log.find("do not fit"), std::string::npos) << log;
    EXPECT_NE(log.find("broken off"), std::string::npos) << log;
}

TEST_F(ReelbankReceiver, FlipbookByteFormIsCheckedWhole) {
    std::string book(51, '\0');
    book[0] = 2;
    book[1] = 1;
    book += std::string("\x03\x00\x00\x00", 4) + "abc";
    int frames = 0;
    EXPECT_TRUE(ParseFlipBook(book, frames));
    EXPECT_EQ(frames, 1);
    EXPECT_FALSE(ParseFlipBook(book + "x", frames));
    EXPECT_FALSE(ParseFlipBook(book.substr(0, book.size() - 1), frames));
    std::string wrongVersion = book;
    wrongVersion[0] = 1;
    EXPECT_FALSE(ParseFlipBook(wrongVersion, frames));
}

}  // namespace

// Where the store refuses a rename that keeps an existing folder (NFS, some FUSE stores), the
// clip folder is claimed by creating it and filled file by file, "metadata.xml" last: a clip
// still arrives whole, a second one of the same GUID never replaces it, and a folder a crash
// left without "metadata.xml" is no clip and goes at the next start.
TEST_F(ReelbankReceiver, ClipsAreStoredWhereFoldersCannotBeRenamedWithoutReplacing) {
    port::RefuseNoReplaceRenameForTesting(true);
    struct TRestore {
        ~TRestore() { port::RefuseNoReplaceRenameForTesting(false); }
    } restore;
    TVmTaskList list;
    TTaskItem task(&list, true);
    TMetaItems meta;
    meta.SetText("filename", "Morning show");
    meta.SetText("ext", "avi");
    const std::string output = Work / "output";
    WriteFile(output, std::string(300000, 'm'));
    auto target = std::make_shared<TVmTarget>(true);
    target->SetType(TVmTarget::ReelbankType);
    target->SetHost("127.0.0.1");
    target->SetPort(Receiver.ListeningPort());
    ASSERT_TRUE(target->Deliver(output, task, meta)) << target->LastError() << Log();
    const std::string guid = GUIDToString(task.ClipUid());
    const fs::path clip = fs::path(Work / "storage") / guid;
    EXPECT_EQ(ReadFile((clip / "Morning show.avi").string()), std::string(300000, 'm'));
    EXPECT_TRUE(Exists((clip / "metadata.xml").string()));
    EXPECT_EQ(StorageEntries(), std::vector<std::string>{guid});

    // A second clip of that GUID (another receiver on the same store, say) is refused.
    TReelbankStore store(Work / "storage");
    std::string why;
    std::unique_ptr<TReelbankIncoming> second = store.Begin(3, why);
    ASSERT_TRUE(second) << why;
    WriteFile(second->FilePath(), "new");
    TReelbankClip again{task.ClipUid(), "Morning show.avi", "<clip/>", {}};
    std::string error;
    EXPECT_FALSE(store.Commit(*second, again, error));
    EXPECT_EQ(error, "a clip of that GUID is stored already");
    second.reset();
    EXPECT_EQ(ReadFile((clip / "Morning show.avi").string()), std::string(300000, 'm'));
    EXPECT_EQ(StorageEntries(), std::vector<std::string>{guid});

    // A commit cut off half way: the folder is there, its metadata is not.
    const TGUID cut = NewGUID();
    const fs::path cutFolder = fs::path(Work / "storage") / GUIDToString(cut);
    fs::create_directories(cutFolder);
    WriteFile((cutFolder / "Cut.avi").string(), "part");
    EXPECT_FALSE(store.Contains(cut));
    EXPECT_TRUE(store.Contains(task.ClipUid()));
    TReelbankStore restarted(Work / "storage");
    ASSERT_TRUE(restarted.Open(error)) << error;
    EXPECT_EQ(StorageEntries(), std::vector<std::string>{guid});
}

// The room of a file under way is taken on the disk at once; the disk's free space then
// counts it, so the receiver must not count it a second time against later offers.
TEST_F(ReelbankReceiver, AFileUnderWayCountsOnceAgainstTheRoomLeft) {
    constexpr int64_t length = int64_t{1} << 30;
    TReelbankStore fresh(Work / "storage");
    if (fresh.Available() < 4 * length) {
        GTEST_SKIP() << "too little free disk for the test";
    }
    TRawSender sending(Receiver.ListeningPort());
    ASSERT_TRUE(sending.LogIn());
    ASSERT_TRUE(sending.SendClipStart(GUIDToString(NewGUID()), length, 1 << 20));
    std::string partFile;
    ASSERT_TRUE(WaitFor([&] {
        for (const std::string& name : StorageEntries()) {
            const fs::path path = fs::path(Work / "storage") / name / TReelbankIncoming::FileName;
            if (port::FileSize(path.string()) > 0) {
                partFile = path.string();
            }
        }
        return !partFile.empty();
    }));
    struct stat info {};
    ASSERT_EQ(stat(partFile.c_str(), &info), 0);
    if (static_cast<int64_t>(info.st_blocks) * 512 < length) {
        GTEST_SKIP() << "the file system allocates no room ahead";
    }
    // Half the file's length short of the disk's free room fits once, not twice, counted.
    TRawSender offering(Receiver.ListeningPort());
    ASSERT_TRUE(offering.LogIn());
    const int64_t offered = fresh.Available() - length / 2;
    ASSERT_TRUE(
        SendPacket(offering.Socket(), "rxprepare", "",
                   {{"clipguid", GUIDToString(NewGUID())}, {"filesize", std::to_string(offered)}}));
    EXPECT_EQ(offering.Next().Child("sendclip"), "1") << Log();
}
