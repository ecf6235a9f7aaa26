#pragma once

// The server's object model: the engine settings and the five collections of configured
// objects (sources, processors, targets, projects, users), the references between them, the
// deletes that keep those references whole, and the engine lock. The control server reads and
// changes it under that lock and stores it with TVmConfigStore after every change.
//
// The transcoder (task list, worker pool, plug-ins), the new-media step and `Start` extend this
// class; until the transcoder is attached the settings it needs are handed on through the
// handlers below.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxEventLinks.h"
#include "foundation/kxMutex.h"
#include "server/delivery/lmVmTarget.h"
#include "server/ingest/lmVmSource.h"
#include "server/notify/lmVmMailServer.h"
#include "server/notify/lmVmProject.h"
#include "server/protocol/lmVmUser.h"
#include "server/transcode/lmVmProcessor.h"

class IVmFarm;
class TTaskItem;
class TVmTaskList;
class TVmTranscoder;
struct TSourceFileItem;

struct TVmEngineSettings {
    std::string Name;
    std::string Loc;
    std::string Desc;
    int32_t Port = 9797;
    std::string SHost;
    int32_t SPort = 25;
    std::string SLogin;
    std::string SPassword;
    std::string SFromName;
    std::string SFromEmail;
    int32_t Threads = 6;
    // Farm mode: the libpq connection string of the farm's database (empty: standalone) and
    // the lease time of a claimed task in seconds. Read at start.
    std::string FarmDB;
    int32_t FarmLease = 30;
    // A login may go to an SMTP server that offers no STARTTLS, in clear text.
    bool SmtpAllowPlain = false;
    // The certificates an SMTP server's is checked against instead of the system's store.
    std::string SmtpCAFile;

    friend bool operator==(const TVmEngineSettings&, const TVmEngineSettings&) = default;
};

// What only the installation sets, in "config.dat" itself: never sent to a manager and never
// changed through the control protocol.
struct TVmHostSettings {
    // "secret": the control secret managers log in with; empty: the built-in one.
    std::string Secret;
    // "listen": the address the control port is bound to (an IPv4 or IPv6 literal or a host
    // name); empty: every IPv4 address.
    std::string Listen;

    friend bool operator==(const TVmHostSettings&, const TVmHostSettings&) = default;
};

// What became of a request to requeue tasks.
struct TVmRequeueResult {
    struct TRefusal {
        TGUID Uid;
        std::string FileName;  // empty for an unknown task
        std::string Reason;
    };
    std::vector<TGUID> Requeued;  // in request order
    std::vector<TRefusal> Refused;
};

class CAPABILITY("mutex") TVmEngine {
  public:
    static constexpr int32_t DefaultPort = 9797;
    static constexpr int32_t DefaultSmtpPort = 25;
    static constexpr int32_t DefaultThreads = 6;
    static constexpr int32_t DefaultFarmLease = 30;
    // A lease shorter than a few renewal rounds cannot be kept over a loaded database.
    static constexpr int32_t MinFarmLease = 2;
    static constexpr int32_t MaxFarmLease = 3600;

    // Receive the worker-thread count and the SMTP settings whenever settings are loaded.
    using TThreadCountHandler = std::function<void(int32_t Threads)>;
    using TMailSettingsHandler = std::function<void(const TVmEngineSettings& Settings)>;

    // Folder ends with "/": the mail templates lie below it (the executable's folder when none
    // is given), and so does the mail spool unless DataFolder names another folder for it.
    explicit TVmEngine(std::string Folder = {}, std::string DataFolder = {});
    TVmEngine(const TVmEngine&) = delete;
    TVmEngine& operator=(const TVmEngine&) = delete;
    ~TVmEngine();

    // The engine lock: recursive within one thread. lock()/unlock() let TLock hold it.
    // The engine itself is the capability callers hold; FLock is how it is held.
    void Lock() const ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { FLock.Lock(); }
    void Unlock() const RELEASE() NO_THREAD_SAFETY_ANALYSIS { FLock.Unlock(); }
    void lock() const ACQUIRE() { Lock(); }
    void unlock() const RELEASE() { Unlock(); }

    const TVmEngineSettings& Settings() const { return FSettings; }
    void SetSettings(const TVmEngineSettings& Value) { FSettings = Value; }
    const TVmHostSettings& HostSettings() const { return FHostSettings; }
    void SetHostSettings(const TVmHostSettings& Value) { FHostSettings = Value; }

    TVmProcessors& Processors() { return FProcessors; }
    TVmTargets& Targets() { return FTargets; }
    TVmSources& Sources() { return FSources; }
    TVmProjects& Projects() { return FProjects; }
    TVmUsers& Users() { return FUsers; }
    // Composes notification mails into the spool and sends them; started by Start.
    TMailServer& MailServer() { return *FMailServer; }

    // Task events (code, task, extra value) re-sent to the subscribers, on the raising thread.
    TEventLinks<TTaskItem>& EventLinks() { return FEventLinks; }
    void RelayTaskEvent(int32_t Code, TTaskItem* Task, int32_t Value) {
        FEventLinks.Fire(Code, Task, Value);
    }

    void SetThreadCountHandler(TThreadCountHandler Handler) {
        FThreadCountHandler = std::move(Handler);
    }
    void SetMailSettingsHandler(TMailSettingsHandler Handler) {
        FMailSettingsHandler = std::move(Handler);
    }

