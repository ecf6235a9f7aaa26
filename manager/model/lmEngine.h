#pragma once

// One engine (a server) as the manager sees it: the connection to its control port with
// automatic reconnects, the connection state shown to the operator, the login, and the mirror
// of what the server reported: its settings, its configured objects, its mail templates and
// its live task list, kept current by the packets the server pushes.
//
// Threads. The main thread calls every public operation. The connection's reader thread runs
// the packet handler and changes the mirror; short-lived connect threads and the transport's
// reconnect thread run the connection handlers. The mirror is changed under MirrorLock (the
// configuration) or TaskLock (the tasks), and every change is announced once the lock is
// released, while the reader waits for the observers to return: observers see a mirror that
// stands still and may take either lock. Code on the main thread that reads the mirror outside
// a notice takes the lock of what it reads.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxMutex.h"
#include "foundation/kxXMLClientServer.h"
#include "foundation/kxXMLUnicode.h"
#include "manager/model/lmConnectChain.h"
#include "manager/model/lmModelList.h"
#include "manager/model/lmProcessor.h"
#include "manager/model/lmProject.h"
#include "manager/model/lmSource.h"
#include "manager/model/lmTarget.h"
#include "manager/model/lmTaskItem.h"
#include "manager/model/lmUser.h"

namespace manager {

class TManager;

// The connection states and the texts shown for them.
enum TConnectionState : uint8_t {
    csNeverConnected = 0,  // "---"
    csConnecting = 1,      // "Connecting..."
    csDisconnected = 2,    // "Disconnected"
    csHandshake = 3,       // "Handshake"
    csError = 4,           // "Error"
    csConnected = 5,       // "Connected"
    csShutdown = 6         // "Shutdown"
};

std::string ConnectionStateText(uint8_t state);

// The engine's own settings: what the engine list file keeps and "setengine" sends.
struct TEngineSettings {
    std::string Name;
    std::string Loc;
    std::string Desc;
    std::string Host;
    uint32_t Port = 9797;
    std::string SHost;
    int32_t SPort = 25;
    std::string SLogin;
    std::string SPassword;
    std::string SFromName;
    std::string SFromEmail;
    int32_t Threads = 6;
};

// The server's answer to a command of this manager ("msg" after the login): the command it
// answers (empty for the set commands), whether it was carried out, and for "requeuetask" how
// many tasks went back and why the others were refused.
struct TCommandAnswer {
    struct TRefusal {
        TGUID Uid;
        std::string FileName;
        std::string Reason;
    };
    std::string Command;
    bool Success = false;
    std::string Message;
    int32_t Count = 0;
    int32_t Refused = 0;
    std::vector<TRefusal> Refusals;
};

class TEngine : public TModelObject {
  public:
    static constexpr uint32_t DefaultPort = 9797;
    static constexpr int32_t DefaultMailPort = 25;
    static constexpr int32_t DefaultThreads = 6;
    // The only protocol version this manager speaks.
    static constexpr int32_t ProtocolVersion = 1;
    // The pause between a reconnect falling due and the new connect.
    static constexpr int ReconnectPauseMs = 2000;
    // Until the login has succeeded the server may send its greeting and the login reply, and
    // nothing bigger: a peer that is no engine costs the manager almost nothing.
    static constexpr int32_t HandshakeFrameLength = 65536;
    // What the mirror holds at most, however much a server reports; more is dropped.
    static constexpr int32_t MaxTasks = 200000;
    static constexpr int32_t MaxObjects = 100000;  // of each kind
    static constexpr int32_t MaxTemplates = 10000;
    // Refusals kept of one answer, however many the server lists.
    static constexpr size_t MaxRefusals = 100;

    static constexpr const char* MismatchText = "Manager protocol mismatch for engine version: ";
    static constexpr const char* HandshakeFailedText = "Connection handshake failed.";
    static constexpr const char* ConnectingText = "Connecting...";

    explicit TEngine(TManager* manager = nullptr);
    // Ends the connection and its threads first (see Shutdown).
    ~TEngine() override;

    // Starts an asynchronous connect to host and port, unless the engine is connecting,
    // connected or shutting down.
    void Connect();
    // Cancels a pending reconnect and closes the connection (asynchronously); the state becomes
    // "Disconnected" unless the engine never connected or is shutting down.
    void Disconnect();
    // State "Shutdown", no further connects, and waits until the connection and its threads
    // have ended, delivering the notices they raise meanwhile. Called by the manager before it
    // frees the engine.
    void Shutdown();
    // The connection has an open socket.
    bool IsConnected();

    // Copies location, name, description, host, port, the mail settings and the secret.
    void Assign(const TEngine& other);
    // Reads an engine list entry: "name", "loc", "desc", "host", "port" (9797 when absent or
    // no TCP port) and "secret" (absent: none).
    void LoadFromXML(TXMLUnicode& doc);
    // "name", "loc", "desc", "host", "port", then "shost", "sport", "slogin", "spassword",
    // "sfromname", "sfromemail", "threads": the "setengine" body.
    void SaveToXML(TXMLUnicode& doc) const;
    // The engine list entry: what SaveToXML writes, then "secret" when one is set. The secret
    // stays in the engine list file; no packet ever carries it.
    void SaveEntryToXML(TXMLUnicode& doc) const;

