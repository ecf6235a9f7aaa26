#include "server/ingest/lmVmSource.h"

#include <unordered_set>
#include <utility>

#include "foundation/kxLogFile.h"
#include "foundation/kxUnicode.h"
#include "port/port.h"
#include "server/ingest/kxFileUtils.h"
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

TVmSource::TVmSource(TVmSources* Owner, bool NewIdentity)
    : FOwner(Owner), FMonitor(std::make_unique<TFolderMonitor>()) {
    if (NewIdentity) {
        FSettings.Uid = NewGUID();
    }
    FMonitor->SetOnScan([this](TMonitorThread&) { Scan(); });
}

TVmSource::~TVmSource() {
    FMonitor.reset();
}

void TVmSource::SetSettings(const TVmSourceSettings& Value) {
    TLock lock(FLock);
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
    TLock lock(FLock);
    return FSettings.Uid;
}

std::string TVmSource::Name() const {
    TLock lock(FLock);
    return FSettings.Name;
}

void TVmSource::SetName(std::string Value) {
    TLock lock(FLock);
    FSettings.Name = std::move(Value);
}

std::string TVmSource::WatchFolder() const {
    TLock lock(FLock);
    return FSettings.WatchFolder;
}

void TVmSource::SetWatchFolder(std::string_view Path) {
    TLock lock(FLock);
    FSettings.WatchFolder = WithSlash(std::string(Path));
}

std::string TVmSource::ExtensionFilter() const {
    TLock lock(FLock);
    return FSettings.ExtensionFilter;
}

void TVmSource::SetExtensionFilter(std::string_view Text) {
    TLock lock(FLock);
    if (Text != FSettings.ExtensionFilter) {
        FSettings.ExtensionFilter = std::string(Text);
        FExtensions = ParseExtensionFilter(Text);
    }
}

std::vector<std::string> TVmSource::Extensions() const {
    TLock lock(FLock);
    return FExtensions;
}

bool TVmSource::AcceptsExtension(std::string_view Extension) const {
    std::string bare;
    for (char c : Extension) {
        if (c != '.') {
            bare += c;
        }
    }
    TLock lock(FLock);
    for (const auto& entry : FExtensions) {
        if (SameText(entry, bare)) {
            return true;
        }
    }
    return false;
}

std::shared_ptr<TVmProcessor> TVmSource::Processor() const {
    TLock lock(FLock);
    return FSettings.Processor;
}

void TVmSource::SetProcessor(std::shared_ptr<TVmProcessor> Value) {
    TLock lock(FLock);
    FSettings.Processor = std::move(Value);
}

std::shared_ptr<TVmProject> TVmSource::Project() const {
    TLock lock(FLock);
    return FSettings.Project;
}

void TVmSource::SetProject(std::shared_ptr<TVmProject> Value) {
    TLock lock(FLock);
    FSettings.Project = std::move(Value);
}

std::string TVmSource::QueuedFolder() const {
    TLock lock(FLock);
    return RoleFolder(FSettings.UseQueuedFolder, FSettings.QueuedFolder, FSettings.WatchFolder,
                      "Queued");
}

std::string TVmSource::ProcessingFolder() const {
    TLock lock(FLock);
    return RoleFolder(FSettings.UseProcessingFolder, FSettings.ProcessingFolder,
                      FSettings.WatchFolder, "Processing");
}

std::string TVmSource::CompletedFolder() const {
    TLock lock(FLock);
    return RoleFolder(FSettings.ActOnCompletion, FSettings.CompletedFolder, FSettings.WatchFolder,
                      "Completed");
}

std::string TVmSource::FailedFolder() const {
    TLock lock(FLock);
    return RoleFolder(FSettings.UseFailedFolder, FSettings.FailedFolder, FSettings.WatchFolder,
                      "Failed");
}

std::string TVmSource::CancelledFolder() const {
    TLock lock(FLock);
    return RoleFolder(FSettings.UseCancelledFolder, FSettings.CancelledFolder,
                      FSettings.WatchFolder, "Cancelled");
}

TVmSources* TVmSource::Owner() const {
    TLock lock(FLock);
    return FOwner;
}

