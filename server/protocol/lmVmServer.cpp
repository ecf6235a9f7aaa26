#include "server/protocol/lmVmServer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxLogFile.h"
#include "foundation/kxLoginDigest.h"
#include "foundation/kxMutex.h"
#include "port/port.h"
#include "server/core/lmVmVersion.h"
#include "server/farm/lmVmFarm.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/transcode/lmVmTranscoder.h"

namespace {

// The uid a command names in its subtype; anything but a GUID makes the command fail.
TGUID SubtypeUid(const TXMLPacket& packet) {
    TGUID uid;
    if (!StringToGUID(packet.Subtype, uid)) {
        throw std::runtime_error("\"" + packet.Subtype + "\" is not a valid GUID");
    }
    return uid;
}

// The "uid" children of the root, in order; one that is not a GUID reads as the null GUID.
std::vector<TGUID> UidChildren(TXMLPacket& packet) {
    std::vector<TGUID> uids;
    TXMLElement* root = packet.Document.Root();
    for (int i = 0; root && i < root->ChildCount(); ++i) {
        TXMLElement* child = root->Children(i);
        if (child->Name == "uid") {
            uids.push_back(child->Text.AsGUID(NullGUID));
        }
    }
    return uids;
}

// The body of a set command is loaded over the object it names: whatever "uid" the body
// carries (or lacks), the object keeps its identity.
void KeepIdentity(TXMLPacket& packet, const TGUID& uid) {
    TXMLUnicode& doc = packet.Document;
    doc.GotoRoot();
    if (TXMLElement* element = doc.Root()->FindChild("uid")) {
        element->Text.Text = GUIDToString(uid);
    } else {
        doc.AddGUID("uid", uid);
    }
    doc.GotoRoot();
}

// Compared in a time that does not tell how much of a guess was right.
bool SameDigest(const std::string& given, const std::string& expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i) {
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    }
    return difference == 0;
}

TXMLPacketPtr MessageReply(bool success, const std::string& message,
                           const std::string& subtype = std::string()) {
    TXMLPacketPtr reply = NewPacket("msg", subtype);
    reply->Document.AddBoolean("success", success);
    reply->Document.AddElement("message", message);
    return reply;
}

// What is secret in an object's stored form stays in the store.
template <class TItem>
void HideSecrets(const TItem& /*item*/, TXMLElement* /*root*/) {}

void HideSecrets(const TVmTarget& /*target*/, TXMLElement* root) {
    TVmTarget::HideSecret(root);
}

template <class TItem>
TXMLPacketPtr ObjectPacket(const std::string& type, const TItem& item) {
    TXMLPacketPtr packet = NewPacket(type, GUIDToString(item.Uid()));
    item.SaveToXML(packet->Document);
    HideSecrets(item, packet->Document.Root());
    return packet;
}

// The packet names of one kind of configured object: the element its packets carry and its
// three commands.
struct TObjectNames {
    const char* Element;
    const char* AddCommand;
    const char* SetCommand;
    const char* DeleteCommand;
};

// What the command set needs of one kind of configured object: its names, its collection and
// the engine's delete for it.
template <class TCollection>
struct TObjectKind {
    using TItem = typename TCollection::TItem;
    TObjectNames Names;
    TCollection& (TVmEngine::*Items)();
    void (TVmEngine::*Delete)(const TItem*);
};

constexpr TObjectNames SourceNames{"source", "addsource", "setsource", "delsource"};
constexpr TObjectNames ProcessorNames{"processor", "addproc", "setprocessor", "delproc"};
constexpr TObjectNames TargetNames{"target", "addtarget", "settarget", "deltarget"};
constexpr TObjectNames ProjectNames{"project", "addproject", "setproject", "delproj"};
constexpr TObjectNames UserNames{"user", "adduser", "setuser", "deluser"};

template <class TItem>
void LoadObject(TItem& item, TXMLUnicode& doc) {
    item.LoadFromXML(doc);
}

