#pragma once

// The reference Reelbank receiver as a child process on a loopback port, with its storage and
// log folders; and an independent reader of the flipbook byte form for checking what it stored.

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/TestProcess.h"
#include "support/TestSockets.h"
#include "support/TestWait.h"

namespace testing_support {

// How a receiver process is run: further options, and a command it runs under (such as
// prlimit with a resource limit).
struct TReelbankReceiverOptions {
    std::vector<std::string> Arguments;
    std::vector<std::string> Launcher;
};

class TReelbankReceiverProcess {
  public:
    // Starts the receiver on a free port, keeping clips in `folder`/storage and its log in
    // `folder`/logs, and waits until it accepts connections.
    explicit TReelbankReceiverProcess(const std::filesystem::path& folder,
                                      TReelbankReceiverOptions options = {})
        : FFolder(folder), FPort(FreePort()), FOptions(std::move(options)) {
        std::filesystem::create_directories(FFolder);
        Start();
    }
    TReelbankReceiverProcess(const TReelbankReceiverProcess&) = delete;
    TReelbankReceiverProcess& operator=(const TReelbankReceiverProcess&) = delete;

    // Starts it again on the same port and folders (after Kill or Stop); with `plain`, without
    // the launcher.
    void Start(bool plain = false) {
        std::vector<std::string> command = plain ? std::vector<std::string>{} : FOptions.Launcher;
        for (const std::string& word :
             {std::string(LMV_STAGE_DIR) + "/lmReelbankReceiver", std::string("--storage"),
              Storage().string(), std::string("--port"), std::to_string(FPort),
              std::string("--log"), (FFolder / "logs").string()})
            command.push_back(word);
        command.insert(command.end(), FOptions.Arguments.begin(), FOptions.Arguments.end());
        FChild =
            std::make_unique<TChildProcess>(command, (FFolder / "receiver-output.txt").string());
        const bool listening = WaitFor([&] { return RawConnection(FPort) != nullptr; });
        EXPECT_TRUE(listening) << "the receiver did not listen on " << FPort;
    }
    void Kill() { FChild->Stop(SIGKILL); }
    int Stop() { return FChild->Stop(SIGTERM); }
    // Whether the process is gone (killed by a signal, or ended).
    bool Ended() { return FChild->ExitsWithin(std::chrono::milliseconds(20)); }

    uint16_t Port() const { return FPort; }
    std::filesystem::path Storage() const { return FFolder / "storage"; }
    std::filesystem::path ClipFolder(const std::string& guid) const { return Storage() / guid; }

    // Names in the storage folder: clip folders and temporary ones.
    std::vector<std::string> StorageEntries() const {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(Storage(), ignored))
            names.push_back(entry.path().filename().string());
        return names;
    }
    std::vector<std::string> PartialFolders() const {
        std::vector<std::string> names;
        for (const std::string& name : StorageEntries())
            if (name.rfind(".partial-", 0) == 0)
                names.push_back(name);
        return names;
    }

    std::string LogText() const {
        std::string text;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(FFolder / "logs", ignored)) {
            std::ifstream file(entry.path(), std::ios::binary);
            std::stringstream content;
            content << file.rdbuf();
            text += content.str();
        }
        return text;
    }

  private:
    std::filesystem::path FFolder;
    uint16_t FPort;
    TReelbankReceiverOptions FOptions;
    std::unique_ptr<TChildProcess> FChild;
};

// The frames of a flipbook in its byte form (version 2, 16-bit count, 48 zero bytes, then
// length-prefixed frames filling the rest exactly); empty with `ok` false when it does not parse.
inline std::vector<std::string> FlipBookFrames(const std::string& bytes, bool& ok) {
    std::vector<std::string> frames;
    ok = false;
    if (bytes.size() < 51 || bytes[0] != 2 || bytes.find_first_not_of('\0', 3) < 51)
        return frames;
    const size_t count = static_cast<uint8_t>(bytes[1]) + 256u * static_cast<uint8_t>(bytes[2]);
    size_t at = 51;
    for (size_t i = 0; i < count; ++i) {
        if (bytes.size() - at < 4)
            return {};
        uint32_t length = 0;
        for (int b = 3; b >= 0; --b)
            length = length * 256 + static_cast<uint8_t>(bytes[at + b]);
        at += 4;
        if (bytes.size() - at < length)
            return {};
        frames.push_back(bytes.substr(at, length));
        at += length;
    }
    ok = at == bytes.size();
    return ok ? frames : std::vector<std::string>{};
}

}  // namespace testing_support
