#pragma once

// A configured place where media arrives: a watch folder with its role folders (queued,
// processing, completed, failed, cancelled), the processor and project its files go to, and
// the rules for taking files and reading clip details from their names. An active source
// watches its folder on its own monitor thread, scans it and hands every new media file to its
// new-media event.
//
// The settings are guarded by the source's own lock, so a job can take a consistent copy
// (`Assign`) on another thread while the control server changes the source.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/kxMutex.h"
#include "server/core/lmVmCollection.h"
#include "server/ingest/kxFileListParser.h"
#include "server/ingest/kxFolderMonitor.h"
#include "server/ingest/lmVmSourceFileItem.h"

class TVmProcessor;
class TVmProject;
class TVmSources;

struct TVmSourceSettings {
    TGUID Uid;
    std::shared_ptr<TVmProcessor> Processor;
    std::shared_ptr<TVmProject> Project;
    std::string WatchFolder;
    std::string Name;
    std::string Desc;
    int32_t Priority = 0;
    uint8_t Type = 0;  // 0 watch folder, 1 FTP folder (kept, not acted on)
    bool UseChangeNotification = true;
    bool UseTimer = true;
    int32_t TimerInterval = 10;  // seconds
    std::string QueuedFolder;
    std::string CompletedFolder;
    std::string FailedFolder;
    bool UseFailedFolder = false;
    bool UseQueuedFolder = false;
    bool ActOnCompletion = false;
    int32_t CompletionMode = 0;  // 0 move to the completion folder, 1 delete
    int32_t SettleTime = 15;     // seconds
    bool UseSettleTime = false;
    bool UseProcessingFolder = false;
    std::string ProcessingFolder;
    std::string CancelledFolder;
    bool UseCancelledFolder = false;
    bool Shaped = false;
    bool ParseRecallID = false;
    std::string ExtensionFilter;
    bool Enabled = true;
    uint8_t DefaultFrameRate = 3;  // index into the table of supported rates
    bool Looping = false;
    bool HoldLastFrame = false;
    bool Underscore = false;

    friend bool operator==(const TVmSourceSettings&, const TVmSourceSettings&) = default;
};

class TVmSource : public std::enable_shared_from_this<TVmSource>,
                  public TVmGuardedSettings<TVmSourceSettings> {
  public:
    // Receives each new media file; ownership of the item passes with the call.
    using TNewMediaEvent = std::function<void(const std::shared_ptr<TVmSource>& Source,
                                              std::unique_ptr<TSourceFileItem> Item)>;

    static constexpr const char* DefaultExtensionFilter =
        "*.mov; *.avi; *.mp4; *.jpg; *.tga; *.png";
    static constexpr uint8_t DefaultFrameRateIndex = 3;
    static constexpr int32_t FrameRateCount = 8;

    // Starts with the values of a new source (enabled, change notification and a 10 second
    // timer, 15 seconds settle time, frame rate index 3, no filter); a new identity gets a
    // fresh uid.
    TVmSource(TVmSources* Owner, bool NewIdentity);
    TVmSource(const TVmSource&) = delete;
    TVmSource& operator=(const TVmSource&) = delete;
    virtual ~TVmSource();

    // Replaces every setting; folders and the filter go through their setters' rules (this
    // takes the place of the plain store of TVmGuardedSettings).
    void SetSettings(const TVmSourceSettings& Value);

    TGUID Uid() const;
    std::string Name() const;
    void SetName(std::string Value);
    std::string WatchFolder() const;
    // Stored with a trailing "/" added when missing.
    void SetWatchFolder(std::string_view Path);
    std::string ExtensionFilter() const;
    // Stores the text and rebuilds the extension list; the same text changes nothing.
    void SetExtensionFilter(std::string_view Text);
    // The parsed filter: extensions without "*" and ".", in order; an empty entry stands for
    // files without extension.
    std::vector<std::string> Extensions() const;
    // Whether an extension (with or without its leading ".") passes the filter, case ignored.
    bool AcceptsExtension(std::string_view Extension) const;

    std::shared_ptr<TVmProcessor> Processor() const;
    void SetProcessor(std::shared_ptr<TVmProcessor> Value);
    std::shared_ptr<TVmProject> Project() const;
    void SetProject(std::shared_ptr<TVmProject> Value);

    // The role folders, each ending in "/": the custom folder when its switch is on and the
    // path is not blank, else a sub-folder of the watch folder.
    std::string QueuedFolder() const;
    std::string ProcessingFolder() const;
    std::string CompletedFolder() const;
    std::string FailedFolder() const;
    std::string CancelledFolder() const;

    TVmSources* Owner() const;
    void SetOwner(TVmSources* Value);

    // Copies every setting, the uid and the processor and project references included.
    void Assign(const TVmSource& Other);

    void SaveToXML(TXMLUnicode& Doc) const;
    // Reads the settings by name with the defaults of a stored source; processor and project
    // are resolved through the owner's lookups.
    void LoadFromXML(TXMLUnicode& Doc);

    // Set by the collection (or a test); called on the monitor thread.
    void SetOnNewMedia(TNewMediaEvent Event);

    // Creates the watch folder, moves files left in the queued folder back into it (never over
    // a file of the same name there, and never a file that a task still waiting or running in
    // the owner's task list relies on), starts the monitor, which scans at once, and deletes
    // stale intermediate files ("{...}") from the processing folder. False when the source has
    // no watch folder. On shared storage (farm mode) nothing is moved or deleted: the role
    // folders hold the files of other engines too.
    bool Activate();
    // Stops the monitor, waiting for a scan under way.
    void Deactivate();
    // One pass over the watch folder: settled, unlocked media files that pass the filter go to
    // the new-media event with their names parsed into metadata. Runs on the monitor thread.
    // On shared storage the settle time always applies: change notification sees nothing
    // another machine writes, so the scan runs on its interval (10 s when none is set).
    void Scan();
    // Fills the item's metadata from its base name: title, recall ID and the flags.
    void ParseFileName(TSourceFileItem& Item) const;

    TFolderMonitor& Monitor() { return *FMonitor; }
    // The settle time is counted in port::GetTickCount ticks unless another source is given
    // (tests); set only while the source is not active.
    void SetSettleTicks(TFileListParser::TTickSource Ticks);

    // Scans on shared storage without a configured interval run this often.
    static constexpr int32_t SharedScanSeconds = 10;

  private:
    bool OnSharedStorage() const;
    void ApplySettings(const TVmSourceSettings& Value) REQUIRES(FLock);
    bool PassesFilter(std::string_view Name) const;
    void ProcessBatch(std::vector<std::unique_ptr<TSourceFileItem>>& Batch);
    void RecoverQueuedFiles(const std::string& WatchFolder, const std::string& QueuedFolder);
    void PurgeIntermediates(const std::string& ProcessingFolder);

    std::vector<std::string> FExtensions GUARDED_BY(FLock);
    TVmSources* FOwner;

    mutable TMutex FEventLock;
    TNewMediaEvent FOnNewMedia GUARDED_BY(FEventLock);
    // Touched by the monitor thread only (and by Activate while the monitor is stopped).
    TFileListParser FParser;
    std::vector<std::unique_ptr<TSourceFileItem>> FBatch;
    // Last, so that it is stopped first: its thread uses everything above.
    std::unique_ptr<TFolderMonitor> FMonitor;
};

