#pragma once

// A configured place where media arrives: a watch folder with its role folders (queued,
// processing, completed, failed, cancelled), the processor and project its files go to, and
// the rules for taking files and reading clip details from their names. The folder monitor,
// the settle tracker, activation and the scan extend this class.
//
// The settings are guarded by the source's own lock, so a job can take a consistent copy
// (`Assign`) on another thread while the control server changes the source.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/lmVmCollection.h"

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

class TVmSource {
  public:
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

    // All settings at one moment.
    TVmSourceSettings Settings() const;
    // Replaces every setting; folders and the filter go through their setters' rules.
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

  private:
    void ApplySettings(const TVmSourceSettings& Value);

    mutable std::mutex FLock;
    TVmSourceSettings FSettings;
    std::vector<std::string> FExtensions;
    TVmSources* FOwner;
};

// The engine's sources, saved as "source" elements; new ones are named "New Source " + N.
class TVmSources : public TVmCollection<TVmSource> {
  public:
    using TProcessorLookup = std::function<std::shared_ptr<TVmProcessor>(const TGUID&)>;
    using TProjectLookup = std::function<std::shared_ptr<TVmProject>(const TGUID&)>;

    TVmSources();
    ~TVmSources() override;

    // Set by the engine: resolve the references of loaded sources.
    void SetProcessorLookup(TProcessorLookup Lookup) { FProcessorLookup = std::move(Lookup); }
    void SetProjectLookup(TProjectLookup Lookup) { FProjectLookup = std::move(Lookup); }
    std::shared_ptr<TVmProcessor> LookupProcessor(const TGUID& Uid) const;
    std::shared_ptr<TVmProject> LookupProject(const TGUID& Uid) const;

    // Every source using the processor (or project) is left without one.
    void ForgetProcessor(const TVmProcessor* Processor);
    void ForgetProject(const TVmProject* Project);

  protected:
    TItemPtr CreateItem(bool NewIdentity) override;
    void Detached(TVmSource& Item) override;

  private:
    TProcessorLookup FProcessorLookup;
    TProjectLookup FProjectLookup;
};
