#pragma once

// What a source's files are processed with: an identity, a name and the targets every result
// goes to. A configured processor lists references to the engine's targets; the copy a job
// works on owns duplicates of them. The job's working state (open video source, frame buffer,
// sampling) extends this class.
//
// The configuration is guarded by the processor's own lock: a task copies its source's
// processor on the source's thread while the control server may change it.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/core/lmVmCollection.h"
#include "server/delivery/lmVmTarget.h"

class TVmProcessors;

class TVmProcessor {
  public:
    TVmProcessor(TVmProcessors* Owner, bool OwningTargets, bool NewIdentity);
    TVmProcessor(const TVmProcessor&) = delete;
    TVmProcessor& operator=(const TVmProcessor&) = delete;
    virtual ~TVmProcessor();

    TGUID Uid() const;
    std::string Name() const;
    void SetUid(const TGUID& Value);
    void SetName(std::string Value);

    // The targets in delivery order, at one moment.
    std::vector<std::shared_ptr<TVmTarget>> Targets() const;
    int32_t TargetCount() const;
    bool OwnsTargets() const;
    // Appends the target itself (no duplicate is made).
    void AddTarget(std::shared_ptr<TVmTarget> Target);
    // Takes every occurrence of Target out of the list; true when there was one.
    bool RemoveTarget(const TVmTarget* Target);

    TVmProcessors* Owner() const;
    void SetOwner(TVmProcessors* Value);

    // Copies the uid and the targets (duplicates when this processor owns its targets, the
    // same targets otherwise); the name is not copied.
    void Assign(const TVmProcessor& Other);

    // "uid", "name", then "targets" with one empty "target" element per target carrying the
    // target's uid in its attribute "uid".
    void SaveToXML(TXMLUnicode& Doc) const;
    // Targets are resolved through the owner's target lookup; unknown uids are dropped.
    void LoadFromXML(TXMLUnicode& Doc);

  private:
    mutable std::mutex FLock;
    TGUID FUid;
    std::string FName;
    TVmTargets FTargets;
    TVmProcessors* FOwner;
};

// The engine's processors, saved as "proc" elements; new ones are named "New Processor " + N.
class TVmProcessors : public TVmCollection<TVmProcessor> {
  public:
    using TTargetLookup = std::function<std::shared_ptr<TVmTarget>(const TGUID&)>;

    TVmProcessors();
    ~TVmProcessors() override;

    // Set by the engine: resolves the target uids of loaded processors.
    void SetTargetLookup(TTargetLookup Lookup) { FTargetLookup = std::move(Lookup); }
    std::shared_ptr<TVmTarget> LookupTarget(const TGUID& Uid) const;

    // Takes the target out of every processor (before the target itself is deleted).
    void RemoveTarget(const TVmTarget* Target);

  protected:
    TItemPtr CreateItem(bool NewIdentity) override;
    void Detached(TVmProcessor& Item) override;

  private:
    TTargetLookup FTargetLookup;
};
