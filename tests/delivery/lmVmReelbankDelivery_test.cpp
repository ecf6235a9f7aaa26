// Reelbank targets: a clip sent whole to the reference receiver and offered again, the frame a
// clip goes in, every failure of the exchange against scripted peers with its last error and
// log line, the store confirmation and the end of the exchange with servers that do not
// confirm, the rate floor, cancel in the middle of the file, a receiver killed mid-transfer,
// and a target's own secret.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "foundation/kxLoginDigest.h"
#include "foundation/kxSocketFrames.h"
#include "foundation/kxXMLClientServer.h"
#include "ingest/IngestTestFolder.h"
#include "server/delivery/lmVmReelbankDelivery.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/lmVmSource.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmPNGImage.h"
#include "support/TestReelbank.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

std::string ChildText(const TXMLElement* element, const char* name) {
    const TXMLElement* child = element ? element->FindChild(name) : nullptr;
    return child ? child->Text.Text : std::string();
}

// One frame as a scripted peer read it.
struct TSeenFrame {
    std::string Type;
    std::string Subtype;
    std::string Xml;
    int32_t AttachmentCount = 0;
    std::vector<std::string> Attachments;
    bool HasFile = false;
    int64_t FileLength = 0;
    int64_t FileBytesRead = 0;
};

// A Reelbank server that follows a script, on a raw socket: it reads the frame layout byte by
// byte and answers with hand-made packets. One connection at a time.
class TScriptedReelbank {
  public:
    enum class TScript {
        Silent,               // accepts and never sends
        LoginWithoutSubtype,  // answers the login as a refused one
        NoResult,             // logs in, then sends anything but "rxresult"
        Refuse,               // "sendclip" 0, "result" 0
        AlreadyThere,         // "sendclip" 0, "result" 1
        WantClip,             // "sendclip" 1, reads the clip and its file
        Trickle,              // "sendclip" 1, then reads a few bytes of the file every 25 s
        // These announce that they confirm stored clips, and after the whole file:
        ConfirmStored,   // answer "rxstored" with "success" 1
        ConfirmRefused,  // answer "rxstored" with "success" 0, "message" "disk full"
        ConfirmCloses,   // close the connection without an answer
        ConfirmNever,    // keep the connection open without an answer
    };
    static constexpr const char* Challenge = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";

    explicit TScriptedReelbank(TScript script) : FScript(script) {
        EXPECT_TRUE(FListener.Open() && FListener.Bind(0) && FListener.ListenOn());
        FThread = std::thread([this] { Serve(); });
    }
    ~TScriptedReelbank() {
        FEnding = true;
        FListener.Shutdown();
        {
            std::lock_guard lock(FLock);
            if (FConnection)
                FConnection->Shutdown();
        }
        FThread.join();
    }

    uint16_t Port() const { return FListener.LocalPort(); }
    std::vector<TSeenFrame> Seen() {
        std::lock_guard lock(FLock);
        return FSeen;
    }
    bool SawType(const std::string& type) {
        for (const TSeenFrame& frame : Seen())
            if (frame.Type == type)
                return true;
        return false;
    }

  private:
    void Serve() {
        while (!FEnding) {
            std::unique_ptr<TqvSocket> accepted = FListener.Accept();
            if (!accepted)
                return;
            {
                std::lock_guard lock(FLock);
                FConnection = std::move(accepted);
            }
            Converse(*FConnection);
            std::lock_guard lock(FLock);
            FConnection->Close();
            FConnection.reset();
        }
    }

    bool Confirms() const {
        return FScript == TScript::ConfirmStored || FScript == TScript::ConfirmRefused ||
               FScript == TScript::ConfirmCloses || FScript == TScript::ConfirmNever;
    }

