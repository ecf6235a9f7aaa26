#include "server/core/lmVmEngine.h"

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

TVmEngine::TVmEngine() {
    FProcessors.SetTargetLookup([this](const TGUID& uid) { return FindTarget(uid); });
    FSources.SetProcessorLookup([this](const TGUID& uid) { return FindProcessor(uid); });
    FSources.SetProjectLookup([this](const TGUID& uid) { return FindProject(uid); });
}

TVmEngine::~TVmEngine() {
    FEventLinks.Disable();
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

void TVmEngine::DeleteProcessor(const TVmProcessor* Processor) {
    std::lock_guard lock(FLock);
    if (Processor && FProcessors.Find(Processor)) {
        FSources.ForgetProcessor(Processor);
        FProcessors.Remove(Processor);
    }
}

void TVmEngine::DeleteProject(const TVmProject* Project) {
    std::lock_guard lock(FLock);
    if (Project && FProjects.Find(Project)) {
        FSources.ForgetProject(Project);
        FProjects.Remove(Project);
    }
}

void TVmEngine::DeleteSource(const TVmSource* Source) {
    std::lock_guard lock(FLock);
    FSources.Remove(Source);
}

void TVmEngine::DeleteTarget(const TVmTarget* Target) {
    std::lock_guard lock(FLock);
    if (Target && FTargets.Find(Target)) {
        FProcessors.RemoveTarget(Target);
        FTargets.Remove(Target);
    }
}

void TVmEngine::DeleteUser(const TVmUser* User) {
    std::lock_guard lock(FLock);
    if (User && FUsers.Find(User)) {
        FProjects.RemoveUser(User);
        FUsers.Remove(User);
    }
}

void TVmEngine::ClearCollections() {
    // Referring collections first, so no reference outlives the collection that owned it.
    FSources.Clear();
    FProcessors.Clear();
    FTargets.Clear();
    FProjects.Clear();
    FUsers.Clear();
}