// Why a set command's body must not be loaded into the object, or empty.
template <class TItem>
std::string BodyProblem(const TItem&, TXMLUnicode&) {
    return {};
}

// The address goes into mail headers and onto the SMTP command line: it must be one.
std::string BodyProblem(const TVmUser&, TXMLUnicode& doc) {
    const std::string email = doc.ChildText("email").AsString("");
    const std::string problem = smtp_format::AddressProblem(email);
    if (email.empty() || problem.empty()) {
        return {};
    }
    return "the e-mail address \"" + smtp_format::Printable(email) + "\" is not usable: " + problem;
}

// The change is not made; the sender hears why and gets the object back as the engine keeps
// it, so that its copy shows what is configured.
template <class TItem>
void RefuseChange(const char* element, const TItem& item, TVmCommand& command,
                  const std::string& problem) {
    LogText("Refused \"" + command.Packet.Type + "\" from " + command.Client.PeerAddress() + ": " +
            problem);
    command.Client.Send(ObjectPacket(element, item));
    command.Reply = MessageReply(false, problem);
}

// A source is reloaded stopped and then watches again on its new settings.
void LoadObject(TVmSource& source, TXMLUnicode& doc) {
    source.Deactivate();
    source.LoadFromXML(doc);
    source.Activate();
}

template <class TCollection>
void AddObject(TVmServer& server, const TObjectKind<TCollection>& kind) {
    auto item = (server.Engine().*kind.Items)().AddNew();
    server.SaveConfig();
    server.Broadcast(ObjectPacket(kind.Names.Element, *item));
}

// Loads the body into the object the subtype names; only the sender hears of it, and only
// when the object was found.
template <class TCollection>
void SetObject(TVmServer& server, const TObjectKind<TCollection>& kind, TVmCommand& command) {
    const TGUID uid = SubtypeUid(command.Packet);
    if (auto item = (server.Engine().*kind.Items)().FindByUid(uid)) {
        command.Packet.Document.GotoRoot();
        if (const std::string problem = BodyProblem(*item, command.Packet.Document);
            !problem.empty()) {
            RefuseChange(kind.Names.Element, *item, command, problem);
            return;
        }
        KeepIdentity(command.Packet, uid);
        LoadObject(*item, command.Packet.Document);
        command.Reply = MessageReply(true, std::string());
    }
    server.SaveConfig();
}

// An unknown uid deletes nothing; the delete is broadcast all the same.
template <class TCollection>
void DeleteObject(TVmServer& server, const TObjectKind<TCollection>& kind, TVmCommand& command) {
    TVmEngine& engine = server.Engine();
    (engine.*kind.Delete)((engine.*kind.Items)().FindByUid(SubtypeUid(command.Packet)).get());
    server.SaveConfig();
    server.Broadcast(NewPacket(command.Packet.Type, command.Packet.Subtype));
}

template <class TCollection>
void AddObjectCommands(std::unordered_map<std::string, std::function<void(TVmCommand&)>>& table,
                       TVmServer& server, const TObjectNames& names,
                       TCollection& (TVmEngine::*items)(),
                       void (TVmEngine::*remove)(const typename TCollection::TItem*)) {
    const TObjectKind<TCollection> kind{names, items, remove};
    table.emplace(kind.Names.AddCommand, [&server, kind](TVmCommand&) { AddObject(server, kind); });
    table.emplace(kind.Names.SetCommand,
                  [&server, kind](TVmCommand& command) { SetObject(server, kind, command); });
    table.emplace(kind.Names.DeleteCommand,
                  [&server, kind](TVmCommand& command) { DeleteObject(server, kind, command); });
}

// Runs the change on the task list under its lock; without a task list there is nothing to
// change.
template <class TChange>
void ChangeTasks(TVmEngine& engine, TChange change) {
    if (TVmTaskList* list = engine.TaskList()) {
        TLock lock(*list);
        change(*list);
    }
}