    void Converse(TqvSocket& socket) {
        if (Confirms())
            Reply(socket, "serverinfo", "", {{"uid", Challenge}, {"confirmstore", "1"}});
        else if (FScript != TScript::Silent)
            Reply(socket, "serverinfo", "", {{"uid", Challenge}});
        TSeenFrame frame;
        while (ReadFrame(socket, frame)) {
            if (frame.Type == "rxclip" && FScript == TScript::ConfirmStored)
                Reply(socket, "rxstored", "", {{"success", "1"}, {"message", ""}});
            else if (frame.Type == "rxclip" && FScript == TScript::ConfirmRefused)
                Reply(socket, "rxstored", "", {{"success", "0"}, {"message", "disk full"}});
            else if (frame.Type == "rxclip" && FScript == TScript::ConfirmCloses)
                return;
            else if (frame.Type == "login" && FScript == TScript::LoginWithoutSubtype)
                Reply(socket, "msg", "", {{"success", "0"}, {"message", "Handshake failed."}});
            else if (frame.Type == "login" && FScript != TScript::Silent)
                Reply(socket, "msg", "login", {{"success", "1"}, {"message", ""}});
            else if (frame.Type == "rxprepare")
                Decide(socket);
        }
    }

    void Decide(TqvSocket& socket) {
        switch (FScript) {
            case TScript::NoResult:
                Reply(socket, "serverstate", "", {{"queued", "0"}});
                break;
            case TScript::Refuse:
                Reply(socket, "rxresult", "", {{"sendclip", "0"}, {"result", "0"}});
                break;
            case TScript::AlreadyThere:
                Reply(socket, "rxresult", "", {{"sendclip", "0"}, {"result", "1"}});
                break;
            case TScript::Silent:
            case TScript::LoginWithoutSubtype:
                break;
            default:
                Reply(socket, "rxresult", "", {{"sendclip", "1"}, {"result", "0"}});
                break;
        }
    }

    static void Reply(TqvSocket& socket, const std::string& type, const std::string& subtype,
                      const std::vector<std::pair<std::string, std::string>>& children) {
        TXMLPacketPtr packet = NewPacket(type, subtype);
        for (const auto& [name, value] : children)
            packet->Document.AddElement(name, value);
        packet->Document.CloseElement();
        std::string xml;
        packet->Document.SaveToString(xml);
        WriteFrame(socket, xml, {}, nullptr);
    }

