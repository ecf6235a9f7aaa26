#include "server/ingest/lmVmSource.h"

#include <utility>

#include "foundation/kxUnicode.h"
#include "server/notify/lmVmProject.h"
#include "server/transcode/lmVmProcessor.h"

namespace {

bool IsBlankChar(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlankChar(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlankChar(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string WithSlash(std::string path) {
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path;
}

// "*.mov; *.avi" -> {"mov", "avi"}. Tokens end at ";"; separators before a token are skipped;
// a blank token ends the list.
std::vector<std::string> ParseExtensionFilter(std::string_view text) {
    std::vector<std::string> extensions;
    size_t pos = 0;
    while (true) {
        while (pos < text.size() && text[pos] == ';') {
            ++pos;
        }
        size_t end = text.find(';', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view token = Trim(text.substr(pos, end - pos));
        if (token.empty()) {
            break;
        }
        std::string extension;
        for (char c : token) {
            if (c != '*' && c != '.') {
                extension += c;
            }
        }
        extensions.push_back(std::move(extension));
        pos = end;
    }
    return extensions;
}

std::string RoleFolder(bool UseCustom, const std::string& Custom, const std::string& WatchFolder,
                       const char* Role) {
    if (UseCustom && !Trim(Custom).empty()) {
        return WithSlash(Custom);
    }
    return WatchFolder + Role + "/";
}

}  // namespace

TVmSource::TVmSource(TVmSources* Owner, bool NewIdentity) : FOwner(Owner) {
    if (NewIdentity) {
        FSettings.Uid = NewGUID();
    }
}

TVmSource::~TVmSource() = default;

TVmSourceSettings TVmSource::Settings() const {
    std::lock_guard lock(FLock);
    return FSettings;
}

void TVmSource::SetSettings(const TVmSourceSettings& Value) {
    std::lock_guard lock(FLock);
    ApplySettings(Value);
}

void TVmSource::ApplySettings(const TVmSourceSettings& Value) {
    std::string oldFilter = std::move(FSettings.ExtensionFilter);
    FSettings = Value;
    FSettings.WatchFolder = WithSlash(FSettings.WatchFolder);
    FSettings.QueuedFolder = WithSlash(FSettings.QueuedFolder);
    FSettings.CompletedFolder = WithSlash(FSettings.CompletedFolder);
    FSettings.FailedFolder = WithSlash(FSettings.FailedFolder);
    FSettings.ProcessingFolder = WithSlash(FSettings.ProcessingFolder);
    FSettings.CancelledFolder = WithSlash(FSettings.CancelledFolder);
    if (FSettings.DefaultFrameRate >= FrameRateCount) {
        FSettings.DefaultFrameRate = DefaultFrameRateIndex;
    }
    if (FSettings.ExtensionFilter != oldFilter) {
        FExtensions = ParseExtensionFilter(FSettings.ExtensionFilter);
    }
}

TGUID TVmSource::Uid() const {
    std::lock_guard lock(FLock);
    return FSettings.Uid;
}

std::string TVmSource::Name() const {
    std::lock_guard lock(FLock);
    return FSettings.Name;
}

void TVmSource::SetName(std::string Value) {
    std::lock_guard lock(FLock);
    FSettings.Name = std::move(Value);
}

std::string TVmSource::WatchFolder() const {
    std::lock_guard lock(FLock);
    return FSettings.WatchFolder;
}

void TVmSource::SetWatchFolder(std::string_view Path) {
    std::lock_guard lock(FLock);
    FSettings.WatchFolder = WithSlash(std::string(Path));
}

std::string TVmSource::ExtensionFilter() const {
    std::lock_guard lock(FLock);
    return FSettings.ExtensionFilter;
}

void TVmSource::SetExtensionFilter(std::string_view Text) {
    std::lock_guard lock(FLock);
    if (Text != FSettings.ExtensionFilter) {
        FSettings.ExtensionFilter = std::string(Text);
        FExtensions = ParseExtensionFilter(Text);
    }
}

std::vector<std::string> TVmSource::Extensions() const {
    std::lock_guard lock(FLock);
    return FExtensions;
}

bool TVmSource::AcceptsExtension(std::string_view Extension) const {
    std::string bare;
    for (char c : Extension) {
        if (c != '.') {
            bare += c;
        }
    }
    std::lock_guard lock(FLock);
    for (const auto& entry : FExtensions) {
        if (SameText(entry, bare)) {
            return true;
        }
    }
    return false;
}

std::shared_ptr<TVmProcessor> TVmSource::Processor() const {
    std::lock_guard lock(FLock);
    return FSettings.Processor;
}

void TVmSource::SetProcessor(std::shared_ptr<TVmProcessor> Value) {
    std::lock_guard lock(FLock);
    FSettings.Processor = std::move(Value);
}

std::shared_ptr<TVmProject> TVmSource::Project() const {
    std::lock_guard lock(FLock);
    return FSettings.Project;
}

void TVmSource::SetProject(std::shared_ptr<TVmProject> Value) {
    std::lock_guard lock(FLock);
    FSettings.Project = std::move(Value);
}

std::string TVmSource::QueuedFolder() const {
    std::lock_guard lock(FLock);
    return RoleFolder(FSettings.UseQueuedFolder, FSettings.QueuedFolder, FSettings.WatchFolder,
                      "Queued");
}

std::string TVmSource::ProcessingFolder() const {
    std::lock_guard lock(FLock);
    return RoleFolder(FSettings.UseProcessingFolder, FSettings.ProcessingFolder,
                      FSettings.WatchFolder, "Processing");
}

std::string TVmSource::CompletedFolder() const {
    std::lock_guard lock(FLock);
    return RoleFolder(FSettings.ActOnCompletion, FSettings.CompletedFolder, FSettings.WatchFolder,
                      "Completed");
}

std::string TVmSource::FailedFolder() const {
    std::lock_guard lock(FLock);
    return RoleFolder(FSettings.UseFailedFolder, FSettings.FailedFolder, FSettings.WatchFolder,
                      "Failed");
}

std::string TVmSource::CancelledFolder() const {
    std::lock_guard lock(FLock);
    return RoleFolder(FSettings.UseCancelledFolder, FSettings.CancelledFolder,
                      FSettings.WatchFolder, "Cancelled");
}

TVmSources* TVmSource::Owner() const {
    std::lock_guard lock(FLock);
    return FOwner;
}

void TVmSource::SetOwner(TVmSources* Value) {
    std::lock_guard lock(FLock);
    FOwner = Value;
}

void TVmSource::Assign(const TVmSource& Other) {
    if (&Other == this) {
        return;
    }
    std::scoped_lock lock(FLock, Other.FLock);
    FSettings = Other.FSettings;
    FExtensions = Other.FExtensions;
}

void TVmSource::SaveToXML(TXMLUnicode& Doc) const {
    const TVmSourceSettings s = Settings();
    Doc.AddGUID("uid", s.Uid);
    Doc.AddElement("name", s.Name);
    Doc.AddElement("desc", s.Desc);
    Doc.AddInteger("prio", s.Priority);
    if (s.Processor) {
        Doc.AddGUID("procuid", s.Processor->Uid());
    }
    if (s.Project) {
        Doc.AddGUID("projuid", s.Project->Uid());
    }
    Doc.AddInteger("type", s.Type);
    Doc.AddBoolean("enabled", s.Enabled);
    Doc.AddElement("wfolder", s.WatchFolder);
    Doc.AddBoolean("usefnot", s.UseChangeNotification);
    Doc.AddBoolean("usetmr", s.UseTimer);
    Doc.AddInteger("tmrint", s.TimerInterval);
    Doc.AddBoolean("usech", s.UseSettleTime);
    Doc.AddInteger("chtime", s.SettleTime);
    Doc.AddBoolean("monqueued", s.UseQueuedFolder);
    Doc.AddBoolean("monfailed", s.UseFailedFolder);
    Doc.AddBoolean("actoncomp", s.ActOnCompletion);
    Doc.AddInteger("compmode", s.CompletionMode);
    Doc.AddElement("qfolder", s.QueuedFolder);
    Doc.AddElement("ffolder", s.FailedFolder);
    Doc.AddElement("cfolder", s.CompletedFolder);
    Doc.AddBoolean("usetemp", s.UseProcessingFolder);
    Doc.AddElement("tfolder", s.ProcessingFolder);
    Doc.AddBoolean("usecan", s.UseCancelledFolder);
    Doc.AddElement("canfolder", s.CancelledFolder);
    Doc.AddBoolean("shaped", s.Shaped);
    Doc.AddBoolean("parseid", s.ParseRecallID);
    Doc.AddBoolean("underscore", s.Underscore);
    Doc.AddElement("extfilter", s.ExtensionFilter);
    Doc.AddInteger("fps", s.DefaultFrameRate);
    Doc.AddBoolean("looping", s.Looping);
    Doc.AddBoolean("holdlastframe", s.HoldLastFrame);
}

void TVmSource::LoadFromXML(TXMLUnicode& Doc) {
    TVmSources* owner = Owner();
    TVmSourceSettings s;
    s.Uid = Doc.ChildText("uid").AsGUID(NullGUID);
    s.Name = Doc.ChildText("name").AsString("");
    s.Desc = Doc.ChildText("desc").AsString("");
    s.Priority = Doc.ChildText("prio").AsInteger(0);
    if (owner) {
        // A missing reference is none, even when some object carries the zero uid.
        const TGUID processorUid = Doc.ChildText("procuid").AsGUID(NullGUID);
        const TGUID projectUid = Doc.ChildText("projuid").AsGUID(NullGUID);
        s.Processor = processorUid.IsNull() ? nullptr : owner->LookupProcessor(processorUid);
        s.Project = projectUid.IsNull() ? nullptr : owner->LookupProject(projectUid);
    }
    // A type that does not fit its byte is not one the manager offers: read as a watch folder.
    const int32_t type = Doc.ChildText("type").AsInteger(0);
    s.Type = (type >= 0 && type <= 255) ? static_cast<uint8_t>(type) : 0;
    s.Enabled = Doc.ChildText("enabled").AsBoolean(true);
    s.WatchFolder = Doc.ChildText("wfolder").AsString("");
    s.UseChangeNotification = Doc.ChildText("usefnot").AsBoolean(false);
    s.UseTimer = Doc.ChildText("usetmr").AsBoolean(false);
    s.TimerInterval = Doc.ChildText("tmrint").AsInteger(0);
    s.UseSettleTime = Doc.ChildText("usech").AsBoolean(false);
    s.SettleTime = Doc.ChildText("chtime").AsInteger(0);
    s.UseQueuedFolder = Doc.ChildText("monqueued").AsBoolean(false);
    s.UseFailedFolder = Doc.ChildText("monfailed").AsBoolean(false);
    s.ActOnCompletion = Doc.ChildText("actoncomp").AsBoolean(false);
    s.CompletionMode = Doc.ChildText("compmode").AsInteger(0);
    s.QueuedFolder = Doc.ChildText("qfolder").AsString("");
    s.FailedFolder = Doc.ChildText("ffolder").AsString("");
    s.CompletedFolder = Doc.ChildText("cfolder").AsString("");
    s.UseProcessingFolder = Doc.ChildText("usetemp").AsBoolean(false);
    s.ProcessingFolder = Doc.ChildText("tfolder").AsString("");
    s.UseCancelledFolder = Doc.ChildText("usecan").AsBoolean(false);
    s.CancelledFolder = Doc.ChildText("canfolder").AsString("");
    s.ParseRecallID = Doc.ChildText("parseid").AsBoolean(false);
    s.Underscore = Doc.ChildText("underscore").AsBoolean(true);
    s.Shaped = Doc.ChildText("shaped").AsBoolean(false);
    s.ExtensionFilter = Doc.ChildText("extfilter").AsString(DefaultExtensionFilter);
    const int32_t fps = Doc.ChildText("fps").AsInteger(DefaultFrameRateIndex);
    s.DefaultFrameRate =
        (fps >= 0 && fps < FrameRateCount) ? static_cast<uint8_t>(fps) : DefaultFrameRateIndex;
    s.Looping = Doc.ChildText("looping").AsBoolean(false);
    s.HoldLastFrame = Doc.ChildText("holdlastframe").AsBoolean(false);
    SetSettings(s);
}

TVmSources::TVmSources() : TVmCollection("source", "New Source ") {}

TVmSources::~TVmSources() {
    Clear();
}

std::shared_ptr<TVmProcessor> TVmSources::LookupProcessor(const TGUID& Uid) const {
    return FProcessorLookup ? FProcessorLookup(Uid) : nullptr;
}

std::shared_ptr<TVmProject> TVmSources::LookupProject(const TGUID& Uid) const {
    return FProjectLookup ? FProjectLookup(Uid) : nullptr;
}

void TVmSources::ForgetProcessor(const TVmProcessor* Processor) {
    for (const auto& source : All()) {
        if (Processor && source->Processor().get() == Processor) {
            source->SetProcessor(nullptr);
        }
    }
}

void TVmSources::ForgetProject(const TVmProject* Project) {
    for (const auto& source : All()) {
        if (Project && source->Project().get() == Project) {
            source->SetProject(nullptr);
        }
    }
}

TVmSources::TItemPtr TVmSources::CreateItem(bool NewIdentity) {
    return std::make_shared<TVmSource>(this, NewIdentity);
}

void TVmSources::Detached(TVmSource& Item) {
    Item.SetOwner(nullptr);
}