// "remfailed", "remcomp", "remcan": every task ended in one state goes; broadcast as received.
// In a farm they leave the farm's record too.
void RemoveDoneTasks(TVmServer& server, TVmCommand& command, uint8_t state,
                     void (TVmTaskList::*remove)()) {
    ChangeTasks(server.Engine(), [&server, state, remove](TVmTaskList& list) {
        if (IVmFarm* farm = server.Engine().Farm()) {
            std::vector<TGUID> uids;
            for (int32_t i = 0; i < list.Count(); ++i) {
                if (list.Items(i)->State() == state && !list.Items(i)->Running()) {
                    uids.push_back(list.Items(i)->Uid());
                }
            }
            farm->RemoveTasks(uids);
        }
        (list.*remove)();
    });
    server.Broadcast(NewPacket(command.Packet.Type, command.Packet.Subtype));
}

// The broadcast names every uid asked for, removed or not, in request order.
void RemoveTasks(TVmServer& server, TVmCommand& command) {
    const std::vector<TGUID> uids = UidChildren(command.Packet);
    if (IVmFarm* farm = server.Engine().Farm()) {
        farm->RemoveTasks(uids);
    }
    ChangeTasks(server.Engine(), [&uids](TVmTaskList& list) {
        for (const TGUID& uid : uids) {
            list.RemoveTask(uid);
        }
    });
    TXMLPacketPtr removed = NewPacket("remtask");
    for (const TGUID& uid : uids) {
        removed->Document.AddGUID("uid", uid);
    }
    server.Broadcast(std::move(removed));
}

// The refusals a "requeuetask" answer spells out; the count of the others is still given.
constexpr size_t RequeueRefusalsListed = 100;
constexpr size_t RequeueRefusalsInMessage = 10;

std::string RequeueMessage(const TVmRequeueResult& result) {
    const size_t count = result.Requeued.size();
    std::string text = std::to_string(count) + (count == 1 ? " task" : " tasks") + " requeued";
    if (result.Refused.empty()) {
        return text + ".";
    }
    text += "; " + std::to_string(result.Refused.size()) + " refused: ";
    for (size_t i = 0; i < result.Refused.size() && i < RequeueRefusalsInMessage; ++i) {
        const TVmRequeueResult::TRefusal& refusal = result.Refused[i];
        text += (i ? "; " : "") +
                (refusal.FileName.empty() ? GUIDToString(refusal.Uid) : refusal.FileName) + ": " +
                refusal.Reason;
    }
    if (result.Refused.size() > RequeueRefusalsInMessage) {
        text +=
            "; and " + std::to_string(result.Refused.size() - RequeueRefusalsInMessage) + " more";
    }
    return text + ".";
}

// The sender's answer: success only when nothing was refused; "count" the tasks requeued,
// "refused" the others, with a "refusal" (uid, file name, reason) for each of the first.
TXMLPacketPtr RequeueReply(const TVmRequeueResult& result) {
    TXMLPacketPtr reply = NewPacket("msg", "requeuetask");
    TXMLUnicode& doc = reply->Document;
    doc.AddBoolean("success", result.Refused.empty());
    doc.AddElement("message", RequeueMessage(result));
    doc.AddInteger("count", static_cast<int32_t>(result.Requeued.size()));
    doc.AddInteger("refused", static_cast<int32_t>(result.Refused.size()));
    for (size_t i = 0; i < result.Refused.size() && i < RequeueRefusalsListed; ++i) {
        doc.OpenElement("refusal");
        doc.AddGUID("uid", result.Refused[i].Uid);
        doc.AddElement("fname", result.Refused[i].FileName);
        doc.AddElement("reason", result.Refused[i].Reason);
        doc.CloseElement();
    }
    return reply;
}