    static bool ReadExactly(TqvSocket& socket, char* into, size_t size) {
        while (size > 0) {
            const int64_t got = socket.Receive(into, size);
            if (got <= 0)
                return false;
            into += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    static int32_t Int32At(const std::string& bytes, size_t at) {
        uint32_t value = 0;
        for (int b = 3; b >= 0; --b)
            value = value * 256 + static_cast<uint8_t>(bytes[at + b]);
        return static_cast<int32_t>(value);
    }

    // Reads one frame and records it; a file is read to its end unless the script stalls.
    bool ReadFrame(TqvSocket& socket, TSeenFrame& frame) {
        std::string length(4, '\0');
        if (!ReadExactly(socket, length.data(), 4))
            return false;
        const int32_t l = Int32At(length, 0);
        if (l < 8 || l > (1 << 24))
            return false;
        std::string body(static_cast<size_t>(l), '\0');
        if (!ReadExactly(socket, body.data(), body.size()))
            return false;
        frame = TSeenFrame();
        const int32_t x = Int32At(body, 0);
        frame.AttachmentCount = Int32At(body, 4);
        frame.Xml = body.substr(8, static_cast<size_t>(x));
        size_t at = 8 + static_cast<size_t>(x);
        for (int32_t i = 0; i < frame.AttachmentCount; ++i) {
            const int32_t size = Int32At(body, at);
            frame.Attachments.push_back(body.substr(at + 4, static_cast<size_t>(size)));
            at += 4 + static_cast<size_t>(size);
        }
        TXMLUnicode doc;
        doc.LoadFromString(frame.Xml);
        if (doc.Root()) {
            frame.Type = doc.Root()->AttributeByName("type").Value;
            frame.Subtype = doc.Root()->AttributeByName("subtype").Value;
        }
        if (body.size() - at == 8) {
            frame.HasFile = true;
            frame.FileLength = static_cast<uint32_t>(Int32At(body, at)) +
                               (static_cast<int64_t>(Int32At(body, at + 4)) << 32);
        }
        Record(frame);
        if (frame.HasFile && FScript == TScript::Trickle) {
            Trickle(socket);
            return false;
        }
        std::vector<char> chunk(65536);
        while (frame.FileBytesRead < frame.FileLength) {
            const int64_t want = std::min<int64_t>(65536, frame.FileLength - frame.FileBytesRead);
            if (!ReadExactly(socket, chunk.data(), static_cast<size_t>(want)))
                return false;
            frame.FileBytesRead += want;
            std::lock_guard lock(FLock);
            FSeen.back().FileBytesRead = frame.FileBytesRead;
        }
        return true;
    }

    // A receiver that takes 16 bytes every 25 s until the sender goes.
    void Trickle(TqvSocket& socket) {
        char bytes[16];
        while (!FEnding) {
            for (int i = 0; i < 500 && !FEnding; ++i)
                std::this_thread::sleep_for(50ms);
            if (FEnding || socket.Receive(bytes, sizeof bytes) <= 0)
                return;
        }
    }

    void Record(const TSeenFrame& frame) {
        std::lock_guard lock(FLock);
        FSeen.push_back(frame);
    }

    const TScript FScript;
    TqvSocket FListener;
    std::thread FThread;
    std::atomic<bool> FEnding{false};
    std::mutex FLock;
    std::unique_ptr<TqvSocket> FConnection;
    std::vector<TSeenFrame> FSeen;
};

// A small real PNG: the thumbnail the store carries.
std::vector<uint8_t> SmallPNG(uint8_t shade) {
    std::vector<uint8_t> pixels(8 * 6 * 4, shade);
    std::vector<uint8_t> png;
    EXPECT_TRUE(EncodePNGStream(pixels.data(), 8, true, 6, png));
    return png;
}

class ReelbankDelivery : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(LogOpen(Work / "logs/", "delivery", "v1", 31, false));
        FillMeta(Meta);
    }
    static void FillMeta(TMetaItems& meta) {
        meta.SetText("filename", "Evening promo.lvf");
        meta.SetText("ext", "avi");
        meta.SetText("codec", "LMVC");
        meta.SetInteger("duration", 125);
        meta.SetBoolean("loop", true);
    }
    void TearDown() override { LogClose(); }

    std::shared_ptr<TVmTarget> MakeTarget(uint16_t port) {
        auto target = std::make_shared<TVmTarget>(true);
        target->SetName("Reelbank");
        target->SetType(TVmTarget::ReelbankType);
        target->SetHost("127.0.0.1");
        target->SetPort(port);
        return target;
    }

    // An output file of `size` bytes of a pattern that shows any byte out of place.
    std::string MakeOutput(size_t size) {
        std::string bytes(size, '\0');
        uint32_t state = 12345;
        for (char& byte : bytes) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<char>(state >> 23);
        }
        const std::string path = Work / "processing/{output}";
        WriteFile(path, bytes);
        return path;
    }

    // A sparse output of `size` bytes: large without costing the disk.
    std::string MakeSparseOutput(uintmax_t size) {
        const std::string path = Work / "processing/{sparse}";
        WriteFile(path, "");
        fs::resize_file(path, size);
        return path;
    }

    static void AddPreviews(TMetaItems& meta, int flipFrames) {
        meta.Streams().push_back(SmallPNG(0x40));
        for (int i = 0; i < flipFrames; ++i)
            ASSERT_TRUE(meta.FlipBook()->AddFrame(SmallPNG(static_cast<uint8_t>(0x80 + i))));
    }

    std::string Log() {
        LogClose();
        std::string text;
        for (const auto& entry : fs::directory_iterator(Work / "logs/"))
            text += ReadFile(entry.path().string());
        LogOpen(Work / "logs/", "delivery", "v1", 31, false);
        return text;
    }

    std::string ClipGuid() const { return GUIDToString(Task.ClipUid()); }

    TTestFolder Work;
    TVmTaskList List;
    TTaskItem Task{&List, true};
    TMetaItems Meta;
};

