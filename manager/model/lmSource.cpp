#include "manager/model/lmSource.h"

namespace manager {

namespace {

const char* const NoneText = "<none>";

// The uid when the list holds an object of it, else none.
template <class TList>
TGUID Resolved(const TList* list, const TGUID& uid) {
    return list && !uid.IsNull() && list->FindByUid(uid) ? uid : NullGUID;
}

}  // namespace

void TSource::LoadFromXML(TXMLUnicode& doc) {
    Uid = doc.ChildText("uid").AsGUID(NullGUID);
    Name = doc.ChildText("name").AsString();
    Desc = doc.ChildText("desc").AsString();
    Prio = doc.ChildText("prio").AsInteger(0);
    ProcessorUid = Resolved(FProcessors, doc.ChildText("procuid").AsGUID(NullGUID));
    ProjectUid = Resolved(FProjects, doc.ChildText("projuid").AsGUID(NullGUID));
    Enabled = doc.ChildText("enabled").AsBoolean(true);
    Type = doc.ChildText("type").AsInteger(WatchFolderType);
    WFolder = doc.ChildText("wfolder").AsString();
    UseFNot = doc.ChildText("usefnot").AsBoolean(false);
    UseTmr = doc.ChildText("usetmr").AsBoolean(false);
    TmrInt = doc.ChildText("tmrint").AsInteger(0);
    UseCh = doc.ChildText("usech").AsBoolean(false);
    ChTime = doc.ChildText("chtime").AsInteger(0);
    Shaped = doc.ChildText("shaped").AsBoolean(false);
    ParseId = doc.ChildText("parseid").AsBoolean(true);
    Underscore = doc.ChildText("underscore").AsBoolean(false);
    ExtFilter = doc.ChildText("extfilter").AsString(DefaultExtensionFilter);
    Fps = doc.ChildText("fps").AsInteger(DefaultFrameRateIndex);
    MonQueued = doc.ChildText("monqueued").AsBoolean(false);
    MonFailed = doc.ChildText("monfailed").AsBoolean(false);
    ActOnComp = doc.ChildText("actoncomp").AsBoolean(false);
    CompMode = doc.ChildText("compmode").AsInteger(0);
    QFolder = doc.ChildText("qfolder").AsString();
    FFolder = doc.ChildText("ffolder").AsString();
    CFolder = doc.ChildText("cfolder").AsString();
    UseTemp = doc.ChildText("usetemp").AsBoolean(false);
    TFolder = doc.ChildText("tfolder").AsString();
    UseCan = doc.ChildText("usecan").AsBoolean(false);
    CanFolder = doc.ChildText("canfolder").AsString();
    Looping = doc.ChildText("looping").AsBoolean(false);
    HoldLastFrame = doc.ChildText("holdlastframe").AsBoolean(false);
}

void TSource::SaveToXML(TXMLUnicode& doc) const {
    doc.AddGUID("uid", Uid);
    doc.AddElement("name", Name);
    doc.AddElement("desc", Desc);
    doc.AddInteger("prio", Prio);
    if (!ProcessorUid.IsNull()) {
        doc.AddGUID("procuid", ProcessorUid);
    }
    if (!ProjectUid.IsNull()) {
        doc.AddGUID("projuid", ProjectUid);
    }
    doc.AddBoolean("enabled", Enabled);
    doc.AddInteger("type", Type);
    doc.AddElement("wfolder", WFolder);
    doc.AddBoolean("usefnot", UseFNot);
    doc.AddBoolean("usetmr", UseTmr);
    doc.AddInteger("tmrint", TmrInt);
    doc.AddBoolean("usech", UseCh);
    doc.AddInteger("chtime", ChTime);
    doc.AddBoolean("shaped", Shaped);
    doc.AddBoolean("parseid", ParseId);
    doc.AddBoolean("underscore", Underscore);
    doc.AddElement("extfilter", ExtFilter);
    doc.AddInteger("fps", Fps);
    doc.AddBoolean("monqueued", MonQueued);
    doc.AddBoolean("monfailed", MonFailed);
    doc.AddBoolean("actoncomp", ActOnComp);
    doc.AddInteger("compmode", CompMode);
    doc.AddElement("qfolder", QFolder);
    doc.AddElement("ffolder", FFolder);
    doc.AddElement("cfolder", CFolder);
    doc.AddBoolean("usetemp", UseTemp);
    doc.AddElement("tfolder", TFolder);
    doc.AddBoolean("usecan", UseCan);
    doc.AddElement("canfolder", CanFolder);
    doc.AddBoolean("looping", Looping);
    doc.AddBoolean("holdlastframe", HoldLastFrame);
}

void TSource::Assign(const TSource& other) {
    Uid = other.Uid;
    Name = other.Name;
    Desc = other.Desc;
    Prio = other.Prio;
    ProcessorUid = other.ProcessorUid;
    ProjectUid = other.ProjectUid;
    Enabled = other.Enabled;
    Type = other.Type;
    WFolder = other.WFolder;
    UseFNot = other.UseFNot;
    UseTmr = other.UseTmr;
    TmrInt = other.TmrInt;
    UseCh = other.UseCh;
    ChTime = other.ChTime;
    Shaped = other.Shaped;
    ParseId = other.ParseId;
    Underscore = other.Underscore;
    ExtFilter = other.ExtFilter;
    Fps = other.Fps;
    MonQueued = other.MonQueued;
    MonFailed = other.MonFailed;
    ActOnComp = other.ActOnComp;
    CompMode = other.CompMode;
    QFolder = other.QFolder;
    FFolder = other.FFolder;
    CFolder = other.CFolder;
    UseTemp = other.UseTemp;
    TFolder = other.TFolder;
    UseCan = other.UseCan;
    CanFolder = other.CanFolder;
    Looping = other.Looping;
    HoldLastFrame = other.HoldLastFrame;
    OtherLocation = other.OtherLocation;
    FProcessors = other.FProcessors;
    FProjects = other.FProjects;
}

TProcessor* TSource::Processor() const {
    return FProcessors && !ProcessorUid.IsNull() ? FProcessors->FindByUid(ProcessorUid) : nullptr;
}

TProject* TSource::Project() const {
    return FProjects && !ProjectUid.IsNull() ? FProjects->FindByUid(ProjectUid) : nullptr;
}

std::string TSource::TypeText() const {
    switch (Type) {
        case WatchFolderType:
            return "Watch Folder";
        case FTPFolderType:
            return "FTP Folder";
        default:
            return std::string();
    }
}

std::string TSource::LocationText() const {
    switch (Type) {
        case WatchFolderType:
            return WFolder;
        case FTPFolderType:
            return OtherLocation;
        default:
            return std::string();
    }
}

std::string TSource::ProcessorText() const {
    const TProcessor* processor = Processor();
    return processor ? processor->Name : NoneText;
}

std::string TSource::ProjectText() const {
    const TProject* project = Project();
    return project ? project->Name : NoneText;
}

}  // namespace manager
