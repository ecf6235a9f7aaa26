#include "server/core/lmVmEngine.h"

#include <unordered_map>
#include <unordered_set>

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/farm/lmVmFarmLink.h"
#include "server/ingest/kxFileUtils.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/transcode/lmVmTranscoder.h"

namespace {

// Children of the current element, each container holding its collection.
template <class TCollection>
void SaveContainer(TXMLUnicode& Doc, const char* Container, const TCollection& Items) {
    Doc.OpenElement(Container);
    Items.SaveToXML(Doc);
    Doc.CloseElement();
}

template <class TCollection>
void LoadContainer(TXMLUnicode& Doc, const char* Container, TCollection& Items) {
    Doc.PushPosition();
    if (Doc.SelectChild(Container, false)) {
        Items.LoadFromXML(Doc);
    }
    Doc.PopPosition();
}

// An address never holds blanks; those around it in a hand-edited store are dropped.
std::string TrimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

TVmEngine::TVmEngine(std::string Folder, std::string DataFolder)
    : FMailServer(std::make_unique<TMailServer>(Folder.empty() ? port::ExecutableFolder() : Folder,
                                                std::move(DataFolder))) {
    FProcessors.SetTargetLookup([this](const TGUID& uid) { return FindTarget(uid); });
    FSources.SetProcessorLookup([this](const TGUID& uid) { return FindProcessor(uid); });
    FSources.SetProjectLookup([this](const TGUID& uid) { return FindProject(uid); });
    // Called while a source activates, under the engine lock; the task list's lock follows.
    FSources.SetLiveFilesLookup([this](const std::string& folder) {
        TVmTaskList* list = FTaskList.load();
        return list ? list->LiveFileNames(folder) : std::vector<std::string>();
    });
    FSources.SetOnNewMedia(
        [this](const std::shared_ptr<TVmSource>& Source, std::unique_ptr<TSourceFileItem> Item) {
            NewMedia(Source, std::move(Item));
        });
}

TVmEngine::~TVmEngine() {
    FEventLinks.Disable();
    if (FFarm) {
        FFarm->StopClaiming();
    }
    if (FTranscoder) {
        // No source may queue into the task list once it is gone; running jobs end with it.
        DetachTaskList();
        if (FFarm) {
            // The jobs end while the farm still renews their leases and takes their commits.
            FTranscoder->TaskList().Pool().Shutdown();
            FFarm->Stop();
        }
        FTranscoder.reset();
    }
    FFarm.reset();
    ClearCollections();
}

void TVmEngine::SaveToXML(TXMLUnicode& Doc) const {
    SaveToXML(Doc, false);
}

void TVmEngine::SaveStoreToXML(TXMLUnicode& Doc) const {
    SaveToXML(Doc, true);
}

void TVmEngine::SaveToXML(TXMLUnicode& Doc, bool WithHostSettings) const {
    TLock lock(*this);
    Doc.AddElement("name", FSettings.Name);
    Doc.AddElement("loc", FSettings.Loc);
    Doc.AddElement("desc", FSettings.Desc);
    Doc.AddInteger("port", FSettings.Port);
    Doc.AddElement("shost", FSettings.SHost);
    Doc.AddInteger("sport", FSettings.SPort);
    Doc.AddElement("slogin", FSettings.SLogin);
    Doc.AddElement("spassword", FSettings.SPassword);
    Doc.AddElement("sfromname", FSettings.SFromName);
    Doc.AddElement("sfromemail", FSettings.SFromEmail);
    Doc.AddInteger("threads", FSettings.Threads);
    Doc.AddBoolean("smtpallowplain", FSettings.SmtpAllowPlain);
    Doc.AddElement("smtpcafile", FSettings.SmtpCAFile);
    Doc.AddElement("farmdb", FSettings.FarmDB);
    Doc.AddInteger("farmlease", FSettings.FarmLease);
    if (WithHostSettings && !FHostSettings.Secret.empty()) {
        Doc.AddElement("secret", FHostSettings.Secret);
    }
    if (WithHostSettings && !FHostSettings.Listen.empty()) {
        Doc.AddElement("listen", FHostSettings.Listen);
    }
    SaveContainer(Doc, "sources", FSources);
    SaveContainer(Doc, "processors", FProcessors);
    SaveContainer(Doc, "targets", FTargets);
    SaveContainer(Doc, "projects", FProjects);
    SaveContainer(Doc, "users", FUsers);
}

void TVmEngine::LoadSettings(TXMLUnicode& Doc, bool& PortChanged) {
    TVmEngineSettings current;
    {
        TLock lock(*this);
        current = FSettings;
    }
    const TVmEngineSettings settings = ReadSettings(Doc, current);
    if (const std::string problem = SettingsProblem(settings); !problem.empty()) {
        LogText("The engine settings have a fault: " + problem +
                "; notification mails wait until it is mended");
    }
    ApplySettings(settings, PortChanged);
}

TVmEngineSettings TVmEngine::ReadSettings(TXMLUnicode& Doc, const TVmEngineSettings& Current) {
    TVmEngineSettings s;
    s.Name = Doc.ChildText("name").AsString("");
    s.Loc = Doc.ChildText("loc").AsString("");
    s.Desc = Doc.ChildText("desc").AsString("");
    s.Port = Doc.ChildText("port").AsInteger(DefaultPort);
    // 0 means "not set"; a value that is no TCP port would make the server listen elsewhere.
    if (s.Port <= 0 || s.Port > 65535) {
        s.Port = DefaultPort;
    }
    s.SHost = Doc.ChildText("shost").AsString("");
    s.SPort = Doc.ChildText("sport").AsInteger(DefaultSmtpPort);
    s.SLogin = Doc.ChildText("slogin").AsString("");
    s.SPassword = Doc.ChildText("spassword").AsString("");
    s.SFromName = Doc.ChildText("sfromname").AsString("");
    s.SFromEmail = Doc.ChildText("sfromemail").AsString("");
    s.Threads = Doc.ChildText("threads").AsInteger(DefaultThreads);
    s.SmtpAllowPlain = Doc.ChildText("smtpallowplain").AsBoolean(false);
    s.SmtpCAFile = Doc.ChildText("smtpcafile").AsString("");
    // An empty "farmdb" turns farm mode off; only a missing one keeps it.
    const TXMLElement* element = Doc.Current();
    s.FarmDB = element && element->FindChild("farmdb") ? Doc.ChildText("farmdb").AsRawString()
                                                       : Current.FarmDB;
    s.FarmLease = Doc.ChildText("farmlease").AsInteger(Current.FarmLease);
    if (s.FarmLease < MinFarmLease || s.FarmLease > MaxFarmLease) {
        s.FarmLease = DefaultFarmLease;
    }
    return s;
}

std::string TVmEngine::SettingsProblem(const TVmEngineSettings& Settings) {
    if (!Settings.SFromEmail.empty()) {
        if (const std::string problem = smtp_format::AddressProblem(Settings.SFromEmail);
            !problem.empty()) {
            return "the sender address \"sfromemail\" (\"" +
                   smtp_format::Printable(Settings.SFromEmail) +
                   "\") is not a usable e-mail address: " + problem;
        }
    }
    const std::string& caFile = Settings.SmtpCAFile;
    if (!caFile.empty() && (caFile.front() != '/' || smtp_format::Printable(caFile) != caFile ||
                            !port::FileExists(caFile))) {
        return "the CA file \"smtpcafile\" (\"" + smtp_format::Printable(caFile) +
               "\") is not the absolute path of an existing file";
    }
    return {};
}

void TVmEngine::ApplySettings(const TVmEngineSettings& Settings, bool& PortChanged) {
    TLock lock(*this);
    PortChanged = Settings.Port != FSettings.Port;
    FSettings = Settings;
    if (FThreadCountHandler) {
        FThreadCountHandler(FSettings.Threads);
    }
    FMailServer->SetSmtpSettings(TSmtpSettings{
        FSettings.SHost, FSettings.SPort, FSettings.SLogin, FSettings.SPassword,
        FSettings.SFromName, FSettings.SFromEmail, FSettings.SmtpAllowPlain, FSettings.SmtpCAFile});
    if (FMailSettingsHandler) {
        FMailSettingsHandler(FSettings);
    }
}

void TVmEngine::LoadFromXML(TXMLUnicode& Doc) {
    TLock lock(*this);
    bool portChanged = false;
    LoadSettings(Doc, portChanged);
    FHostSettings.Secret = Doc.ChildText("secret").AsString("");
    FHostSettings.Listen = TrimBlanks(Doc.ChildText("listen").AsString(""));
    ClearCollections();
    LoadContainer(Doc, "users", FUsers);
    LoadContainer(Doc, "projects", FProjects);
    LoadContainer(Doc, "targets", FTargets);
    LoadContainer(Doc, "processors", FProcessors);
    LoadContainer(Doc, "sources", FSources);
}

std::shared_ptr<TVmTarget> TVmEngine::FindTarget(const TGUID& Uid) const {
    return FTargets.FindByUid(Uid);
}

std::shared_ptr<TVmProcessor> TVmEngine::FindProcessor(const TGUID& Uid) const {
    return FProcessors.FindByUid(Uid);
}

std::shared_ptr<TVmProject> TVmEngine::FindProject(const TGUID& Uid) const {
    return FProjects.FindByUid(Uid);
}

void TVmEngine::AttachTaskList(TVmTaskList* List) {
    TLock lock(*this);
    FTaskList.store(List);
    if (!List) {
        return;
    }
    List->ChangeEvents().Add([this](int32_t Code, TTaskItem* Task, int32_t Value) {
        RelayTaskEvent(Code, Task, Value);
    });
    // A project batching until done releases its batch once its last task has ended.
    List->SetProjectQueueEmptyEvent([](TVmProject& Project) { Project.ProjectTasksDone(); });
    FThreadCountHandler = [List](int32_t Threads) { List->SetThreadCount(Threads); };
    List->SetThreadCount(FSettings.Threads);
}

void TVmEngine::DetachTaskList() {
    TLock lock(*this);
    // No scan may be half-way into NewMedia once the list is gone.
    FSources.DeactivateAll();
    if (TVmTaskList* list = FTaskList.load()) {
        list->SetProjectQueueEmptyEvent(nullptr);
    }
    FTaskList.store(nullptr);
    FThreadCountHandler = nullptr;
}

void TVmEngine::ActivateSources() {
    TLock lock(*this);
    FSources.ActivateAll();
}

void TVmEngine::SetFarm(std::unique_ptr<IVmFarm> Farm) {
    TLock lock(*this);
    FFarm = std::move(Farm);
}

void TVmEngine::Start(std::unique_ptr<TVmTranscoder> Transcoder) {
    TLock lock(*this);
    FMailServer->Start();
    FTranscoder = std::move(Transcoder);
    FTranscoder->Start();
    if (FFarm) {
        FSources.SetSharedStorage(true);
        FTranscoder->TaskList().SetFarm(FFarm.get());
        FFarm->Start(FTranscoder->TaskList());
    }
    AttachTaskList(&FTranscoder->TaskList());
    ActivateSources();
}

void TVmEngine::NewMedia(const std::shared_ptr<TVmSource>& Source,
                         std::unique_ptr<TSourceFileItem> Item) {
    if (!Source || !Item) {
        return;
    }
    const std::string watchFolder = Source->WatchFolder();
    const std::string name = Item->FullName();
    LogText("New media from folder: \"" + Source->Name() + "\", file: \"" + name + "\" (\"" +
            watchFolder + "\")");
    if (FFarm) {
        FFarm->NewMedia(Source, std::move(Item));
        return;
    }
    const std::string from = watchFolder + name;
    const std::string to = Source->QueuedFolder() + name;
    TVmTaskList* list = FTaskList.load();
    // Without a task list the file would sit in the queued folder unseen until a restart.
    // A file already queued under the same name is never replaced: the new one waits in the
    // watch folder until the name is free.
    if (list && FileMove(LongPath(from), LongPath(to), false)) {
        list->AddTask(Source, std::move(Item));
        LogText("Queued new media at: \"" + to + "\"");
    } else {
        LogText("* Failed moving new media from: \"" + from + "\" to: \"" + to + "\"");
    }
}

// One task whose file goes back to its watch folder.
struct TVmEngine::TRequeuePlan {
    TGUID Uid;
    std::string From;
    std::string To;
};

bool TVmEngine::PlanRequeue(const TVmTaskList& List, const TTaskItem& Task, TRequeuePlan& Plan,
                            std::string& Refusal) {
    const uint8_t state = Task.State();
    if (Task.Running() || (!IsDoneState(state) && state != tsQueued)) {
        Refusal = "the task is still running";
    } else if (state == tsQueued) {
        Refusal = "the task is still waiting";
    } else if (state == tsFinished) {
        Refusal = "the task has finished";
    }
    if (!Refusal.empty()) {
        return false;
    }
    const std::shared_ptr<TVmSource> source = FSources.FindByUid(Task.SourceUid());
    if (!source || source != Task.Source()) {
        Refusal = "its source no longer exists";
        return false;
    }
    Plan.Uid = Task.Uid();
    Plan.From = Task.FilePath();
    Plan.To = source->WatchFolder() + Task.FileItem()->FullName();
    if (Plan.From.empty() || !port::FileExists(LongPath(Plan.From))) {
        Refusal = "its file is gone";
    } else if (List.IsLiveFile(Plan.From)) {
        // A file of that name arrived since, and the task that took it still needs it there.
        Refusal = "its file is gone (the file there now belongs to another task)";
    } else if (port::FileExists(LongPath(Plan.To))) {
        Refusal = "a file of that name is in the watch folder";
    }
    return Refusal.empty();
}

TVmRequeueResult TVmEngine::RequeueTasks(const std::vector<TGUID>& Uids) {
    TLock lock(*this);
    TVmRequeueResult result;
    if (FFarm) {
        // The farm's record says where a task's file lies, whichever engine filed it.
        FFarm->RequeueTasks(Uids, result);
        return result;
    }
    TVmTaskList* list = FTaskList.load();
    std::vector<TRequeuePlan> plans;
    std::unordered_map<TGUID, std::string, TGUIDHash> names;
    {
        std::unique_lock<TVmTaskList> listLock;
        // One pass over the list, whatever the number of uids asked for.
        std::unordered_map<TGUID, const TTaskItem*, TGUIDHash> tasks;
        if (list) {
            listLock = std::unique_lock(*list);
            for (int32_t i = 0; i < list->Count(); ++i) {
                tasks.emplace(list->Items(i)->Uid(), list->Items(i));
            }
        }
        std::unordered_set<TGUID, TGUIDHash> seen;
        for (const TGUID& uid : Uids) {
            if (!seen.insert(uid).second) {
                continue;
            }
            const auto found = tasks.find(uid);
            if (found == tasks.end() || !found->second->FileItem()) {
                result.Refused.push_back({uid, std::string(), "no such task"});
                continue;
            }
            const std::string name = found->second->FileItem()->FullName();
            names.emplace(uid, name);
            TRequeuePlan plan;
            std::string refusal;
            if (PlanRequeue(*list, *found->second, plan, refusal)) {
                plans.push_back(std::move(plan));
            } else {
                result.Refused.push_back({uid, name, refusal});
            }
        }
    }
    // The moves run without the task list's lock, so a copy to another file system holds up
    // no dispatch; a done task changes no more, and the engine lock keeps other requeues and
    // source activations away from these files.
    for (const TRequeuePlan& plan : plans) {
        if (FileMove(LongPath(plan.From), LongPath(plan.To), false)) {
            LogText("Requeued \"" + plan.From + "\" into \"" + plan.To + "\"");
            result.Requeued.push_back(plan.Uid);
        } else {
            LogText("* Failed requeueing \"" + plan.From + "\" into \"" + plan.To + "\"");
            result.Refused.push_back(
                {plan.Uid, names[plan.Uid], "its file could not be moved to the watch folder"});
        }
    }
    if (list && !result.Requeued.empty()) {
        TLock listLock(*list);
        for (const TGUID& uid : result.Requeued) {
            list->RemoveTask(uid);
        }
    }
    return result;
}

template <class T, class TForget>
void TVmEngine::DeleteItem(TVmCollection<T>& Items, const T* Item, TForget ForgetReferences) {
    TLock lock(*this);
    if (Item && Items.Find(Item)) {
        ForgetReferences(Item);
        Items.Remove(Item);
    }
}

void TVmEngine::DeleteProcessor(const TVmProcessor* Processor) {
    DeleteItem(FProcessors, Processor,
               [this](const TVmProcessor* Item) { FSources.ForgetProcessor(Item); });
}

void TVmEngine::DeleteProject(const TVmProject* Project) {
    DeleteItem(FProjects, Project,
               [this](const TVmProject* Item) { FSources.ForgetProject(Item); });
}

void TVmEngine::DeleteSource(const TVmSource* Source) {
    // Nothing configured refers to a source.
    DeleteItem(FSources, Source, [](const TVmSource*) {});
}

void TVmEngine::DeleteTarget(const TVmTarget* Target) {
    DeleteItem(FTargets, Target, [this](const TVmTarget* Item) { FProcessors.RemoveTarget(Item); });
}

void TVmEngine::DeleteUser(const TVmUser* User) {
    DeleteItem(FUsers, User, [this](const TVmUser* Item) { FProjects.RemoveUser(Item); });
}

void TVmEngine::ClearCollections() {
    // Referring collections first, so no reference outlives the collection that owned it.
    FSources.Clear();
    FProcessors.Clear();
    FTargets.Clear();
    FProjects.Clear();
    FUsers.Clear();
}