TEST_F(ReelbankDelivery, ClipArrivesWholeAtTheReceiverAndASecondOfferCountsAsThere) {
    TReelbankReceiverProcess receiver(Work / "receiver");
    auto source = std::make_shared<TVmSource>(nullptr, true);
    auto project = std::make_shared<TVmProject>(nullptr, true);
    project->SetName("Spring campaign");
    source->SetProject(project);
    Task.SetSource(source);
    AddPreviews(Meta, 3);
    const std::string output = MakeOutput(3 * 1024 * 1024 + 17);
    auto target = MakeTarget(receiver.Port());

    ASSERT_TRUE(target->Deliver(output, Task, Meta)) << target->LastError() << Log();
    EXPECT_EQ(target->LastError(), "");
    // The receiver confirms a clip once it is stored: it is there when the delivery returns.
    const fs::path clip = receiver.ClipFolder(ClipGuid());
    ASSERT_TRUE(fs::exists(clip)) << receiver.LogText();
    EXPECT_EQ(ReadFile((clip / "Evening promo.avi").string()), ReadFile(output));
    const std::vector<uint8_t>& thumbnail = Meta.Streams().front();
    EXPECT_EQ(ReadFile((clip / "thumbnail.png").string()),
              std::string(thumbnail.begin(), thumbnail.end()));
    bool parsed = false;
    const std::vector<std::string> frames =
        FlipBookFrames(ReadFile((clip / "flipbook.bin").string()), parsed);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(frames.size(), 3u);
    const std::vector<uint8_t>& second = Meta.FlipBook()->Frame(1);
    EXPECT_EQ(frames[1], std::string(second.begin(), second.end()));

    TXMLUnicode metadata;
    ASSERT_TRUE(metadata.LoadFromFile((clip / "metadata.xml").string()));
    const TXMLElement* root = metadata.Root();
    EXPECT_EQ(ChildText(root, "clipguid"), ClipGuid());
    EXPECT_EQ(ChildText(root, "project"), "Spring campaign");
    EXPECT_EQ(ChildText(root, "filename"), "Evening promo.lvf");
    EXPECT_EQ(ChildText(root, "duration"), "125");
    EXPECT_EQ(ChildText(root, "loop"), "1");
    EXPECT_TRUE(receiver.PartialFolders().empty());

    // The same clip again: the receiver has it, which counts as delivered.
    ASSERT_TRUE(target->Deliver(output, Task, Meta)) << Log();
    EXPECT_EQ(target->LastError(), "Clip already exists on target");
    EXPECT_EQ(receiver.StorageEntries(), std::vector<std::string>{ClipGuid()});

    const std::string log = Log();
    EXPECT_NE(log.find(": Sending file: " + output +
                       " to Reelbank: 127.0.0.1 Port: " + std::to_string(receiver.Port()) + "\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(": File " + output + " successfully transferred to Reelbank.\r\n"),
              std::string::npos);
    EXPECT_NE(log.find(": Clip " + output + " already exists on target\r\n"), std::string::npos);
    EXPECT_NE(receiver.LogText().find("Stored clip " + ClipGuid()), std::string::npos)
        << receiver.LogText();
}

// What goes in the "rxclip" frame: the images in order, the flipbook only when it has frames,
// and N = -1 when nothing but the file follows the XML.
TEST_F(ReelbankDelivery, ClipFrameCarriesImagesThenFlipbookThenTheFile) {
    struct FrameCase {
        bool Thumbnail;
        int FlipFrames;
        int32_t AttachmentCount;
    };
    const FrameCase cases[] = {{true, 2, 2}, {true, 0, 1}, {false, 0, -1}};
    const std::string output = MakeOutput(200000);
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.AttachmentCount);
        TMetaItems meta;
        FillMeta(meta);
        if (c.Thumbnail)
            AddPreviews(meta, c.FlipFrames);
        TScriptedReelbank peer(TScriptedReelbank::TScript::WantClip);
        auto target = MakeTarget(peer.Port());
        ASSERT_TRUE(target->Deliver(output, Task, meta)) << target->LastError();
        ASSERT_TRUE(WaitFor([&] {
            const auto seen = peer.Seen();
            return !seen.empty() && seen.back().Type == "rxclip" &&
                   seen.back().FileBytesRead == 200000;
        }));
        const std::vector<TSeenFrame> seen = peer.Seen();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].Type, "login");
        EXPECT_EQ(seen[0].Subtype, LoginDigest(ReelbankSecret(), TScriptedReelbank::Challenge));
        EXPECT_NE(seen[0].Xml.find("<type>vidmill</type>"), std::string::npos);
        EXPECT_EQ(seen[1].Type, "rxprepare");
        EXPECT_NE(seen[1].Xml.find("<clipguid>" + ClipGuid() + "</clipguid>"), std::string::npos);
        EXPECT_NE(seen[1].Xml.find("<duration>125</duration>"), std::string::npos);
        const TSeenFrame& clip = seen[2];
        EXPECT_EQ(clip.AttachmentCount, c.AttachmentCount);
        EXPECT_TRUE(clip.HasFile);
        EXPECT_EQ(clip.FileLength, 200000);
        EXPECT_NE(clip.Xml.find("sc=\"1\""), std::string::npos);
        // No project on a task without source.
        EXPECT_EQ(clip.Xml.find("<project>"), std::string::npos);
        if (c.Thumbnail) {
            const std::vector<uint8_t>& thumbnail = meta.Streams().front();
            EXPECT_EQ(clip.Attachments.at(0), std::string(thumbnail.begin(), thumbnail.end()));
        }
        if (c.FlipFrames > 0) {
            bool parsed = false;
            EXPECT_EQ(FlipBookFrames(clip.Attachments.at(1), parsed).size(), 2u);
            EXPECT_TRUE(parsed);
        }
    }
}