// The requeued tasks leave every manager's list as a "remtask" would take them out; their
// files come back as new tasks once the folder monitor has taken them again.
void RequeueTasks(TVmServer& server, TVmCommand& command) {
    const TVmRequeueResult result = server.Engine().RequeueTasks(UidChildren(command.Packet));
    if (!result.Requeued.empty()) {
        TXMLPacketPtr removed = NewPacket("remtask");
        for (const TGUID& uid : result.Requeued) {
            removed->Document.AddGUID("uid", uid);
        }
        server.Broadcast(std::move(removed));
    }
    command.Reply = RequeueReply(result);
}

// No answer: the cancels reach every manager as the tasks' state pushes.
// In a farm the engine that runs a task hears of the cancel through the farm's record.
void CancelTasks(TVmServer& server, TVmCommand& command) {
    if (IVmFarm* farm = server.Engine().Farm()) {
        farm->CancelTasks(UidChildren(command.Packet));
    }
    ChangeTasks(server.Engine(), [&command](TVmTaskList& list) {
        for (const TGUID& uid : UidChildren(command.Packet)) {
            list.CancelTask(uid);
        }
    });
}

// The broadcast names only the tasks found.
void SetPriority(TVmServer& server, TVmCommand& command) {
    TXMLUnicode& doc = command.Packet.Document;
    doc.GotoRoot();
    const int32_t priority = doc.AttributeByName("priority").AsInteger(0);
    TXMLPacketPtr changed = NewPacket("setprior");
    changed->Document.AddAttributeInteger("priority", priority);
    // In a farm the tasks found are those of the farm's record, wherever they are.
    if (IVmFarm* farm = server.Engine().Farm()) {
        const std::vector<TGUID> found = farm->SetPriority(UidChildren(command.Packet), priority);
        ChangeTasks(server.Engine(), [&](TVmTaskList& list) {
            for (const TGUID& uid : found) {
                if (TTaskItem* task = list.FindByUid(uid)) {
                    task->SetPriority(priority);
                }
                changed->Document.AddGUID("uid", uid);
            }
            list.Resort();
        });
        server.Broadcast(std::move(changed));
        return;
    }
    ChangeTasks(server.Engine(), [&](TVmTaskList& list) {
        for (const TGUID& uid : UidChildren(command.Packet)) {
            if (TTaskItem* task = list.FindByUid(uid)) {
                task->SetPriority(priority);
                changed->Document.AddGUID("uid", uid);
            }
        }
        list.Resort();
    });
    server.Broadcast(std::move(changed));
}

}  // namespace

uint32_t TVmClient::Age() const {
    return port::GetTickCount() - FAcceptedAt.load();
}

void TVmClient::DoAccepted() {
    FAcceptedAt.store(port::GetTickCount());
}

int32_t TVmClient::FrameLengthLimit() const {
    return LoggedIn.load() ? MaxFrameLength : LoginFrameLength;
}

TVmServer::TVmServer(std::string folder, TVmCommandLine commandLine, TVmPixelLibrary& pixels)
    : FCommandLine(std::move(commandLine)),
      FFolders(FCommandLine.Folders(folder)),
      FPixels(pixels),
      FEngine(std::make_unique<TVmEngine>(FFolders.Install, FFolders.Data)),
      FXMLServer(std::make_unique<TXMLServer>()) {
    FXMLServer->SetConnectionClass([] { return std::make_unique<TVmClient>(); });
    FXMLServer->OnConnect = [this](TSocketServer&, TSocketClient& client) {
        ClientConnected(static_cast<TVmClient&>(client));
    };
    FXMLServer->OnDisconnect = [this](TSocketServer&, TSocketClient& client) {
        ClientDisconnected(static_cast<TVmClient&>(client));
    };
    FXMLServer->OnPacket = [this](TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
        PacketReceived(client, packet, reply);
    };
    FXMLServer->OnTick = [this](TXMLServer& server) {
        DropLateLogins(server);
        ReportState(server);
    };
    FEngine->EventLinks().Add(
        [this](int32_t code, TTaskItem* task, int32_t) { TaskEvent(code, task); });
    AddCommands();
}