    // A packet of that type with no subtype and no body.
    bool SendCommand(const std::string& type);
    // Hands the packet to the connection without waiting for a reply; the packet is consumed.
    // True when it was written completely.
    bool SendPacket(TXMLPacketPtr packet);

    // Sends an edited copy of a mirror object with its set command ("setuser", "setproject",
    // "settarget", "setprocessor", "setsource"; the copy's uid as subtype) and, once sent,
    // copies it into the mirror object of that uid (no notice: the editor made the change).
    // False, with the mirror unchanged, when it could not be sent.
    bool Apply(const TUser& edited);
    bool Apply(const TProject& edited);
    bool Apply(const TTarget& edited);
    bool Apply(const TProcessor& edited);
    bool Apply(const TSource& edited);
    // Sends "setengine" with the settings; the engine takes them over whether or not the send
    // succeeded, so new connection details are used by the next connect.
    bool ApplySettings(const TEngineSettings& settings);

    // The task commands: "cantask", "remtask" and "requeuetask" name their tasks in "uid"
    // children; "setprior" sets the priority of each. Only "requeuetask" is answered (notice
    // 230); the others come back as the pushes of the tasks they change.
    bool CancelTasks(const std::vector<TGUID>& uids);
    bool RemoveTasks(const std::vector<TGUID>& uids);
    bool RequeueTasks(const std::vector<TGUID>& uids);
    bool SetTaskPriority(const std::vector<TGUID>& uids, int32_t priority);
    // The last answer the server gave to a command, announced with notice 230.
    TCommandAnswer LastAnswer() const;

    // The control secret of this engine's installation, which the login digest is made with;
    // empty when none is set, and the login then uses the built-in secret every copy of the
    // programs shares.
    std::string Secret() const;
    void SetSecret(const std::string& secret);

    uint8_t ConnectionState() const { return FState.load(); }
    std::string StateText() const { return ConnectionStateText(ConnectionState()); }
    std::string StatusText() const;
    // Store the value and, when it changed, raise notice 202 on the calling thread.
    void SetConnectionState(uint8_t state);
    void SetStatusText(const std::string& text);
    bool LoggedIn() const { return FLoggedIn.load(); }
    // Connection attempts that failed (no listener, name not resolved) since the engine was
    // made; the engine tries again after its pause, a one-shot caller can stop waiting.
    int32_t FailedConnects() const { return FFailedConnects.load(); }

    TEngineSettings Settings() const;
    void SetSettings(const TEngineSettings& settings);
    std::string Name() const { return Settings().Name; }
    void SetName(const std::string& name);
    std::string Host() const { return Settings().Host; }
    void SetHost(const std::string& host);
    uint32_t Port() const { return Settings().Port; }
    void SetPort(uint32_t port);
    void SetLocation(const std::string& location);
    std::string ServerVersion() const;

    TManager* Manager() const { return FManager; }
    void SetManager(TManager* manager) { FManager = manager; }
    int32_t Index = -1;  // position in the manager's list when added
    void* TaskViewHandle = nullptr;

    int32_t ActiveCount() const { return FActiveCount.load(); }
    int32_t QueuedCount() const { return FQueuedCount.load(); }
    int32_t FailedCount() const { return FFailedCount.load(); }

    // The configuration mirror and the template names; see the threads note above.
    TRecursiveMutex& MirrorLock() const RETURN_CAPABILITY(FMirrorLock) { return FMirrorLock; }
    const TUsers& Users() const { return FUsers; }
    const TProjects& Projects() const { return FProjects; }
    const TTargets& Targets() const { return FTargets; }
    const TProcessors& Processors() const { return FProcessors; }
    const TSources& Sources() const { return FSources; }
    const std::vector<std::string>& TemplateNames() const { return FTemplateNames; }
    // True once a configuration has been read since the last login.
    bool ConfigurationRead() const { return FConfigurationRead.load(); }

    // The live task list in the order the tasks arrived.
    TRecursiveMutex& TaskLock() const RETURN_CAPABILITY(FTaskLock) { return FTaskLock; }
    int32_t TaskCount() const {
        TLock lock(FTaskLock);
        return static_cast<int32_t>(FTasks.size());
    }
    TTaskItem* Tasks(int32_t index) const;
    TTaskItem* FindTask(const TGUID& uid) const;

    // Fresh objects that resolve their references through this engine's mirror, for editing
    // a copy (Assign from the mirror object, change it, send it with its set command).
    std::unique_ptr<TUser> NewUser() const { return std::make_unique<TUser>(); }
    std::unique_ptr<TProject> NewProject() const { return std::make_unique<TProject>(&FUsers); }
    std::unique_ptr<TTarget> NewTarget() const { return std::make_unique<TTarget>(); }
    std::unique_ptr<TProcessor> NewProcessor() const {
        return std::make_unique<TProcessor>(&FTargets);
    }
    std::unique_ptr<TSource> NewSource() const {
        return std::make_unique<TSource>(&FProcessors, &FProjects);
    }