TEST_F(ReelbankDelivery, EveryFailureOfTheExchangeHasItsLastErrorAndLogLine) {
    using TScript = TScriptedReelbank::TScript;
    struct FailCase {
        TScript Script;
        bool Listening;
        bool MissingOutput;
        std::string LastError;
        std::string LogLine;
    };
    const std::string output = MakeOutput(1000);
    const std::string missing = Work / "processing/{gone}";
    const FailCase cases[] = {
        {TScript::Silent, false, false, "Failed to connect to",
         "Failed to connect to Reelbank: 127.0.0.1"},
        {TScript::Silent, true, false, "Failed to handshake with",
         "Failed to handshake with Reelbank (timeout)"},
        {TScript::LoginWithoutSubtype, true, false,
         "Failed to get login reply from host: 127.0.0.1",
         "Failed to receive login reply - received reply: "},
        {TScript::NoResult, true, false, "Failed to get response message",
         "Failed to receive response message"},
        {TScript::Refuse, true, false, "Could not write file on target",
         "Could not write file " + output + " on target"},
        {TScript::WantClip, true, true, "Failed to send to",
         "File " + missing + " failed to send to Reelbank."},
    };
    // The cases wait for their time-outs side by side.
    std::vector<std::future<std::pair<bool, std::string>>> results;
    std::vector<std::unique_ptr<TScriptedReelbank>> peers;
    std::vector<std::unique_ptr<TTaskItem>> tasks;
    for (const FailCase& c : cases) {
        peers.push_back(c.Listening ? std::make_unique<TScriptedReelbank>(c.Script) : nullptr);
        tasks.push_back(std::make_unique<TTaskItem>(&List, true));
        auto target = MakeTarget(c.Listening ? peers.back()->Port() : FreePort());
        target->SetLastError("left from an earlier delivery");
        TTaskItem& task = *tasks.back();
        const std::string path = c.MissingOutput ? missing : output;
        results.push_back(std::async(std::launch::async, [this, target, &task, path] {
            const bool delivered = target->Deliver(path, task, Meta);
            return std::pair{delivered, target->LastError()};
        }));
    }
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(cases[i].LastError);
        const auto [delivered, lastError] = results[i].get();
        EXPECT_FALSE(delivered);
        EXPECT_EQ(lastError, cases[i].LastError);
    }
    // The server heard of the clip before its file turned out to be missing.
    EXPECT_TRUE(peers.back()->SawType("rxprepare"));
    EXPECT_FALSE(peers.back()->SawType("rxclip"));
    const std::string log = Log();
    for (const FailCase& c : cases)
        EXPECT_NE(log.find(": " + c.LogLine + "\r\n"), std::string::npos) << c.LogLine << log;
}

