#include "manager/model/lmEngine.h"

#include <algorithm>
#include <chrono>

#include "foundation/kxLoginDigest.h"
#include "manager/model/lmManager.h"

namespace manager {

namespace {

// The children of `parent` named `name`, in document order.
template <class TVisit>
void ForEachChild(const TXMLElement* parent, std::string_view name, TVisit visit) {
    for (int i = 0; parent && i < parent->ChildCount(); ++i) {
        TXMLElement* child = parent->Children(i);
        if (child->Name == name) {
            visit(child);
        }
    }
}

// The "uid" children of the root, each a GUID (an invalid one is the null GUID).
std::vector<TGUID> UidChildren(TXMLPacket& packet) {
    std::vector<TGUID> uids;
    ForEachChild(packet.Document.Root(), "uid",
                 [&uids](TXMLElement* child) { uids.push_back(child->Text.AsGUID(NullGUID)); });
    return uids;
}

// A packet of the type naming each task in a "uid" child.
TXMLPacketPtr TaskPacket(const char* type, const std::vector<TGUID>& uids) {
    TXMLPacketPtr packet = NewPacket(type);
    for (const TGUID& uid : uids) {
        packet->Document.AddGUID("uid", uid);
    }
    return packet;
}

uint32_t ValidPort(int32_t port) {
    return port >= 1 && port <= 65535 ? static_cast<uint32_t>(port) : TEngine::DefaultPort;
}

}  // namespace

std::string ConnectionStateText(uint8_t state) {
    static const char* const texts[] = {"---",   "Connecting...", "Disconnected", "Handshake",
                                        "Error", "Connected",     "Shutdown"};
    return state < std::size(texts) ? texts[state] : std::string();
}

// The connection: the frames a peer may send stay small until the login has succeeded.
class TEngine::TClient : public TXMLClient {
  public:
    explicit TClient(const std::atomic<bool>& loggedIn) : FLoggedIn(loggedIn) {}

  protected:
    int32_t FrameLengthLimit() const override {
        return FLoggedIn.load() ? MaxFrameLength : HandshakeFrameLength;
    }