void TVmSource::SetOwner(TVmSources* Value) {
    TLock lock(FLock);
    FOwner = Value;
}

void TVmSource::Assign(const TVmSource& Other) {
    if (&Other == this) {
        return;
    }
    TLockPair lock(FLock, Other.FLock);
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

void TVmSource::SetOnNewMedia(TNewMediaEvent Event) {
    TLock lock(FEventLock);
    FOnNewMedia = std::move(Event);
}

bool TVmSource::PassesFilter(std::string_view Name) const {
    // The extension as a file item splits it: from the last full stop, unless a colon comes
    // after it.
    const size_t mark = Name.find_last_of(".:");
    std::string_view extension;
    if (mark != std::string_view::npos && Name[mark] == '.') {
        extension = Name.substr(mark);
    }
    // Description files are never filtered out; the batch decides about them.
    return SameText(extension, ".xml") || AcceptsExtension(extension);
}

void TVmSource::Scan() {
    const TVmSourceSettings s = Settings();
    if (!s.Enabled || Trim(s.WatchFolder).empty()) {
        return;
    }
    FBatch.clear();
    if (OnSharedStorage()) {
        FParser.SetNameFilter([this](std::string_view Name) { return PassesFilter(Name); });
        FParser.Scan(s.WatchFolder, FBatch, s.SettleTime);
    } else if (s.UseTimer && s.UseSettleTime) {
        FParser.SetNameFilter([this](std::string_view Name) { return PassesFilter(Name); });
        FParser.Scan(s.WatchFolder, FBatch, s.SettleTime);
    } else {
        std::vector<port::FolderEntry> entries;
        if (!port::ListFolderFiles(s.WatchFolder, entries)) {
            return;
        }
        for (const port::FolderEntry& entry : entries) {
            if (PassesFilter(entry.name) && CanOpenExclusive(s.WatchFolder + entry.name)) {
                auto item = std::make_unique<TSourceFileItem>();
                item->SetFileName(entry.name);
                FBatch.push_back(std::move(item));
            }
        }
    }
    if (!FBatch.empty()) {
        ProcessBatch(FBatch);
    }
}

void TVmSource::ProcessBatch(std::vector<std::unique_ptr<TSourceFileItem>>& Batch) {
    // A description file travels with its media file: while the media file is in the same
    // batch, the description is not media of its own.
    std::unordered_set<std::string> mediaNames;
    for (const auto& item : Batch) {
        if (!SameText(item->Extension, ".xml")) {
            mediaNames.insert(LowerCase(item->BaseName));
        }
    }
    std::erase_if(Batch, [&](const std::unique_ptr<TSourceFileItem>& item) {
        return SameText(item->Extension, ".xml") && mediaNames.count(LowerCase(item->BaseName));
    });
    for (const auto& item : Batch) {
        ParseFileName(*item);
    }
    const std::shared_ptr<TVmSource> self = weak_from_this().lock();
    TNewMediaEvent event;
    {
        TLock lock(FEventLock);
        event = FOnNewMedia;
    }
    for (auto& item : Batch) {
        if (event && self) {
            event(self, std::move(item));
        }
    }
    Batch.clear();
}

namespace {

// Brace form: "Title{KEY}value{KEY2}value2"; keys upper-cased (a to z only).
void ParseBraceForm(std::string_view Base, TMetaItems& Tokens) {
    std::string value;
    std::string key = "NA";
    bool inside = false;
    auto store = [&] {
        std::string upper = key;
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        Tokens.SetText(upper, value);
    };
    for (char c : Base) {
        if (c == '{') {
            if (!key.empty()) {
                store();
            }
            inside = true;
            key.clear();
            value.clear();
        } else if (c == '}') {
            inside = false;
        } else if (inside) {
            key += c;
        } else {
            value += c;
        }
    }
    if (!key.empty()) {
        store();
    }
}

// The decimal number after the last character that is not a digit; with Underscore that
// character must be "_". False when there is none or it does not fit 32 signed bits.
bool TrailingNumber(std::string_view Base, bool Underscore, int32_t& Number) {
    size_t digits = 0;
    while (digits < Base.size() && Base[Base.size() - 1 - digits] >= '0' &&
           Base[Base.size() - 1 - digits] <= '9') {
        ++digits;
    }
    const size_t p = Base.size() - digits;  // characters before the digits
    if (Underscore && (p == 0 || Base[p - 1] != '_')) {
        return false;
    }
    if (digits == 0) {
        return false;
    }
    int64_t value = 0;
    for (size_t i = p; i < Base.size(); ++i) {
        value = value * 10 + (Base[i] - '0');
        if (value > INT32_MAX) {
            return false;
        }
    }
    Number = static_cast<int32_t>(value);
    return true;
}

bool FlagValue(const std::string& Value) {
    return !(SameText(Value, "FALSE") || SameText(Value, "NO") || Value == "0");
}

}  // namespace

void TVmSource::ParseFileName(TSourceFileItem& Item) const {
    const TVmSourceSettings s = Settings();
    const std::string& base = Item.BaseName;
    TMetaItems tokens;
    if (base.find('{') != std::string::npos && base.find('}') != std::string::npos) {
        ParseBraceForm(base, tokens);
    } else if (s.ParseRecallID) {
        int32_t number = 0;
        if (TrailingNumber(base, s.Underscore, number)) {
            tokens.SetInteger("GP", number);
        }
    }
    TMetaItems& meta = Item.Meta;
    meta.SetText(MetaFileName, base);
    meta.SetText(MetaOrgFileName, Item.FullName());
    if (tokens.Exists("NA")) {
        std::string title = "Untitled";
        for (const char* key : {"NA", "GP", "ID"}) {
            if (!tokens.Item(key).Value().empty()) {
                title = tokens.Item(key).Value();
                break;
            }
        }
        meta.SetText(MetaFileName, title);
    }
    if (tokens.Exists("GP")) {
        meta.SetText(MetaRecallID, tokens.Item("GP").Value());
    } else if (tokens.Exists("ID")) {
        meta.SetText(MetaRecallID, tokens.Item("ID").Value());
    }
    const struct {
        const char* Token;
        std::string_view Key;
        bool SourceDefault;
    } flags[] = {{"LE", MetaLoop, s.Looping},
                 {"HF", MetaHoldLast, s.HoldLastFrame},
                 {"PM", MetaPremul, s.Shaped}};
    for (const auto& flag : flags) {
        if (tokens.Exists(flag.Token)) {
            meta.SetBoolean(flag.Key, FlagValue(tokens.Item(flag.Token).Value()));
        } else if (flag.SourceDefault) {
            meta.SetBoolean(flag.Key, true);
        }
    }
    if (tokens.Exists("LFF")) {
        meta.SetInteger(MetaFieldMode, 2);
    }
    if (tokens.Exists("UFF")) {
        meta.SetInteger(MetaFieldMode, 1);
    }
}

bool TVmSource::Activate() {
    // A fresh start: new settings take effect, and no scan runs during the recovery below.
    FMonitor->SetActive(false);
    const TVmSourceSettings s = Settings();
    if (Trim(s.WatchFolder).empty()) {
        LogText("Source: \"" + s.Name + "\" has not been assigned a folder.");
        return false;
    }
    LogText("Activating source for watch folder: \"" + s.WatchFolder + "\".");
    port::CreateFolders(s.WatchFolder);
    const bool shared = OnSharedStorage();
    if (!shared) {
        RecoverQueuedFiles(s.WatchFolder, QueuedFolder());
    }
    FMonitor->IntervalMs =
        (s.UseTimer && s.TimerInterval > 0) ? static_cast<uint32_t>(s.TimerInterval) * 1000u : 0;
    if (shared && FMonitor->IntervalMs == 0) {
        FMonitor->IntervalMs = static_cast<uint32_t>(
            (s.TimerInterval > 0 ? s.TimerInterval : SharedScanSeconds) * 1000);
    }
    FMonitor->SetFolder(s.WatchFolder);
    FMonitor->ScanAtStart = true;
    FMonitor->UseChangeNotification = s.UseChangeNotification;
    FMonitor->SetActive(true);
    if (!shared) {
        PurgeIntermediates(ProcessingFolder());
    }
    LogText("Folder monitor activated.");
    return true;
}

bool TVmSource::OnSharedStorage() const {
    const TVmSources* owner = Owner();
    return owner && owner->SharedStorage();
}

void TVmSource::Deactivate() {
    FMonitor->SetActive(false);
}

void TVmSource::SetSettleTicks(TFileListParser::TTickSource Ticks) {
    FParser = TFileListParser(std::move(Ticks));
}

void TVmSource::RecoverQueuedFiles(const std::string& WatchFolder,
                                   const std::string& QueuedFolder) {
    std::vector<port::FolderEntry> entries;
    if (!port::ListFolderFiles(QueuedFolder, entries)) {
        return;
    }
    // Tasks are not kept between runs, but a source is also re-activated after every change of
    // its settings: the files of its tasks still in the list stay for their jobs, or each would
    // be queued and delivered a second time.
    std::unordered_set<std::string> live;
    if (TVmSources* owner = Owner()) {
        for (std::string& name : owner->LookupLiveFiles(QueuedFolder)) {
            live.insert(std::move(name));
        }
    }
    for (const port::FolderEntry& entry : entries) {
        if (live.count(entry.name)) {
            LogText("Queued file is still in the task list, left in place: " + entry.name);
            continue;
        }
        const std::string from = QueuedFolder + entry.name;
        const std::string to = WatchFolder + entry.name;
        LogText("Moving queued file: " + entry.name + " to watch folder: " + WatchFolder);
        // A file of that name in the watch folder is newer than the queued one; it is kept and
        // the queued file waits in the queued folder for the next activation.
        if (port::FileExists(to) || port::FolderExists(to)) {
            LogText("Error - file already exists in watch folder: " + to);
            continue;
        }
        if (!FileMove(LongPath(from), LongPath(to), false)) {
            LogText("Error moving file to destination: " + to);
        }
    }
}

void TVmSource::PurgeIntermediates(const std::string& ProcessingFolder) {
    for (const std::string& name : port::ListFiles(ProcessingFolder, "{*}")) {
        const std::string path = ProcessingFolder + name;
        // A job of this source may still be writing its intermediate file (a source is
        // re-activated after every change of its settings): a file in use stays.
        if (CanOpenExclusive(path)) {
            port::DeleteFile(LongPath(path));
        }
    }
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

std::vector<std::string> TVmSources::LookupLiveFiles(const std::string& QueuedFolder) const {
    return FLiveFilesLookup ? FLiveFilesLookup(QueuedFolder) : std::vector<std::string>();
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

void TVmSources::SetOnNewMedia(TVmSource::TNewMediaEvent Event) {
    TLock lock(FEventLock);
    FOnNewMedia = std::move(Event);
}

void TVmSources::RelayNewMedia(const std::shared_ptr<TVmSource>& Source,
                               std::unique_ptr<TSourceFileItem> Item) {
    TVmSource::TNewMediaEvent event;
    {
        TLock lock(FEventLock);
        event = FOnNewMedia;
    }
    if (event) {
        event(Source, std::move(Item));
    }
}

void TVmSources::ActivateAll() {
    for (const auto& source : All()) {
        source->Activate();
    }
}

void TVmSources::DeactivateAll() {
    for (const auto& source : All()) {
        source->Deactivate();
    }
}

TVmSources::TItemPtr TVmSources::CreateItem(bool NewIdentity) {
    auto source = std::make_shared<TVmSource>(this, NewIdentity);
    source->SetOnNewMedia(
        [this](const std::shared_ptr<TVmSource>& Source, std::unique_ptr<TSourceFileItem> Item) {
            RelayNewMedia(Source, std::move(Item));
        });
    return source;
}

void TVmSources::Detached(TVmSource& Item) {
    // A removed source may live on in its tasks, but it no longer watches or reports.
    Item.Deactivate();
    Item.SetOnNewMedia(nullptr);
    Item.SetOwner(nullptr);
}