TEST_F(ReelbankDelivery, CancelStopsATransferInTheMiddleOfTheFile) {
    TScriptedReelbank peer(TScriptedReelbank::TScript::Trickle);
    const std::string output = MakeSparseOutput(1ull << 30);
    auto target = MakeTarget(peer.Port());
    auto delivery =
        std::async(std::launch::async, [&] { return target->Deliver(output, Task, Meta); });
    ASSERT_TRUE(WaitFor([&] { return peer.SawType("rxclip"); }, 20s)) << Log();
    Task.Cancel();
    ASSERT_EQ(delivery.wait_for(30s), std::future_status::ready) << "the cancel was not seen";
    EXPECT_FALSE(delivery.get());
    EXPECT_EQ(target->LastError(), "Transfer cancelled for target");
    EXPECT_NE(Log().find(": Transfer of " + output + " to Reelbank cancelled.\r\n"),
              std::string::npos);
}

// The receiver dies with part of the file on its disk: the delivery fails with the reason, and
// the receiver's next start removes what the cut transfer left.
TEST_F(ReelbankDelivery, ReceiverKilledMidTransferFailsTheDeliveryAndLeavesNoClip) {
    TReelbankReceiverProcess receiver(Work / "receiver");
    const std::string output = MakeSparseOutput(4ull << 30);
    auto target = MakeTarget(receiver.Port());
    auto delivery =
        std::async(std::launch::async, [&] { return target->Deliver(output, Task, Meta); });
    const bool partial = WaitFor(
        [&] {
            for (const std::string& name : receiver.PartialFolders()) {
                std::error_code ignored;
                if (fs::file_size(receiver.Storage() / name / "file.part", ignored) > (1u << 20))
                    return true;
            }
            return false;
        },
        30s);
    receiver.Kill();
    ASSERT_TRUE(partial) << "no transfer under way was seen";
    ASSERT_EQ(delivery.wait_for(60s), std::future_status::ready);
    EXPECT_FALSE(delivery.get());
    const std::string lastError = target->LastError();
    EXPECT_EQ(lastError.rfind("Failed to send (", 0), 0u) << lastError;
    EXPECT_EQ(lastError.substr(lastError.size() - 4), ") to") << lastError;
    EXPECT_NE(Log().find(": File " + output + " failed to send to Reelbank ("), std::string::npos);
    EXPECT_FALSE(receiver.PartialFolders().empty());

    receiver.Start();
    EXPECT_TRUE(receiver.StorageEntries().empty())
        << ::testing::PrintToString(receiver.StorageEntries());
}