    // Settings, then the containers "sources", "processors", "targets", "projects", "users",
    // below the current element: what a manager is sent.
    void SaveToXML(TXMLUnicode& Doc) const;
    // The store: as SaveToXML, with the host settings that are set after the other settings.
    void SaveStoreToXML(TXMLUnicode& Doc) const;
    // Reads the settings from the current element; a missing or unreadable one takes its
    // default, except the farm settings, which a missing element leaves as they are (a
    // manager that does not know them must not turn farm mode off). PortChanged tells whether
    // the control port differs from the one before. The host settings stay as they are. A
    // setting SettingsProblem finds fault with is logged and kept, and the mail server sends
    // nothing with it.
    void LoadSettings(TXMLUnicode& Doc, bool& PortChanged);
    // The settings below the current element, as LoadSettings would take them over `Current`.
    static TVmEngineSettings ReadSettings(TXMLUnicode& Doc, const TVmEngineSettings& Current);
    // Why the settings must not be taken, or empty: a sender address that is set must be one a
    // mail header can carry, and a CA file that is set an absolute path of an existing file.
    static std::string SettingsProblem(const TVmEngineSettings& Settings);
    // Takes the settings and hands them on, as LoadSettings does after reading them.
    void ApplySettings(const TVmEngineSettings& Settings, bool& PortChanged);
    // Replaces the whole configuration from the store: settings and host settings, then users,
    // projects, targets, processors and sources, so each resolves its references to the ones
    // loaded before it.
    void LoadFromXML(TXMLUnicode& Doc);

    std::shared_ptr<TVmTarget> FindTarget(const TGUID& Uid) const;
    std::shared_ptr<TVmProcessor> FindProcessor(const TGUID& Uid) const;
    std::shared_ptr<TVmProject> FindProject(const TGUID& Uid) const;

    // The task list new media go to. Attaching subscribes the engine to its change events
    // (relayed to EventLinks) and sizes its pool from "threads", now and whenever settings are
    // loaded. The list must outlive the attachment: detach (which stops every source's
    // monitor) or destroy the engine's sources before the list.
    void AttachTaskList(TVmTaskList* List);
    void DetachTaskList();
    TVmTaskList* TaskList() const { return FTaskList.load(); }

    // A source found a settled new file: it is moved into the source's queued folder (never
    // over a file already queued there) and becomes a task. When it cannot be moved the item
    // is dropped and the file stays in the watch folder for a later scan. Runs on the source's
    // monitor thread without the engine lock.
    void NewMedia(const std::shared_ptr<TVmSource>& Source, std::unique_ptr<TSourceFileItem> Item);

    // The file of each failed or cancelled task named goes back into its source's watch folder,
    // where the monitor takes it again as new media, and the task leaves the list. A task that
    // is not done, whose source or file is gone, or whose file name is taken in the watch
    // folder is refused, and nothing of it moves. A uid named twice counts once.
    TVmRequeueResult RequeueTasks(const std::vector<TGUID>& Uids);

    // Activates every source (their monitors start and scan).
    void ActivateSources();

    // Farm mode: set before Start. The engine then ingests, claims and commits through the
    // farm, and its sources treat their folders as shared storage.
    void SetFarm(std::unique_ptr<IVmFarm> Farm);
    IVmFarm* Farm() const { return FFarm.get(); }

    // Starts the mail server, takes the transcoder, starts it (plug-ins, installed
    // compressors), attaches its task list and then activates every source. Called once, after the
    // control port listens.
    void Start(std::unique_ptr<TVmTranscoder> Transcoder);
    // The started transcoder, or none before Start.
    TVmTranscoder* Transcoder() const { return FTranscoder.get(); }

    // Each accepts none (an unknown uid) and then does nothing. References to the deleted
    // object are cleared first, so nothing configured refers to it afterwards.
    void DeleteProcessor(const TVmProcessor* Processor);
    void DeleteProject(const TVmProject* Project);
    void DeleteSource(const TVmSource* Source);
    void DeleteTarget(const TVmTarget* Target);
    void DeleteUser(const TVmUser* User);

  private:
    struct TRequeuePlan;
    // Under the task list's lock: what moving the task's file back takes, or why it cannot.
    bool PlanRequeue(const TVmTaskList& List, const TTaskItem& Task, TRequeuePlan& Plan,
                     std::string& Refusal);

    // Takes the item out of its collection once ForgetReferences has cleared every reference
    // to it; none, or an item the collection does not hold, changes nothing.
    template <class T, class TForget>
    void DeleteItem(TVmCollection<T>& Items, const T* Item, TForget ForgetReferences);
    void ClearCollections();
    void SaveToXML(TXMLUnicode& Doc, bool WithHostSettings) const;

    TEventLinks<TTaskItem> FEventLinks;
    TVmEngineSettings FSettings;
    TVmHostSettings FHostSettings;
    // Before the projects, whose queues write through it until they are gone.
    std::unique_ptr<TMailServer> FMailServer;
    TVmProcessors FProcessors;
    TVmTargets FTargets{true};
    TVmSources FSources;
    TVmUsers FUsers;
    TVmProjects FProjects{FUsers, FMailServer.get()};
    mutable TRecursiveMutex FLock;
    TThreadCountHandler FThreadCountHandler;
    TMailSettingsHandler FMailSettingsHandler;
    std::atomic<TVmTaskList*> FTaskList{nullptr};
    // Outlives the transcoder's jobs, which commit through it.
    std::unique_ptr<IVmFarm> FFarm;
    std::unique_ptr<TVmTranscoder> FTranscoder;
};