TVmServer::~TVmServer() {
    FRestartThread.reset();
    // Readers may still broadcast while they end, so the server object stays until every
    // connection is gone; only then do pushes from other threads stop reaching it.
    FXMLServer->StopListening();
    std::unique_ptr<TXMLServer> server;
    {
        TLock guard(FServerGuard);
        server = std::move(FXMLServer);
    }
    // Freed outside the guard: its housekeeping thread may be waiting for the guard to push.
    server.reset();
    // Running jobs raise task events until the engine has waited for them; the push locks
    // they take must outlive that, so the engine goes first.
    FTranscoder.store(nullptr);
    FEngine.reset();
}

int TVmServer::GetServerPort() const {
    TLock lock(*FEngine);
    return FCommandLine.ServerPort(FEngine->Settings().Port);
}

bool TVmServer::LoadConfig() {
    return TVmConfigStore(*FEngine).LoadConfig(ConfigPath());
}

bool TVmServer::SaveConfig() {
    return TVmConfigStore(*FEngine).SaveConfig(ConfigPath());
}

std::string TVmServer::ExpectedDigest(const std::string& challenge) const {
    std::string secret;
    {
        TLock lock(*FEngine);
        secret = FEngine->HostSettings().Secret;
    }
    return LoginDigest(secret.empty() ? ControlSecret() : secret, challenge);
}

bool TVmServer::Start() {
    if (!FPixels.Load(FFolders.Install + "bin/")) {
        LogText("Error, SIMD Library not found, exiting...");
        FPixelLibraryMissing = true;
        return false;
    }
    // A configuration folder of its own may not exist yet; the first save writes into it.
    port::CreateFolders(FFolders.Config);
    LoadConfig();
    TVmHostSettings host;
    {
        TLock lock(*FEngine);
        host = FEngine->HostSettings();
    }
    if (host.Secret.empty()) {
        LogText(NoSecretWarning);
    }
    FXMLServer->ListenAddress = host.Listen;
    const int port = GetServerPort();
    FXMLServer->Port = static_cast<uint16_t>(port);
    LogText("Starting server...");
    const bool listening = port >= 0 && port <= 65535 && FXMLServer->Start();
    const std::string error =
        port >= 0 && port <= 65535 ? FXMLServer->ErrorText() : std::string("invalid port");
    LogResult("Starting Vidmill using TCP port " + std::to_string(port), listening, error);
    if (!listening) {
        return false;
    }
    if (FEngineStart) {
        FEngineStart();
    } else {
        StartEngine();
    }
    return true;
}

void TVmServer::StartEngine() {
    TAVIRenderSettings render;
    render.CodecsFolder = FFolders.Install + "codecs/";
    render.Move32b24b = FPixels.Move32b24b();
    auto transcoder = std::make_unique<TVmTranscoder>(FFolders.Install + "bin/", render);
    TVmTranscoder* started = transcoder.get();
    bool farm = false;
    {
        TLock lock(*FEngine);
        farm = !FEngine->Settings().FarmDB.empty();
    }
    if (farm) {
        FEngine->SetFarm(std::make_unique<TVmFarm>(*FEngine, FFolders.Config, ListeningPort()));
    }
    FEngine->Start(std::move(transcoder));
    FTranscoder.store(started);
}

void TVmServer::RestartListening() {
    if (!FRestartThread) {
        FRestartThread =
            std::make_unique<TSignalThread>("RestartThread", [this](TSignalThread&) { Restart(); });
    }
    FRestartThread->Signal();
}