// A server that announces confirmations has the clip only once it confirms it; one that does
// not must take the whole file and end the connection in order.
TEST_F(ReelbankDelivery, TheClipCountsAsDeliveredOnlyOnceTheServerHasTakenIt) {
    using TScript = TScriptedReelbank::TScript;
    struct AnswerCase {
        TScript Script;
        bool Delivered;
        std::string LastError;  // its beginning
        std::string LogLine;
    };
    const std::string output = MakeOutput(100000);
    const AnswerCase cases[] = {
        {TScript::ConfirmStored, true, "",
         "File " + output + " successfully transferred to Reelbank."},
        {TScript::ConfirmRefused, false, "Clip not stored (disk full) by",
         "File " + output + " was not stored by Reelbank (disk full)."},
        {TScript::ConfirmCloses, false, "No store confirmation from",
         "File " + output + " was not confirmed stored by Reelbank (connection closed)."},
        {TScript::ConfirmNever, false, "No store confirmation from",
         "File " + output + " was not confirmed stored by Reelbank (no answer within 1 s)."},
        {TScript::WantClip, true, "",
         "Reelbank does not confirm stored clips: the store of " + output + " is not confirmed."},
    };
    TReelbankLimits limits;
    limits.AnswerFixedMs = 1000;
    std::vector<std::future<std::pair<bool, std::string>>> results;
    std::vector<std::unique_ptr<TScriptedReelbank>> peers;
    std::vector<std::unique_ptr<TTaskItem>> tasks;
    for (const AnswerCase& c : cases) {
        peers.push_back(std::make_unique<TScriptedReelbank>(c.Script));
        tasks.push_back(std::make_unique<TTaskItem>(&List, true));
        auto target = MakeTarget(peers.back()->Port());
        TTaskItem& task = *tasks.back();
        results.push_back(std::async(std::launch::async, [this, target, &task, &output, limits] {
            const bool delivered = DeliverToReelbank(*target, output, task, Meta, limits);
            return std::pair{delivered, target->LastError()};
        }));
    }
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(cases[i].LogLine);
        const auto [delivered, lastError] = results[i].get();
        EXPECT_EQ(delivered, cases[i].Delivered);
        EXPECT_EQ(lastError.substr(0, cases[i].LastError.size()), cases[i].LastError);
        EXPECT_EQ(lastError.empty(), cases[i].LastError.empty()) << lastError;
    }
    const std::string log = Log();
    for (const AnswerCase& c : cases)
        EXPECT_NE(log.find(": " + c.LogLine), std::string::npos) << c.LogLine << log;
}

// A receiver that takes a few bytes every 25 s holds the transfer only for the grace time: its
// average stays below the rate floor.
TEST_F(ReelbankDelivery, ATransferBelowTheRateFloorStopsAfterTheGraceTime) {
    TScriptedReelbank peer(TScriptedReelbank::TScript::Trickle);
    const std::string output = MakeSparseOutput(1ull << 30);
    auto target = MakeTarget(peer.Port());
    TReelbankLimits limits;
    limits.FileGraceMs = 1500;
    limits.FloorBytesPerSecond = 1 << 20;
    auto delivery = std::async(
        std::launch::async, [&] { return DeliverToReelbank(*target, output, Task, Meta, limits); });
    ASSERT_EQ(delivery.wait_for(60s), std::future_status::ready) << "the floor was not enforced";
    EXPECT_FALSE(delivery.get());
    EXPECT_EQ(target->LastError(), "Transfer too slow for");
    EXPECT_TRUE(peer.SawType("rxclip"));
    EXPECT_NE(Log().find(": File " + output +
                         " to Reelbank stopped: below 1048576 bytes/s after 1 s.\r\n"),
              std::string::npos);
}

// A target with a secret of its own logs in with it; the built-in one no longer opens that
// receiver.
TEST_F(ReelbankDelivery, ATargetLogsInWithItsOwnSecret) {
    const fs::path secretFile = Work / "receiver-secret.txt";
    WriteFile(secretFile.string(), "Gr33n-Room-Archive\nnot part of the secret\n");
    TReelbankReceiverProcess receiver(Work / "receiver",
                                      {{"--secret-file", secretFile.string()}, {}});
    const std::string output = MakeOutput(5000);
    auto builtIn = MakeTarget(receiver.Port());
    EXPECT_FALSE(builtIn->Deliver(output, Task, Meta));
    EXPECT_EQ(builtIn->LastError(), "Failed to get login reply from host: 127.0.0.1");
    auto own = MakeTarget(receiver.Port());
    own->SetSecret("Gr33n-Room-Archive");
    ASSERT_TRUE(own->Deliver(output, Task, Meta)) << own->LastError() << receiver.LogText();
    // Confirmed: the clip is in its folder when the delivery returns.
    EXPECT_EQ(ReadFile((receiver.ClipFolder(ClipGuid()) / "Evening promo.avi").string()),
              ReadFile(output));
}

}  // namespace
