#include "manager/model/lmManager.h"

#include "foundation/kxFastList.h"
#include "port/port.h"

namespace manager {

namespace {

// An engine list file is a few hundred bytes per engine; anything far larger is not one.
constexpr int64_t MaxConfigFileSize = 4 * 1024 * 1024;
constexpr int64_t MaxConfigNodes = 100000;

bool SameName(const std::string& a, const std::string& b) {
    return CompareStringKeys(a, b) == 0;
}

}  // namespace

std::string TManager::ChooseConfigPath(const std::string& programFolder,
                                       const std::string& userFolder, std::string* readPath) {
    const std::string besideProgram = programFolder + ConfigFileName;
    const std::string inUserFolder =
        userFolder.empty() ? std::string() : userFolder + "lmVidmill/" + ConfigFileName;
    const bool programWritable = !programFolder.empty() && port::FolderWritable(programFolder);
    const std::string write =
        programWritable || inUserFolder.empty() ? besideProgram : inUserFolder;
    const std::string other = write == besideProgram ? inUserFolder : besideProgram;
    if (readPath) {
        readPath->clear();
        if (!port::FileExists(write) && !other.empty() && port::FileExists(other)) {
            *readPath = other;
        }
    }
    return write;
}

std::string TManager::DefaultConfigPath() {
    return ChooseConfigPath(port::ExecutableFolder(), port::UserConfigFolder(), nullptr);
}

TManager::TManager(INoticeDispatcher& dispatcher, std::string configPath)
    : FDispatcher(dispatcher), FConfigPath(std::move(configPath)) {
    if (FConfigPath == DefaultConfigPath()) {
        ChooseConfigPath(port::ExecutableFolder(), port::UserConfigFolder(), &FReadPath);
    }
}

TManager::~TManager() {
    FCurrent.store(nullptr);
    // Every connection ends (its last notices still reach the observers) before any engine is
    // freed.
    for (const auto& engine : FEngines) {
        engine->Shutdown();
    }
    FEngines.clear();
    FLinks.Disable();
}

// ---------------------------------------------------------------------------------------------
// Notices

void TManager::AddObserver(TObserver observer) {
    FLinks.Add([observer = std::move(observer)](int32_t code, TModelObject* object, int32_t) {
        observer(code, object);
    });
}

void TManager::Notify(int32_t code, TModelObject* object) {
    if (code == ntEngineState) {
        FLinks.Fire(code, object, 0);
        return;
    }
    FDispatcher.RunOnMainThread([&] { FLinks.Fire(code, object, 0); });
}

// ---------------------------------------------------------------------------------------------
// Engines

TEngine* TManager::Engines(int32_t index) const {
    return index >= 0 && index < EngineCount() ? FEngines[static_cast<size_t>(index)].get()
                                               : nullptr;
}

TEngine* TManager::AddEngine(std::unique_ptr<TEngine> engine) {
    if (!engine) {
        return nullptr;
    }
    TEngine* added = engine.get();
    added->Index = EngineCount();
    added->SetManager(this);
    FEngines.push_back(std::move(engine));
    Notify(ntEngineAdded, added);
    return added;
}

void TManager::RemoveEngine(TEngine* engine) {
    auto it = std::find_if(FEngines.begin(), FEngines.end(),
                           [engine](const auto& entry) { return entry.get() == engine; });
    if (it == FEngines.end()) {
        return;
    }
    engine->SetConnectionState(csShutdown);
    std::unique_ptr<TEngine> removed = std::move(*it);
    FEngines.erase(it);
    if (FCurrent.load() == engine) {
        FCurrent.store(nullptr);
    }
    engine->Shutdown();
    Notify(ntEngineRemoved, engine);
}

TEngine* TManager::FindEngine(const std::string& name) const {
    for (const auto& engine : FEngines) {
        if (SameName(engine->Name(), name)) {
            return engine.get();
        }
    }
    return nullptr;
}

std::string TManager::UniqueEngineName() const {
    for (int64_t number = 1;; ++number) {
        const std::string name = EngineNamePrefix + std::to_string(number);
        if (!FindEngine(name)) {
            return name;
        }
    }
}

std::unique_ptr<TEngine> TManager::NewEngine() {
    auto engine = std::make_unique<TEngine>();
    TEngineSettings settings = engine->Settings();
    settings.Port = TEngine::DefaultPort;
    settings.Name = UniqueEngineName();
    engine->SetSettings(settings);
    return engine;
}

void TManager::SetCurrentEngine(TEngine* engine) {
    FCurrent.store(engine);
    if (engine && engine->LoggedIn() && !engine->ConfigurationRead()) {
        engine->SendCommand("getconfig");
    }
}

void TManager::ConnectAll() {
    for (const auto& engine : FEngines) {
        engine->Connect();
    }
}

void TManager::DisconnectAll() {
    for (const auto& engine : FEngines) {
        engine->Disconnect();
    }
}

// ---------------------------------------------------------------------------------------------
// The engine list file

void TManager::AddDefaultEngine() {
    auto engine = std::make_unique<TEngine>();
    TEngineSettings settings;
    settings.Host = "localhost";
    settings.Port = TEngine::DefaultPort;
    settings.Name = UniqueEngineName();
    settings.Loc = "Local machine";
    engine->SetSettings(settings);
    AddEngine(std::move(engine));
}

bool TManager::ReadEngineList(TXMLUnicode& doc) {
    if (!doc.GotoRoot()) {
        // A document without a single element holds no engines.
        return true;
    }
    TXMLElement* list = doc.Root()->FindChild("engines");
    if (!list) {
        list = doc.Root();
    }
    std::vector<std::unique_ptr<TEngine>> read;
    for (int i = 0; i < list->ChildCount() && static_cast<int32_t>(read.size()) < MaxEngines; ++i) {
        TXMLElement* item = list->Children(i);
        if (item->Name != "engine") {
            continue;
        }
        auto engine = std::make_unique<TEngine>();
        doc.SetCurrent(item);
        engine->LoadFromXML(doc);
        read.push_back(std::move(engine));
    }
    for (auto& engine : read) {
        AddEngine(std::move(engine));
    }
    return true;
}

void TManager::LoadEngines() {
    FLoadError.clear();
    const std::string path = FReadPath.empty() ? FConfigPath : FReadPath;
    TXMLUnicode doc;
    doc.MaxLoadNodes = MaxConfigNodes;
    doc.MaxLoadDepth = 16;
    const int64_t size = port::FileSize(path);
    if (size < 0) {
        AddDefaultEngine();
    } else if (size > MaxConfigFileSize || !doc.LoadFromFile(path, /*denyWrite=*/true)) {
        FLoadError = "\"" + path + "\" could not be read" +
                     (doc.LastError().empty() ? std::string() : " (" + doc.LastError() + ")") +
                     "; it is kept as \"" + path + ".damaged\"";
        // The next save replaces the file; the damaged one stays for whoever wants it back.
        port::CopyFileData(path, path + ".damaged", /*replace=*/true, /*sync=*/false);
        AddDefaultEngine();
    } else {
        ReadEngineList(doc);
    }
    if (!FEngines.empty()) {
        FCurrent.store(FEngines.front().get());
    }
    Notify(ntEnginesLoaded, nullptr);
}

bool TManager::SaveEngines() {
    TXMLUnicode doc;
    doc.OpenElement("config");
    doc.OpenElement("engines");
    for (const auto& engine : FEngines) {
        doc.OpenElement("engine");
        engine->SaveEntryToXML(doc);
        doc.CloseElement();
    }
    doc.CloseElement();
    doc.CloseElement();

    const size_t slash = FConfigPath.rfind('/');
    if (slash != std::string::npos && !port::CreateFolders(FConfigPath.substr(0, slash + 1))) {
        return false;
    }
    // The file holds the mail passwords and secrets in plain text: only the user may read it.
    std::string bytes;
    if (!doc.SaveToString(bytes) ||
        !port::ReplaceFileWhole(FConfigPath, bytes, port::FileAccess::OwnerOnly)) {
        return false;
    }
    FReadPath.clear();
    return true;
}

}  // namespace manager
