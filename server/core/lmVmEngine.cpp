#include "server/core/lmVmEngine.h"

#include "foundation/kxLogFile.h"
#include "port/port.h"
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

}  // namespace

TVmEngine::TVmEngine(std::string Folder)
    : FMailServer(
          std::make_unique<TMailServer>(Folder.empty() ? port::ExecutableFolder() : Folder)) {
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
    if (FTranscoder) {
        // No source may queue into the task list once it is gone; running jobs end with it.
        DetachTaskList();
        FTranscoder.reset();
    }
    ClearCollections();
}

void TVmEngine::SaveToXML(TXMLUnicode& Doc) const {
    std::lock_guard lock(FLock);
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
    SaveContainer(Doc, "sources", FSources);
    SaveContainer(Doc, "processors", FProcessors);
    SaveContainer(Doc, "targets", FTargets);
    SaveContainer(Doc, "projects", FProjects);
    SaveContainer(Doc, "users", FUsers);
}

void TVmEngine::LoadSettings(TXMLUnicode& Doc, bool& PortChanged) {
    std::lock_guard lock(FLock);
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
    PortChanged = s.Port != FSettings.Port;
    FSettings = s;
    if (FThreadCountHandler) {
        FThreadCountHandler(FSettings.Threads);
    }
    FMailServer->SetSmtpSettings(TSmtpSettings{FSettings.SHost, FSettings.SPort, FSettings.SLogin,
                                               FSettings.SPassword, FSettings.SFromName,
                                               FSettings.SFromEmail});
    if (FMailSettingsHandler) {
        FMailSettingsHandler(FSettings);
    }
}

void TVmEngine::LoadFromXML(TXMLUnicode& Doc) {
    std::lock_guard lock(FLock);
    bool portChanged = false;
    LoadSettings(Doc, portChanged);
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
    std::lock_guard lock(FLock);
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
    std::lock_guard lock(FLock);
    // No scan may be half-way into NewMedia once the list is gone.
    FSources.DeactivateAll();
    if (TVmTaskList* list = FTaskList.load()) {
        list->SetProjectQueueEmptyEvent(nullptr);
    }
    FTaskList.store(nullptr);
    FThreadCountHandler = nullptr;
}

void TVmEngine::ActivateSources() {
    std::lock_guard lock(FLock);
    FSources.ActivateAll();
}

void TVmEngine::Start(std::unique_ptr<TVmTranscoder> Transcoder) {
    std::lock_guard lock(FLock);
    FMailServer->Start();
    FTranscoder = std::move(Transcoder);
    FTranscoder->Start();
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

template <class T, class TForget>
void TVmEngine::DeleteItem(TVmCollection<T>& Items, const T* Item, TForget ForgetReferences) {
    std::lock_guard lock(FLock);
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