    // Packets handled since the engine was created (for benchmarks and tests).
    uint64_t PacketsHandled() const { return FPacketsHandled.load(); }

  private:
    class TClient;
    using THandler = void (TEngine::*)(TXMLPacket& packet);

    void Notify(int32_t code, TModelObject* object);
    // Changes the state unless the engine is shutting down; with `from` only when the state is
    // that value. True when the state was changed.
    bool ChangeState(uint8_t to, int from = -1);
    void RequestConnect(uint32_t delayMs, uint64_t generation);

    // Connection handlers.
    void Connected();
    void ConnectionLost();
    void ReconnectDue();
    void PacketReceived(TXMLPacket& packet);

    // Packet handlers, on the reader thread.
    void ServerInfo(TXMLPacket& packet);
    void LoginReply(TXMLPacket& packet);
    void ReadAnswer(TXMLPacket& packet);
    void ReadConfig(TXMLPacket& packet);
    void ReadTaskList(TXMLPacket& packet);
    void ReadTask(TXMLPacket& packet);
    void ReadTaskState(TXMLPacket& packet);
    void ReadServerState(TXMLPacket& packet);
    void ReadUser(TXMLPacket& packet);
    void ReadProject(TXMLPacket& packet);
    void ReadTarget(TXMLPacket& packet);
    void ReadProcessor(TXMLPacket& packet);
    void ReadSource(TXMLPacket& packet);
    void DeleteUser(TXMLPacket& packet);
    void DeleteProject(TXMLPacket& packet);
    void DeleteTarget(TXMLPacket& packet);
    void DeleteProcessor(TXMLPacket& packet);
    void DeleteSource(TXMLPacket& packet);
    void RemoveFailed(TXMLPacket& packet);
    void RemoveCancelled(TXMLPacket& packet);
    void RemoveCompleted(TXMLPacket& packet);
    void RemoveTasks(TXMLPacket& packet);
    void SetPriority(TXMLPacket& packet);

    // Announces that every task in the state is about to go, then frees them.
    void RemoveTasksInState(uint8_t state, int32_t code);
    // Reads one object packet over its object, or adds it; raises `updated` or `added`.
    template <class T>
    void ReadObject(TXMLPacket& packet, TModelList<T>& list, std::unique_ptr<T> fresh,
                    int32_t updated, int32_t added);
    void ReadSettings(TXMLUnicode& doc);
    template <class T>
    bool ApplyObject(const char* command, const T& edited, TModelList<T>& list);
    // Under FTaskLock; one caller holds it from a visitor the analysis cannot see into.
    void AddTaskLocked(std::unique_ptr<TTaskItem> task) NO_THREAD_SAFETY_ANALYSIS;

    TManager* FManager;
    std::unique_ptr<TClient> FClient;
    TConnectChain FChain;

    mutable TMutex FSettingsLock;  // leaf lock: settings, status text, version, last answer
    TEngineSettings FSettings GUARDED_BY(FSettingsLock);
    std::string FStatusText GUARDED_BY(FSettingsLock);
    std::string FServerVersion GUARDED_BY(FSettingsLock);
    std::string FSecret GUARDED_BY(FSettingsLock);
    TCommandAnswer FLastAnswer GUARDED_BY(FSettingsLock);

    std::atomic<uint8_t> FState{csNeverConnected};
    std::atomic<bool> FLoggedIn{false};
    std::atomic<bool> FConfigurationRead{false};
    std::atomic<bool> FShutdown{false};
    std::atomic<int32_t> FActiveCount{0};
    std::atomic<int32_t> FQueuedCount{0};
    std::atomic<int32_t> FFailedCount{0};
    std::atomic<int32_t> FFailedConnects{0};
    std::atomic<uint64_t> FPacketsHandled{0};

    // Reconnect pauses end early when the engine is disconnected or shut down.
    TMutex FPauseLock;
    TConditionVariable FPauseChanged;
    std::atomic<uint64_t> FConnectGeneration{0};

    mutable TRecursiveMutex FMirrorLock;
    TUsers FUsers;
    TProjects FProjects;
    TTargets FTargets;
    TProcessors FProcessors;
    TSources FSources;
    std::vector<std::string> FTemplateNames;

    mutable TRecursiveMutex FTaskLock;
    std::vector<std::unique_ptr<TTaskItem>> FTasks GUARDED_BY(FTaskLock);
    std::unordered_map<TGUID, TTaskItem*, TGUIDHash> FTaskIndex GUARDED_BY(FTaskLock);

    // The packet handlers of a logged-in engine, by packet type.
    static const std::unordered_map<std::string, THandler>& Handlers();
};

}  // namespace manager
