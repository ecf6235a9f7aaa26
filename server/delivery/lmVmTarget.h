#pragma once

// A configured destination for a finished task's output: a folder (type 0) or a Reelbank clip
// server (type 1).
//
// Targets are shared: the engine's collection holds them, and so do the processors that list
// them and the processor copies of queued tasks. A target deleted while a queued task still
// refers to it therefore stays alive, unchanged, for that task. The stored settings are guarded
// by the target's own lock, so a job can take a consistent duplicate (`Assign`) on a worker
// thread while the control server changes the configured target.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "server/core/lmVmCollection.h"

class TMetaItems;
class TTaskItem;

struct TVmTargetSettings {
    TGUID Uid;
    std::string Name;
    int32_t Type = 0;
    std::string Host;
    int32_t Port = 0;
    std::string Folder;
    // The secret a Reelbank target logs in with; empty: the built-in Reelbank secret.
    std::string Secret;

    friend bool operator==(const TVmTargetSettings&, const TVmTargetSettings&) = default;
};

class TVmTarget : public TVmGuardedSettings<TVmTargetSettings> {
  public:
    static constexpr int32_t FolderType = 0;
    static constexpr int32_t ReelbankType = 1;
    static constexpr int32_t DefaultPort = 9595;
    static constexpr const char* DefaultHost = "localhost";

    // Starts with port 9595; a new identity also gets a fresh uid and the local loopback host.
    explicit TVmTarget(bool NewIdentity);
    TVmTarget(const TVmTarget&) = delete;
    TVmTarget& operator=(const TVmTarget&) = delete;

    TGUID Uid() const;
    std::string Name() const;
    int32_t Type() const;
    std::string Host() const;
    int32_t Port() const;
    std::string Folder() const;
    std::string Secret() const;
    void SetUid(const TGUID& Value);
    void SetName(std::string Value);
    void SetType(int32_t Value);
    void SetHost(std::string Value);
    void SetPort(int32_t Value);
    void SetFolder(std::string Value);
    void SetSecret(std::string Value);

    // Why the last delivery failed; never stored or copied.
    std::string LastError() const;
    void SetLastError(std::string Value);

    // Delivers a task's output: clears the last error, then copies to the folder (type 0) or
    // sends to the Reelbank server (type 1). False when the output did not arrive; the last
    // error then says why, phrased to be followed by the target's name (empty for an unknown
    // type). Never throws.
    bool Deliver(const std::string& OutputPath, TTaskItem& Task, const TMetaItems& Meta);

    // Copies uid, name, type, host, port, folder and secret.
    void Assign(const TVmTarget& Other);
    // A new target with the same settings.
    std::shared_ptr<TVmTarget> Duplicate() const;

    // "uid", "name", "type", "host", "port", "folder" below the current element, then
    // "secret" when the target has one.
    void SaveToXML(TXMLUnicode& Doc) const;
    // Reads the six by name; missing ones give an empty text, type 0, port 0, the zero uid. A
    // missing "secret" keeps the secret the target has, so a manager that never saw it (it is
    // never sent to managers) leaves it alone; an empty one clears it.
    void LoadFromXML(TXMLUnicode& Doc);

    // Makes the stored form fit for a manager: the "secret" child of `Element` (a target's
    // settings) becomes "hassecret" 1, so a manager learns that a secret is set, never which.
    static void HideSecret(TXMLElement* Element);
    // The same for every "target" element in the tree from `Root` on.
    static void HideSecrets(TXMLElement* Root);

  private:
    // Guarded by FLock with the settings.
    std::string FLastError;
};

// Either the engine's owning collection of targets or a list of references to them (a
// processor's targets). Copying into an owning list duplicates the targets; copying into a
// reference list shares them.
class TVmTargets : public TVmCollection<TVmTarget> {
  public:
    explicit TVmTargets(bool Owning);
    ~TVmTargets() override;

    bool Owning() const { return FOwning; }

    // Replaces the content with Other's targets: duplicates when this list owns its targets,
    // the same targets otherwise.
    void Assign(const TVmTargets& Other);

  protected:
    TItemPtr CreateItem(bool NewIdentity) override;

  private:
    bool FOwning;
};
