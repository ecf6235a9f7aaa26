#pragma once

// The control server: owns the engine, listens on the control port, greets every manager
// with its identity and a login challenge, runs the command set against the engine once the
// manager has logged in, and pushes every change to all connected managers.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "foundation/kxXMLClientServer.h"
#include "server/core/lmVmCommandLine.h"
#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"
#include "server/core/lmVmPixelLibrary.h"

class TTaskItem;
class TVmTranscoder;

// One manager connection.
class TVmClient : public TXMLClient {
  public:
    // The GUID sent in this connection's "serverinfo"; the login digest is made with it.
    std::string Challenge;
    std::atomic<bool> LoggedIn{false};
    // Milliseconds since the connection was accepted.
    uint32_t Age() const;

  protected:
    void DoAccepted() override;
    // Until the login, a frame may hold a login and nothing bigger.
    int32_t FrameLengthLimit() const override;
    // A peer that has not logged in learns nothing of the tasks and the configuration.
    bool ReceivesBroadcasts() const override { return LoggedIn.load(); }

  private:
    std::atomic<uint32_t> FAcceptedAt{0};
};

// One command as it arrived: the packet, the connection it came on and the reply to send back
// on that connection (none unless the handler sets one).
struct TVmCommand {
    TVmClient& Client;
    TXMLPacket& Packet;
    TXMLPacketPtr& Reply;
};

class TVmServer {
  public:
    // The control protocol's version.
    static constexpr int32_t ProtocolVersion = 1;
    // A wrong login is answered only after this pause.
    static constexpr int LoginFailurePauseMs = 2000;
    // Tasks written into a task list per hold of the list's lock.
    static constexpr size_t TaskListSlice = 64;
    // Logged at every start of a server whose store sets no secret.
    static constexpr const char* NoSecretWarning =
        "Warning: \"config.dat\" sets no control secret, so managers log in with the built-in "
        "secret that every copy of the program knows; run \"lmVidmill -SETSECRET\" to set one";
    // A connection that has not logged in this long after it was accepted is dropped, so
    // anonymous peers cannot hold the connection slots; a member so that tests can shorten it.
    std::atomic<uint32_t> LoginTimeout{10000};

    // `folder` is the executable's folder (trailing "/"); everything the server ships with is
    // found relative to it, and so is what it keeps on disk unless the command line names
    // other folders for the configuration and the mail spool.
    TVmServer(std::string folder, TVmCommandLine commandLine, TVmPixelLibrary& pixels);
    // Stops listening (every connection closes), then frees the engine.
    ~TVmServer();
    TVmServer(const TVmServer&) = delete;
    TVmServer& operator=(const TVmServer&) = delete;

    // Binds the pixel library, loads the configuration, listens on the control port and starts
    // the engine. False when the server could not come up; PixelLibraryMissing then tells
    // whether the process must end at once.
    bool Start();
    bool PixelLibraryMissing() const { return FPixelLibraryMissing; }

    // The configured control port, unless the command line overrides it.
    int GetServerPort() const;
    // The port listened on (the one the system picked for a port of 0), or 0.
    uint16_t ListeningPort() const { return FXMLServer->ListeningPort(); }

    // Closes every connection and listens again on GetServerPort, on a thread of its own (the
    // requesting connection is among those closed).
    void RestartListening();

    TVmEngine& Engine() { return *FEngine; }
    TXMLServer& XMLServer() { return *FXMLServer; }
    bool LoadConfig();
    bool SaveConfig();
    std::string ConfigPath() const { return FFolders.Config + TVmConfigStore::FileName; }
    std::string TemplateFolder() const { return FFolders.Install + "EmailTemplates/"; }

    // Run once the control port listens (the engine's start: plug-ins, pool, sources).
    void SetEngineStart(std::function<void()> start) { FEngineStart = std::move(start); }

    // Sends the packet to every connection that has logged in, and frees it.
    void Broadcast(TXMLPacketPtr packet);
    // The digest a manager must send for this challenge: made with the store's "secret", or
    // with the built-in secret when none is set.
    std::string ExpectedDigest(const std::string& challenge) const;

  private:
    void ClientConnected(TVmClient& client);
    void ClientDisconnected(TVmClient& client);
    void PacketReceived(TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply);
    // Looks the packet's type up in the command table and runs its handler under the engine
    // lock; a type the table lacks is left unanswered.
    void RunCommand(TVmClient& client, TXMLPacket& packet, TXMLPacketPtr& reply);
    void AddCommands();
    void SetEngine(TVmCommand& command);
    // "farmstatus": the farm's engines, their heartbeats and task counts.
    void FarmStatus(TVmCommand& command);
    TXMLPacketPtr Login(TVmClient& client, TXMLPacket& packet);
    void SendConfig(TVmClient& client);
    void SendTaskList(TVmClient& client);
    void SaveTemplateFileNamesToXML(TXMLUnicode& doc) const;
    // On the housekeeping thread of server, which holds its connection list.
    void ReportState(TXMLServer& server);
    void DropLateLogins(TXMLServer& server);
    void TaskEvent(int32_t code, TTaskItem* task);
    void Restart();
    // The transcoder on the server's folders, started by the engine with every source.
    void StartEngine();

    TVmCommandLine FCommandLine;
    TVmFolders FFolders;
    TVmPixelLibrary& FPixels;
    std::unique_ptr<TVmEngine> FEngine;
    bool FPixelLibraryMissing = false;

    // Guards FXMLServer's lifetime against pushes from worker threads at shut-down.
    TSharedMutex FServerGuard;
    // Makes taking a task's snapshot and queueing it one step, so pushes from the dispatcher
    // and a worker reach every manager in the order the task changed. Taken after the task
    // list's lock (a cancel fires under it), before the writer's queue lock.
    TMutex FTaskPushLock;
    std::unique_ptr<TXMLServer> FXMLServer;
    std::unique_ptr<TSignalThread> FRestartThread;
    std::function<void()> FEngineStart;
    // The command set: packet type to handler. Filled by the constructor, read-only afterwards.
    std::unordered_map<std::string, std::function<void(TVmCommand&)>> FCommands;
    // The started transcoder, whose failure count "serverstate" reports; read by the
    // housekeeping thread, which ends before the engine is freed.
    std::atomic<TVmTranscoder*> FTranscoder{nullptr};

    // Last values reported in "serverstate"; touched by the housekeeping thread only.
    int32_t FLastQueued = 0;
    int32_t FLastActive = 0;
    int32_t FLastFailed = 0;
};
