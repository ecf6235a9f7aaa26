#pragma once

// The manager: the list of engines, the current engine (the one whose configuration the
// window shows), the engine list file, and the notices through which observers learn of every
// change of the engines and their mirrors.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxEventLinks.h"
#include "manager/model/lmEngine.h"
#include "manager/model/lmNoticeDispatcher.h"

namespace manager {

// The notice codes and what the object of each is.
enum TNotice : int32_t {
    ntEnginesLoaded = 102,    // none
    ntEngineAdded = 103,      // the engine
    ntEngineRemoved = 104,    // the engine, before it is freed
    ntEngineState = 202,      // the engine; raised on the thread that changed the state
    ntTaskListRead = 203,     // the engine
    ntTaskAdded = 204,        // the task
    ntTaskListCleared = 205,  // the engine; the old tasks are freed after it returns
    ntTaskChanged = 206,      // the task
    ntCountsChanged = 207,    // the engine
    ntConfigRead = 208,       // the engine; the old objects are freed after it returns
    ntConnectionLost = 209,   // the engine
    ntProjectUpdated = 210,   // the project (and so on for 211 to 224)
    ntProjectAdded = 211,
    ntProjectDeleted = 212,  // the object still exists; it is freed after the notice
    ntUserUpdated = 213,
    ntUserAdded = 214,
    ntUserDeleted = 215,
    ntTargetUpdated = 216,
    ntTargetAdded = 217,
    ntTargetDeleted = 218,
    ntProcessorUpdated = 219,
    ntProcessorAdded = 220,
    ntProcessorDeleted = 221,
    ntSourceUpdated = 222,
    ntSourceAdded = 223,
    ntSourceDeleted = 224,
    ntFailedRemoved = 225,     // the engine; its failed tasks are freed after it returns
    ntCancelledRemoved = 226,  // the engine; likewise its cancelled tasks
    ntCompletedRemoved = 227,  // the engine; likewise its finished tasks
    ntTaskRemoved = 228,       // the task, before it is freed
    ntTaskStateChanged = 229,  // none
    ntCommandAnswered = 230    // the engine; the answer is LastAnswer()
};

class TManager : public TModelObject {
  public:
    using TObserver = std::function<void(int32_t Code, TModelObject* Object)>;

    static constexpr const char* ConfigFileName = "ManagerConfig.dat";
    static constexpr const char* EngineNamePrefix = "Vidmill Engine ";
    // Engines read from the file at most: a damaged file cannot make the manager start
    // thousands of connections.
    static constexpr int32_t MaxEngines = 1000;

    // The file "ManagerConfig.dat" beside the program when its folder is writable, otherwise
    // in the folder "lmVidmill" of the user's configuration folder. A file that exists only
    // in the place not chosen is still read (an installed system's defaults).
    static std::string DefaultConfigPath();
    // The rule above for given folders (both with a trailing "/"); the second result is the
    // file to read when it differs from the one to write, else empty.
    static std::string ChooseConfigPath(const std::string& programFolder,
                                        const std::string& userFolder, std::string* readPath);

    // `dispatcher` delivers notices on the main thread; it must outlive the manager.
    explicit TManager(INoticeDispatcher& dispatcher, std::string configPath = DefaultConfigPath());
    // Shuts every engine down, then frees them.
    ~TManager() override;

    // Reads the engine list file; a missing or unreadable file gives one default engine. The
    // first engine becomes the current one; notice 102 follows.
    void LoadEngines();
    // Writes the whole file, atomically; false when it could not be written.
    bool SaveEngines();
    // Why the last LoadEngines fell back to the default engine, or empty.
    const std::string& LoadError() const { return FLoadError; }
    const std::string& ConfigPath() const { return FConfigPath; }

    void ConnectAll();
    void DisconnectAll();

    TEngine* CurrentEngine() const { return FCurrent.load(); }
    // A logged-in engine that has not read its configuration since its login asks for it.
    void SetCurrentEngine(TEngine* engine);

    int32_t EngineCount() const { return static_cast<int32_t>(FEngines.size()); }
    TEngine* Engines(int32_t index) const;
    // Appends, records the index, sets the back link, raises 103.
    TEngine* AddEngine(std::unique_ptr<TEngine> engine);
    // State "Shutdown", out of the list (no longer current), disconnected, 104, freed. It
    // waits for the engine's threads, so it must not be called from a notice of that engine.
    void RemoveEngine(TEngine* engine);
    // The first engine with that name, compared without regard to case.
    TEngine* FindEngine(const std::string& name) const;
    // "Vidmill Engine " and the first number from 1 up that no engine has as its name.
    std::string UniqueEngineName() const;
    // A new engine, not yet added, with port 9797 and a unique name.
    std::unique_ptr<TEngine> NewEngine();

    // Observers are called from the last added to the first.
    void AddObserver(TObserver observer);
    // Delivers the notice on the main thread and returns once the observers have run; 202 is
    // delivered at once on the calling thread.
    void Notify(int32_t code, TModelObject* object);
    INoticeDispatcher& Dispatcher() { return FDispatcher; }

  private:
    void AddDefaultEngine();
    bool ReadEngineList(TXMLUnicode& doc);

    INoticeDispatcher& FDispatcher;
    std::string FConfigPath;
    std::string FReadPath;  // where the list is read from when not FConfigPath
    std::string FLoadError;
    std::vector<std::unique_ptr<TEngine>> FEngines;
    std::atomic<TEngine*> FCurrent{nullptr};
    TEventLinks<TModelObject> FLinks;
};

}  // namespace manager