void TVmServer::Restart() {
    // A requested port of 0 (the system picks one) is reported as the port actually used.
    const uint16_t oldPort =
        FXMLServer->ListeningPort() ? FXMLServer->ListeningPort() : FXMLServer->Port;
    LogText("Stopped listening on TCP port: " + std::to_string(oldPort));
    FXMLServer->StopListening();
    const auto port = static_cast<uint16_t>(GetServerPort());
    FXMLServer->Port = port;
    const bool listening = FXMLServer->Start();
    LogResult("Starting server using TCP port " +
                  std::to_string(listening ? FXMLServer->ListeningPort() : port),
              listening, FXMLServer->ErrorText());
}

void TVmServer::Broadcast(TXMLPacketPtr packet) {
    TSharedLock guard(FServerGuard);
    if (packet && FXMLServer) {
        FXMLServer->Broadcast(*packet);
    }
}

void TVmServer::ClientConnected(TVmClient& client) {
    client.Challenge = GUIDToString(NewGUID());
    try {
        TXMLPacketPtr info = NewPacket("serverinfo");
        TXMLUnicode& doc = info->Document;
        doc.AddElement("version", VersionText("v"));
        doc.AddInteger("protocolversion", ProtocolVersion);
        {
            TLock lock(*FEngine);
            const TVmEngineSettings& settings = FEngine->Settings();
            doc.AddElement("name", settings.Name);
            doc.AddElement("location", settings.Loc);
            doc.AddElement("description", settings.Desc);
        }
        doc.AddElement("uid", client.Challenge);
        if (!client.Send(std::move(info))) {
            throw std::runtime_error("the connection closed");
        }
    } catch (const std::exception& e) {
        LogText(std::string("Error in Send Server Info: ") + e.what());
    }
    LogText("Client connected: " + client.PeerAddress());
}

void TVmServer::ClientDisconnected(TVmClient& client) {
    LogText("Client disconnected: " + client.PeerAddress());
}

TXMLPacketPtr TVmServer::Login(TVmClient& client, TXMLPacket& packet) {
    if (!SameDigest(packet.Subtype, ExpectedDigest(client.Challenge))) {
        // Slows down guessing; the connection stays open for another try.
        std::this_thread::sleep_for(std::chrono::milliseconds(LoginFailurePauseMs));
        return MessageReply(false, "Handshake failed.");
    }
    client.LoggedIn.store(true);
    return MessageReply(true, std::string(), "login");
}

void TVmServer::PacketReceived(TXMLClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
    auto* vmClient = dynamic_cast<TVmClient*>(&client);
    if (!vmClient) {
        return;
    }
    if (packet.Type == "login") {
        reply = Login(*vmClient, packet);
        return;
    }
    if (!vmClient->LoggedIn.load()) {
        client.Disconnect();
        return;
    }
    try {
        RunCommand(*vmClient, packet, reply);
    } catch (const std::exception& e) {
        reply.reset();
        LogText("Error in OnXMLPacket: " + packet.Type + "(" + e.what() + ")");
    }
}

void TVmServer::SaveTemplateFileNamesToXML(TXMLUnicode& doc) const {
    doc.OpenElement("templates");
    try {
        // Plain file names of the template folder only: never a path, never a sub-folder.
        std::vector<std::string> names = port::ListFiles(TemplateFolder(), "*.[hH][tT][mM][lL]");
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            doc.AddElement("template", name);
        }
    } catch (const std::exception& e) {
        LogText(std::string("Exception in SaveTemplateFileNamesToXML(): ") + e.what());
    }
    doc.CloseElement();
}

void TVmServer::SendConfig(TVmClient& client) {
    TXMLPacketPtr config = NewPacket("config");
    FEngine->SaveToXML(config->Document);
    TVmTarget::HideSecrets(config->Document.Root());
    SaveTemplateFileNamesToXML(config->Document);
    client.Send(std::move(config));
}