  private:
    const std::atomic<bool>& FLoggedIn;
};

TEngine::TEngine(TManager* manager)
    : FManager(manager), FClient(std::make_unique<TClient>(FLoggedIn)) {
    FClient->SetAutoReconnect(true);
    FClient->OnConnected = [this](TXMLClient&) { Connected(); };
    FClient->OnConnectFailed = [this](TXMLClient&) { ++FFailedConnects; };
    FClient->OnDisconnected = [this](TXMLClient&) { ConnectionLost(); };
    FClient->OnReconnect = [this](TXMLClient&) { ReconnectDue(); };
    FClient->OnPacket = [this](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
        PacketReceived(packet);
    };
}

TEngine::~TEngine() {
    Shutdown();
    // No reader runs any more: the connection goes before the mirror its handlers fill.
    FClient.reset();
    // A reconnect handed out while the engine shut down may have chained one more request,
    // which ends at once; it must have ended before the members it reads go.
    FChain.WaitIdle();
}

// ---------------------------------------------------------------------------------------------
// State

std::string TEngine::StatusText() const {
    TLock lock(FSettingsLock);
    return FStatusText;
}

void TEngine::SetConnectionState(uint8_t state) {
    if (FState.exchange(state) != state) {
        Notify(ntEngineState, this);
    }
}

void TEngine::SetStatusText(const std::string& text) {
    {
        TLock lock(FSettingsLock);
        if (FStatusText == text) {
            return;
        }
        FStatusText = text;
    }
    Notify(ntEngineState, this);
}

bool TEngine::ChangeState(uint8_t to, int from) {
    uint8_t current = FState.load();
    do {
        if (current == csShutdown || (from >= 0 && current != from)) {
            return false;
        }
    } while (!FState.compare_exchange_weak(current, to));
    if (current != to) {
        Notify(ntEngineState, this);
    }
    return true;
}

TEngineSettings TEngine::Settings() const {
    TLock lock(FSettingsLock);
    return FSettings;
}

void TEngine::SetSettings(const TEngineSettings& settings) {
    TLock lock(FSettingsLock);
    FSettings = settings;
}

void TEngine::SetName(const std::string& name) {
    TLock lock(FSettingsLock);
    FSettings.Name = name;
}

void TEngine::SetHost(const std::string& host) {
    TLock lock(FSettingsLock);
    FSettings.Host = host;
}

void TEngine::SetPort(uint32_t port) {
    TLock lock(FSettingsLock);
    FSettings.Port = port;
}

void TEngine::SetLocation(const std::string& location) {
    TLock lock(FSettingsLock);
    FSettings.Loc = location;
}

std::string TEngine::ServerVersion() const {
    TLock lock(FSettingsLock);
    return FServerVersion;
}

void TEngine::Notify(int32_t code, TModelObject* object) {
    if (FManager) {
        FManager->Notify(code, object);
    }
}

// ---------------------------------------------------------------------------------------------
// Connecting

void TEngine::Connect() {
    uint8_t current = FState.load();
    do {
        if (current == csConnecting || current == csConnected || current == csShutdown) {
            return;
        }
    } while (!FState.compare_exchange_weak(current, csConnecting));
    Notify(ntEngineState, this);
    SetStatusText(ConnectingText);
    RequestConnect(0, FConnectGeneration.load());
}

void TEngine::RequestConnect(uint32_t delayMs, uint64_t generation) {
    FChain.Request([this, delayMs, generation] {
        if (delayMs > 0) {
            TLock lock(FPauseLock);
            FPauseChanged.WaitFor(lock, std::chrono::milliseconds(delayMs), [&] {
                return FShutdown.load() || FConnectGeneration.load() != generation;
            });
        }
        // A disconnect or shut-down since the request cancels it.
        if (FShutdown.load() || FConnectGeneration.load() != generation) {
            return;
        }
        if (delayMs > 0) {
            Connect();
            return;
        }
        const TEngineSettings settings = Settings();
        FClient->Connect(settings.Host, static_cast<uint16_t>(settings.Port));
    });
}

void TEngine::Disconnect() {
    {
        TLock lock(FPauseLock);
        ++FConnectGeneration;
    }
    FPauseChanged.NotifyAll();
    const uint8_t state = FState.load();
    if (state != csNeverConnected && state != csDisconnected) {
        ChangeState(csDisconnected);
    }
    // The connection is closed on the chain, after any connect requested before.
    FChain.Request([this] { FClient->Disconnect(); });
}

void TEngine::Shutdown() {
    FState.store(csShutdown);
    {
        TLock lock(FPauseLock);
        FShutdown.store(true);
        ++FConnectGeneration;
    }
    FPauseChanged.NotifyAll();
    FChain.Request([this] { FClient->Disconnect(); });
    // The reader may be waiting for the main thread to take a notice while it ends.
    INoticeDispatcher* dispatcher = FManager ? &FManager->Dispatcher() : nullptr;
    if (dispatcher && dispatcher->IsMainThread()) {
        FChain.WaitIdle([dispatcher] { dispatcher->DeliverPending(); });
    } else {
        FChain.WaitIdle();
    }
}

bool TEngine::IsConnected() {
    FClient->Lock();
    const bool connected = FClient->Connected();
    FClient->Unlock();
    return connected;
}

void TEngine::Connected() {
    ChangeState(csHandshake, csConnecting);
}

void TEngine::ConnectionLost() {
    FLoggedIn.store(false);
    FConfigurationRead.store(false);
    ChangeState(csDisconnected);
    Notify(ntConnectionLost, this);
}

void TEngine::ReconnectDue() {
    if (FShutdown.load()) {
        return;
    }
    FLoggedIn.store(false);
    ChangeState(csDisconnected);
    // The pause runs on the chain, not on the transport's reconnect thread, which every
    // connection of the process shares.
    RequestConnect(ReconnectPauseMs, FConnectGeneration.load());
}

// ---------------------------------------------------------------------------------------------
// Settings and commands

void TEngine::Assign(const TEngine& other) {
    const TEngineSettings settings = other.Settings();
    const std::string secret = other.Secret();
    TLock lock(FSettingsLock);
    FSettings = settings;
    FSecret = secret;
}

void TEngine::LoadFromXML(TXMLUnicode& doc) {
    TLock lock(FSettingsLock);
    FSettings.Name = doc.ChildText("name").AsString();
    FSettings.Loc = doc.ChildText("loc").AsString();
    FSettings.Desc = doc.ChildText("desc").AsString();
    FSettings.Host = doc.ChildText("host").AsString();
    FSettings.Port = ValidPort(doc.ChildText("port").AsInteger(DefaultPort));
    FSecret = doc.ChildText("secret").AsString();
}

void TEngine::SaveToXML(TXMLUnicode& doc) const {
    const TEngineSettings s = Settings();
    doc.AddElement("name", s.Name);
    doc.AddElement("loc", s.Loc);
    doc.AddElement("desc", s.Desc);
    doc.AddElement("host", s.Host);
    doc.AddInteger("port", static_cast<int32_t>(s.Port));
    doc.AddElement("shost", s.SHost);
    doc.AddInteger("sport", s.SPort);
    doc.AddElement("slogin", s.SLogin);
    doc.AddElement("spassword", s.SPassword);
    doc.AddElement("sfromname", s.SFromName);
    doc.AddElement("sfromemail", s.SFromEmail);
    doc.AddInteger("threads", s.Threads);
}

void TEngine::SaveEntryToXML(TXMLUnicode& doc) const {
    SaveToXML(doc);
    const std::string secret = Secret();
    if (!secret.empty()) {
        doc.AddElement("secret", secret);
    }
}

bool TEngine::SendCommand(const std::string& type) {
    return SendPacket(NewPacket(type));
}

bool TEngine::SendPacket(TXMLPacketPtr packet) {
    if (!packet) {
        return false;
    }
    // Under the send lock, so that a connect on another thread cannot swap the socket between
    // the check and the send.
    FClient->Lock();
    const bool sent = FClient->Send(std::move(packet));
    FClient->Unlock();
    return sent;
}

template <class T>
bool TEngine::ApplyObject(const char* command, const T& edited, TModelList<T>& list) {
    TXMLPacketPtr packet = NewPacket(command, GUIDToString(edited.Uid));
    edited.SaveToXML(packet->Document);
    if (!SendPacket(std::move(packet))) {
        return false;
    }
    TLock lock(FMirrorLock);
    if (T* object = list.FindByUid(edited.Uid)) {
        object->Assign(edited);
    }
    return true;
}

bool TEngine::Apply(const TUser& edited) {
    return ApplyObject("setuser", edited, FUsers);
}

bool TEngine::Apply(const TProject& edited) {
    return ApplyObject("setproject", edited, FProjects);
}

bool TEngine::Apply(const TTarget& edited) {
    return ApplyObject("settarget", edited, FTargets);
}

bool TEngine::Apply(const TProcessor& edited) {
    return ApplyObject("setprocessor", edited, FProcessors);
}

bool TEngine::Apply(const TSource& edited) {
    return ApplyObject("setsource", edited, FSources);
}

bool TEngine::ApplySettings(const TEngineSettings& settings) {
    SetSettings(settings);
    TXMLPacketPtr packet = NewPacket("setengine");
    SaveToXML(packet->Document);
    return SendPacket(std::move(packet));
}

bool TEngine::CancelTasks(const std::vector<TGUID>& uids) {
    return SendPacket(TaskPacket("cantask", uids));
}

bool TEngine::RemoveTasks(const std::vector<TGUID>& uids) {
    return SendPacket(TaskPacket("remtask", uids));
}

bool TEngine::RequeueTasks(const std::vector<TGUID>& uids) {
    return SendPacket(TaskPacket("requeuetask", uids));
}

bool TEngine::SetTaskPriority(const std::vector<TGUID>& uids, int32_t priority) {
    TXMLPacketPtr packet = TaskPacket("setprior", uids);
    packet->Document.GotoRoot();
    packet->Document.AddAttributeInteger("priority", priority);
    return SendPacket(std::move(packet));
}

TCommandAnswer TEngine::LastAnswer() const {
    TLock lock(FSettingsLock);
    return FLastAnswer;
}

std::string TEngine::Secret() const {
    TLock lock(FSettingsLock);
    return FSecret;
}

void TEngine::SetSecret(const std::string& secret) {
    TLock lock(FSettingsLock);
    FSecret = secret;
}

// ---------------------------------------------------------------------------------------------
// Packets

const std::unordered_map<std::string, TEngine::THandler>& TEngine::Handlers() {
    static const std::unordered_map<std::string, THandler> handlers = {
        {"config", &TEngine::ReadConfig},
        {"tasklist", &TEngine::ReadTaskList},
        {"task", &TEngine::ReadTask},
        {"taskstate", &TEngine::ReadTaskState},
        {"serverstate", &TEngine::ReadServerState},
        {"user", &TEngine::ReadUser},
        {"project", &TEngine::ReadProject},
        {"target", &TEngine::ReadTarget},
        {"processor", &TEngine::ReadProcessor},
        {"source", &TEngine::ReadSource},
        {"deluser", &TEngine::DeleteUser},
        {"delproj", &TEngine::DeleteProject},
        {"deltarget", &TEngine::DeleteTarget},
        {"delproc", &TEngine::DeleteProcessor},
        {"delsource", &TEngine::DeleteSource},
        {"remfailed", &TEngine::RemoveFailed},
        {"remcan", &TEngine::RemoveCancelled},
        {"remcomp", &TEngine::RemoveCompleted},
        {"remtask", &TEngine::RemoveTasks},
        {"setprior", &TEngine::SetPriority},
    };
    return handlers;
}

void TEngine::PacketReceived(TXMLPacket& packet) {
    ++FPacketsHandled;
    packet.Document.GotoRoot();
    if (packet.Type == "serverinfo") {
        ServerInfo(packet);
        return;
    }
    if (packet.Type == "msg") {
        if (FLoggedIn.load() && packet.Subtype != "login") {
            ReadAnswer(packet);
        } else {
            LoginReply(packet);
        }
        return;
    }
    if (!FLoggedIn.load()) {
        return;
    }
    const auto& handlers = Handlers();
    const auto handler = handlers.find(packet.Type);
    if (handler != handlers.end() && packet.Document.Root()) {
        (this->*handler->second)(packet);
    }
}

void TEngine::ServerInfo(TXMLPacket& packet) {
    // The greeting opens a connection; one arriving later is no greeting.
    const uint8_t state = FState.load();
    if (FLoggedIn.load() || (state != csHandshake && state != csConnecting)) {
        return;
    }
    TXMLUnicode& doc = packet.Document;
    const std::string version = doc.ChildText("version").AsString();
    {
        TLock lock(FSettingsLock);
        FServerVersion = version;
        FSettings.Name = doc.ChildText("name").AsString();
        FSettings.Loc = doc.ChildText("location").AsString();
    }
    const int32_t protocol = doc.ChildText("protocolversion").AsInteger(0);
    const std::string challenge = doc.ChildText("uid").AsRawString();
    // The text goes first, so that whoever sees the state also finds the reason.
    if (protocol != ProtocolVersion) {
        SetStatusText(MismatchText + version);
        ChangeState(csError);
        return;
    }
    std::string secret = Secret();
    if (secret.empty()) {
        secret = ControlSecret();
    }
    SendPacket(NewPacket("login", LoginDigest(secret, challenge)));
}

void TEngine::LoginReply(TXMLPacket& packet) {
    const bool success = packet.Document.ChildText("success").AsBoolean(false);
    const uint8_t state = FState.load();
    if (success && packet.Subtype == "login" && !FLoggedIn.load() &&
        (state == csHandshake || state == csConnecting)) {
        FLoggedIn.store(true);
        SetStatusText(std::string());
        ChangeState(csConnected);
        if (FManager && FManager->CurrentEngine() == this) {
            SendCommand("getconfig");
        }
        SendCommand("gettasklist");
    } else if (!success && (state == csHandshake || state == csConnecting)) {
        SetStatusText(HandshakeFailedText);
        ChangeState(csError);
    }
}

void TEngine::ReadAnswer(TXMLPacket& packet) {
    TXMLUnicode& doc = packet.Document;
    if (!doc.Root()) {
        return;
    }
    TCommandAnswer answer;
    answer.Command = packet.Subtype;
    answer.Success = doc.ChildText("success").AsBoolean(false);
    answer.Message = doc.ChildText("message").AsString();
    answer.Count = doc.ChildText("count").AsInteger(0);
    answer.Refused = doc.ChildText("refused").AsInteger(0);
    ForEachChild(doc.Root(), "refusal", [&](TXMLElement* item) {
        if (answer.Refusals.size() >= MaxRefusals) {
            return;
        }
        doc.SetCurrent(item);
        answer.Refusals.push_back({doc.ChildText("uid").AsGUID(NullGUID),
                                   doc.ChildText("fname").AsString(),
                                   doc.ChildText("reason").AsString()});
    });
    doc.GotoRoot();
    {
        TLock lock(FSettingsLock);
        FLastAnswer = std::move(answer);
    }
    Notify(ntCommandAnswered, this);
}

void TEngine::ReadSettings(TXMLUnicode& doc) {
    TLock lock(FSettingsLock);
    FSettings.Name = doc.ChildText("name").AsString();
    FSettings.Loc = doc.ChildText("loc").AsString();
    FSettings.Desc = doc.ChildText("desc").AsString();
    FSettings.SHost = doc.ChildText("shost").AsString();
    FSettings.SPort = doc.ChildText("sport").AsInteger(DefaultMailPort);
    FSettings.SLogin = doc.ChildText("slogin").AsString();
    FSettings.SPassword = doc.ChildText("spassword").AsString();
    FSettings.SFromName = doc.ChildText("sfromname").AsString();
    FSettings.SFromEmail = doc.ChildText("sfromemail").AsString();
    FSettings.Threads = doc.ChildText("threads").AsInteger(DefaultThreads);
}

namespace {

// Reads every item element of the list element below the root into `list`, at most `limit`.
template <class T, class TMake>
void ReadList(TXMLUnicode& doc, const char* listName, const char* itemName, TModelList<T>& list,
              TMake make) {
    const TXMLElement* container = doc.Root()->FindChild(listName);
    ForEachChild(container, itemName, [&](TXMLElement* item) {
        if (list.Count() >= TEngine::MaxObjects) {
            return;
        }
        std::unique_ptr<T> object = make();
        doc.SetCurrent(item);
        object->LoadFromXML(doc);
        list.Add(std::move(object));
    });
    doc.GotoRoot();
}

// Moves every object out of the list, to be freed once the change has been announced.
template <class T>
std::vector<std::unique_ptr<T>> TakeAll(TModelList<T>& list) {
    std::vector<std::unique_ptr<T>> taken;
    while (list.Count() > 0) {
        taken.push_back(list.Remove(list.Items(0)));
    }
    return taken;
}

}  // namespace

void TEngine::ReadConfig(TXMLPacket& packet) {
    TXMLUnicode& doc = packet.Document;
    // The old objects live until the new configuration has been announced, so a view that
    // still shows them never shows freed objects.
    std::vector<std::unique_ptr<TUser>> oldUsers;
    std::vector<std::unique_ptr<TProject>> oldProjects;
    std::vector<std::unique_ptr<TTarget>> oldTargets;
    std::vector<std::unique_ptr<TProcessor>> oldProcessors;
    std::vector<std::unique_ptr<TSource>> oldSources;
    {
        TLock lock(FMirrorLock);
        oldUsers = TakeAll(FUsers);
        oldProjects = TakeAll(FProjects);
        oldTargets = TakeAll(FTargets);
        oldProcessors = TakeAll(FProcessors);
        oldSources = TakeAll(FSources);
        ReadSettings(doc);
        ReadList(doc, "users", "user", FUsers, [] { return std::make_unique<TUser>(); });
        ReadList(doc, "projects", "project", FProjects,
                 [this] { return std::make_unique<TProject>(&FUsers); });
        ReadList(doc, "targets", "target", FTargets, [] { return std::make_unique<TTarget>(); });
        ReadList(doc, "processors", "proc", FProcessors,
                 [this] { return std::make_unique<TProcessor>(&FTargets); });
        ReadList(doc, "sources", "source", FSources,
                 [this] { return std::make_unique<TSource>(&FProcessors, &FProjects); });
        FTemplateNames.clear();
        ForEachChild(doc.Root()->FindChild("templates"), "template", [this](TXMLElement* item) {
            if (static_cast<int32_t>(FTemplateNames.size()) < MaxTemplates) {
                FTemplateNames.push_back(item->Text.AsString());
            }
        });
    }
    FConfigurationRead.store(true);
    Notify(ntConfigRead, this);
}

template <class T>
void TEngine::ReadObject(TXMLPacket& packet, TModelList<T>& list, std::unique_ptr<T> fresh,
                         int32_t updated, int32_t added) {
    TGUID uid;
    if (!StringToGUID(packet.Subtype, uid)) {
        return;
    }
    TXMLUnicode& doc = packet.Document;
    T* object = nullptr;
    int32_t code = updated;
    {
        TLock lock(FMirrorLock);
        object = list.FindByUid(uid);
        if (!object) {
            if (list.Count() >= MaxObjects) {
                return;
            }
            object = list.Add(std::move(fresh));
            code = added;
        }
        object->LoadFromXML(doc);
        // The packet names the object; a body that says otherwise does not change its identity.
        object->Uid = uid;
    }
    Notify(code, object);
}

void TEngine::ReadUser(TXMLPacket& packet) {
    ReadObject(packet, FUsers, NewUser(), ntUserUpdated, ntUserAdded);
}

void TEngine::ReadProject(TXMLPacket& packet) {
    ReadObject(packet, FProjects, NewProject(), ntProjectUpdated, ntProjectAdded);
}

void TEngine::ReadTarget(TXMLPacket& packet) {
    ReadObject(packet, FTargets, NewTarget(), ntTargetUpdated, ntTargetAdded);
}

void TEngine::ReadProcessor(TXMLPacket& packet) {
    ReadObject(packet, FProcessors, NewProcessor(), ntProcessorUpdated, ntProcessorAdded);
}

void TEngine::ReadSource(TXMLPacket& packet) {
    ReadObject(packet, FSources, NewSource(), ntSourceUpdated, ntSourceAdded);
}

namespace {

// Takes the object the subtype names out of the list after `clearReferences` has removed
// every reference to it; empty when there is none.
template <class T, class TClear>
std::unique_ptr<T> TakeNamed(TXMLPacket& packet, TModelList<T>& list, TClear clearReferences) {
    TGUID uid;
    if (!StringToGUID(packet.Subtype, uid)) {
        return nullptr;
    }
    T* object = list.FindByUid(uid);
    if (!object) {
        return nullptr;
    }
    clearReferences(uid);
    return list.Remove(object);
}

}  // namespace

void TEngine::DeleteUser(TXMLPacket& packet) {
    std::unique_ptr<TUser> user;
    {
        TLock lock(FMirrorLock);
        user = TakeNamed(packet, FUsers, [this](const TGUID& uid) {
            for (const auto& project : FProjects.All()) {
                project->RemoveUser(uid);
            }
        });
    }
    if (user) {
        Notify(ntUserDeleted, user.get());
    }
}

void TEngine::DeleteProject(TXMLPacket& packet) {
    std::unique_ptr<TProject> project;
    {
        TLock lock(FMirrorLock);
        project = TakeNamed(packet, FProjects, [this](const TGUID& uid) {
            for (const auto& source : FSources.All()) {
                if (source->ProjectUid == uid) {
                    source->ProjectUid = NullGUID;
                }
            }
        });
    }
    if (project) {
        Notify(ntProjectDeleted, project.get());
    }
}

void TEngine::DeleteTarget(TXMLPacket& packet) {
    std::unique_ptr<TTarget> target;
    {
        TLock lock(FMirrorLock);
        target = TakeNamed(packet, FTargets, [this](const TGUID& uid) {
            for (const auto& processor : FProcessors.All()) {
                processor->RemoveTarget(uid);
            }
        });
    }
    if (target) {
        Notify(ntTargetDeleted, target.get());
    }
}

void TEngine::DeleteProcessor(TXMLPacket& packet) {
    std::unique_ptr<TProcessor> processor;
    {
        TLock lock(FMirrorLock);
        processor = TakeNamed(packet, FProcessors, [this](const TGUID& uid) {
            for (const auto& source : FSources.All()) {
                if (source->ProcessorUid == uid) {
                    source->ProcessorUid = NullGUID;
                }
            }
        });
    }
    if (processor) {
        Notify(ntProcessorDeleted, processor.get());
    }
}

void TEngine::DeleteSource(TXMLPacket& packet) {
    std::unique_ptr<TSource> source;
    {
        TLock lock(FMirrorLock);
        source = TakeNamed(packet, FSources, [](const TGUID&) {});
    }
    if (source) {
        Notify(ntSourceDeleted, source.get());
    }
}

// ---------------------------------------------------------------------------------------------
// Tasks

TTaskItem* TEngine::Tasks(int32_t index) const {
    TLock lock(FTaskLock);
    return index >= 0 && index < TaskCount() ? FTasks[static_cast<size_t>(index)].get() : nullptr;
}

TTaskItem* TEngine::FindTask(const TGUID& uid) const {
    TLock lock(FTaskLock);
    const auto found = FTaskIndex.find(uid);
    return found == FTaskIndex.end() ? nullptr : found->second;
}

void TEngine::AddTaskLocked(std::unique_ptr<TTaskItem> task) {
    FTaskIndex.emplace(task->Uid, task.get());
    FTasks.push_back(std::move(task));
}

void TEngine::ReadTaskList(TXMLPacket& packet) {
    std::vector<std::unique_ptr<TTaskItem>> old;
    {
        TLock lock(FTaskLock);
        old.swap(FTasks);
        FTaskIndex.clear();
    }
    Notify(ntTaskListCleared, this);
    old.clear();
    TXMLUnicode& doc = packet.Document;
    {
        TLock lock(FTaskLock);
        ForEachChild(doc.Root()->FindChild("tasks"), "task", [&](TXMLElement* item) {
            auto task = std::make_unique<TTaskItem>(this);
            doc.SetCurrent(item);
            task->LoadFromXML(doc);
            if (TTaskItem* existing = FindTask(task->Uid)) {
                existing->Assign(*task);
            } else if (!task->Uid.IsNull() && TaskCount() < MaxTasks) {
                AddTaskLocked(std::move(task));
            }
        });
        doc.GotoRoot();
    }
    Notify(ntTaskListRead, this);
}

void TEngine::ReadTask(TXMLPacket& packet) {
    auto task = std::make_unique<TTaskItem>(this);
    task->LoadFromXML(packet.Document);
    if (task->Uid.IsNull()) {
        return;
    }
    TTaskItem* notified = nullptr;
    int32_t code = ntTaskChanged;
    {
        TLock lock(FTaskLock);
        notified = FindTask(task->Uid);
        if (notified) {
            notified->Assign(*task);
        } else if (TaskCount() < MaxTasks) {
            notified = task.get();
            code = ntTaskAdded;
            AddTaskLocked(std::move(task));
        }
    }
    if (notified) {
        Notify(code, notified);
    }
}

void TEngine::ReadTaskState(TXMLPacket& packet) {
    const TGUID uid = packet.Document.ChildText("uid").AsGUID(NullGUID);
    TTaskItem* task = nullptr;
    bool stateChanged = false;
    {
        TLock lock(FTaskLock);
        task = FindTask(uid);
        if (task) {
            stateChanged = task->LoadStateFromXML(packet.Document);
        }
    }
    if (task) {
        Notify(ntTaskChanged, task);
        if (stateChanged) {
            Notify(ntTaskStateChanged, nullptr);
        }
    }
}

void TEngine::ReadServerState(TXMLPacket& packet) {
    TXMLUnicode& doc = packet.Document;
    FQueuedCount.store(doc.ChildText("queued").AsInteger(0));
    FActiveCount.store(doc.ChildText("active").AsInteger(0));
    FFailedCount.store(doc.ChildText("failed").AsInteger(0));
    Notify(ntCountsChanged, this);
}

void TEngine::RemoveTasksInState(uint8_t state, int32_t code) {
    Notify(code, this);
    std::vector<std::unique_ptr<TTaskItem>> removed;
    {
        TLock lock(FTaskLock);
        auto done = std::stable_partition(FTasks.begin(), FTasks.end(), [state](const auto& task) {
            return task->State != state;
        });
        for (auto it = done; it != FTasks.end(); ++it) {
            FTaskIndex.erase((*it)->Uid);
            removed.push_back(std::move(*it));
        }
        FTasks.erase(done, FTasks.end());
    }
}

void TEngine::RemoveFailed(TXMLPacket&) {
    RemoveTasksInState(tsFailed, ntFailedRemoved);
}

void TEngine::RemoveCancelled(TXMLPacket&) {
    RemoveTasksInState(tsCancelled, ntCancelledRemoved);
}

void TEngine::RemoveCompleted(TXMLPacket&) {
    RemoveTasksInState(tsFinished, ntCompletedRemoved);
}

void TEngine::RemoveTasks(TXMLPacket& packet) {
    for (const TGUID& uid : UidChildren(packet)) {
        TTaskItem* task = FindTask(uid);
        if (!task) {
            continue;
        }
        Notify(ntTaskRemoved, task);
        std::unique_ptr<TTaskItem> removed;
        TLock lock(FTaskLock);
        const auto it = std::find_if(FTasks.begin(), FTasks.end(),
                                     [task](const auto& entry) { return entry.get() == task; });
        removed = std::move(*it);
        FTasks.erase(it);
        FTaskIndex.erase(uid);
    }
}

void TEngine::SetPriority(TXMLPacket& packet) {
    const int32_t priority = packet.Document.AttributeByName("priority").AsInteger(0);
    for (const TGUID& uid : UidChildren(packet)) {
        TTaskItem* task = nullptr;
        {
            TLock lock(FTaskLock);
            task = FindTask(uid);
            if (task) {
                task->Priority = priority;
            }
        }
        if (task) {
            Notify(ntTaskChanged, task);
        }
    }
}

}  // namespace manager