// The engine's sources, saved as "source" elements; new ones are named "New Source " + N.
class TVmSources : public TVmCollection<TVmSource> {
  public:
    using TProcessorLookup = std::function<std::shared_ptr<TVmProcessor>(const TGUID&)>;
    using TProjectLookup = std::function<std::shared_ptr<TVmProject>(const TGUID&)>;
    // The names of files in a queued folder that tasks still waiting or running rely on.
    using TLiveFilesLookup = std::function<std::vector<std::string>(const std::string& Folder)>;

    TVmSources();
    ~TVmSources() override;

    // Set by the engine: resolve the references of loaded sources.
    void SetProcessorLookup(TProcessorLookup Lookup) { FProcessorLookup = std::move(Lookup); }
    void SetProjectLookup(TProjectLookup Lookup) { FProjectLookup = std::move(Lookup); }
    std::shared_ptr<TVmProcessor> LookupProcessor(const TGUID& Uid) const;
    std::shared_ptr<TVmProject> LookupProject(const TGUID& Uid) const;
    // Set by the engine: asks the task list, so activation leaves those files queued.
    void SetLiveFilesLookup(TLiveFilesLookup Lookup) { FLiveFilesLookup = std::move(Lookup); }
    std::vector<std::string> LookupLiveFiles(const std::string& QueuedFolder) const;

    // Every source using the processor (or project) is left without one.
    void ForgetProcessor(const TVmProcessor* Processor);
    void ForgetProject(const TVmProject* Project);

    // Receives the new media of every source of the collection (set by the engine).
    void SetOnNewMedia(TVmSource::TNewMediaEvent Event);
    // Farm mode: the watch folders lie on storage shared with other engines (see Activate and
    // Scan). Set before the sources activate.
    void SetSharedStorage(bool Value) { FSharedStorage.store(Value); }
    bool SharedStorage() const { return FSharedStorage.load(); }
    // Activates every source, in order.
    void ActivateAll();
    void DeactivateAll();

  protected:
    TItemPtr CreateItem(bool NewIdentity) override;
    void Detached(TVmSource& Item) override;

  private:
    void RelayNewMedia(const std::shared_ptr<TVmSource>& Source,
                       std::unique_ptr<TSourceFileItem> Item);

    TProcessorLookup FProcessorLookup;
    TProjectLookup FProjectLookup;
    TLiveFilesLookup FLiveFilesLookup;
    std::atomic<bool> FSharedStorage{false};
    mutable TMutex FEventLock;
    TVmSource::TNewMediaEvent FOnNewMedia GUARDED_BY(FEventLock);
};