void TVmServer::SendTaskList(TVmClient& client) {
    // The reply takes its place among the pushes before the first task is read: a change made
    // while the list is put together reaches the manager after the list, so whichever tasks
    // the list caught, the manager ends with every task as it is. (A task added meanwhile is
    // announced behind the list; one removed meanwhile is removed behind it.)
    TXMLReservation reply = FXMLServer->Reserve(client);
    TXMLPacketStream packet("tasklist", "tasks");
    if (TVmTaskList* list = FEngine->TaskList()) {
        const auto write = [&packet](const TTaskItem& task) {
            task.SaveToXML(packet.NewItem("task"));
            packet.AddItem();
        };
        for (uint64_t after = 0; (after = list->VisitTasks(after, TaskListSlice, write)) != 0;) {
        }
    }
    reply.Complete(packet.Finish());
}

// Besides the commands every manager speaks, the table holds "requeuetask", which operators'
// tools send to retry failed and cancelled clips:
//   request  "requeuetask" with one "uid" child per task (like "remtask");
//   effect   for each failed or cancelled task whose job has ended, its file moves from where
//            the job filed it ("Failed", "Cancelled", or "Queued" for a task cancelled before
//            it ran) back into its source's watch folder, never over a file of the same name,
//            and the task leaves the list; the folder monitor takes the file again as new media
//            (a new task, announced with "task"). A task still waiting or running, finished,
//            unknown, or whose source or file is gone is refused and nothing of it moves;
//   answer   broadcast "remtask" with the uids requeued (when there are any), then to the
//            sender "msg" with subtype "requeuetask": "success" 1 when nothing was refused,
//            "message" a readable summary, "count" the tasks requeued, "refused" the others,
//            and a "refusal" element ("uid", "fname", "reason") for each of the first 100.
void TVmServer::AddCommands() {
    FCommands = {
        {"getconfig", [this](TVmCommand& command) { SendConfig(command.Client); }},
        {"setengine", [this](TVmCommand& command) { SetEngine(command); }},
        {"remfailed",
         [this](TVmCommand& command) {
             RemoveDoneTasks(*this, command, tsFailed, &TVmTaskList::RemoveFailed);
         }},
        {"remcomp",
         [this](TVmCommand& command) {
             RemoveDoneTasks(*this, command, tsFinished, &TVmTaskList::RemoveFinished);
         }},
        {"remcan",
         [this](TVmCommand& command) {
             RemoveDoneTasks(*this, command, tsCancelled, &TVmTaskList::RemoveCancelled);
         }},
        {"remtask", [this](TVmCommand& command) { RemoveTasks(*this, command); }},
        {"cantask", [this](TVmCommand& command) { CancelTasks(*this, command); }},
        {"requeuetask", [this](TVmCommand& command) { RequeueTasks(*this, command); }},
        {"setprior", [this](TVmCommand& command) { SetPriority(*this, command); }},
        // "farmstatus": answered with "msg", subtype "farmstatus": "success" 0 and the reason
        // when this engine is in no farm or its database cannot be read; see FarmStatus.
        {"farmstatus", [this](TVmCommand& command) { FarmStatus(command); }},
    };
    // Add, set and delete for every kind of configured object.
    const auto addKind = [this](const TObjectNames& names, auto items, auto remove) {
        AddObjectCommands(FCommands, *this, names, items, remove);
    };
    addKind(SourceNames, &TVmEngine::Sources, &TVmEngine::DeleteSource);
    addKind(ProcessorNames, &TVmEngine::Processors, &TVmEngine::DeleteProcessor);
    addKind(TargetNames, &TVmEngine::Targets, &TVmEngine::DeleteTarget);
    addKind(ProjectNames, &TVmEngine::Projects, &TVmEngine::DeleteProject);
    addKind(UserNames, &TVmEngine::Users, &TVmEngine::DeleteUser);
}

void TVmServer::RunCommand(TVmClient& client, TXMLPacket& packet, TXMLPacketPtr& reply) {
    if (packet.Type == "gettasklist") {
        // Reads the task list in slices under its own lock; the engine's has no part in it.
        SendTaskList(client);
        return;
    }
    TLock lock(*FEngine);
    const auto handler = FCommands.find(packet.Type);
    // Every other type, "noop" among them, is left unanswered.
    if (handler != FCommands.end()) {
        TVmCommand command{client, packet, reply};
        handler->second(command);
    }
}

void TVmServer::FarmStatus(TVmCommand& command) {
    TXMLPacketPtr reply = NewPacket("msg", "farmstatus");
    TXMLUnicode& doc = reply->Document;
    IVmFarm* farm = FEngine->Farm();
    std::string message = "This engine is not in a farm (no \"farmdb\" is set).";
    // One "record" per engine (uid, name, host, folder, port, lease, heartbeat: seconds since
    // its last renewal, alive, self, running, finished, failed, cancelled), "count" the tasks
    // waiting in the farm.
    const bool success = farm && farm->WriteStatus(doc, message);
    doc.AddBoolean("success", success);
    doc.AddElement("message", message);
    command.Reply = std::move(reply);
}

void TVmServer::SetEngine(TVmCommand& command) {
    command.Packet.Document.GotoRoot();
    TVmEngineSettings current;
    {
        TLock lock(*FEngine);
        current = FEngine->Settings();
    }
    const TVmEngineSettings settings = TVmEngine::ReadSettings(command.Packet.Document, current);
    if (const std::string problem = TVmEngine::SettingsProblem(settings); !problem.empty()) {
        // Nothing is taken; the sender's copy is set back to what the engine keeps.
        LogText("Refused \"setengine\" from " + command.Client.PeerAddress() + ": " + problem);
        SendConfig(command.Client);
        command.Reply = MessageReply(false, "Engine settings refused: " + problem);
        return;
    }
    bool portChanged = false;
    FEngine->ApplySettings(settings, portChanged);
    SaveConfig();
    if (portChanged) {
        RestartListening();
    }
    command.Reply = MessageReply(true, std::string());
}

void TVmServer::ReportState(TXMLServer& server) {
    TVmTaskList* list = FEngine->TaskList();
    const int32_t queued = list ? list->QueuedCount() : 0;
    const int32_t active = list ? list->BusyCount() : 0;
    const TVmTranscoder* transcoder = FTranscoder.load();
    const int32_t failed = transcoder ? transcoder->FailureCount() : 0;
    if (queued == FLastQueued && active == FLastActive && failed == FLastFailed) {
        return;
    }
    FLastQueued = queued;
    FLastActive = active;
    FLastFailed = failed;
    TXMLPacketPtr state = NewPacket("serverstate");
    state->Document.AddInteger("queued", queued);
    state->Document.AddInteger("active", active);
    state->Document.AddInteger("failed", failed);
    state->CollapseKey = "serverstate";
    // The tick runs on the server's own thread: the server is alive, and taking the server
    // guard here would invert the order the other pushes take.
    server.Broadcast(*state);
}

void TVmServer::DropLateLogins(TXMLServer& server) {
    const uint32_t limit = LoginTimeout.load();
    for (int i = 0; i < server.Count(); ++i) {
        auto* client = dynamic_cast<TVmClient*>(server.Connection(i));
        if (client && !client->LoggedIn.load() && !client->Closing() && client->Age() > limit) {
            LogText("Client " + client->PeerAddress() + " did not log in within " +
                    std::to_string(limit) + " ms; connection closed");
            client->Disconnect();
        }
    }
}

void TVmServer::TaskEvent(int32_t code, TTaskItem* task) {
    if (!task || (code != 102 && code != 103 && code != 104)) {
        return;
    }
    TLock order(FTaskPushLock);
    TXMLPacketPtr packet = NewPacket(code == 104 ? "taskstate" : "task");
    if (code == 104) {
        task->SaveStateToXML(packet->Document);
        // A manager behind on its pushes needs only the newest state of each task.
        packet->CollapseKey = "taskstate " + GUIDToString(task->Uid());
    } else {
        task->SaveToXML(packet->Document);
    }
    Broadcast(std::move(packet));
}
