#pragma once

// A project groups sources for e-mail notification: its failure queue and its completion queue
// decide when and to whom the notification mails go.

#include <memory>
#include <mutex>
#include <string>

#include "server/core/lmVmCollection.h"
#include "server/notify/lmVmMailQueue.h"

class TMailServer;
class TVmProjects;
class TVmUser;
class TVmUsers;

// A project's own settings; its two mail queues keep theirs.
struct TVmProjectSettings {
    TGUID Uid;
    std::string Name;
    std::string Desc;

    friend bool operator==(const TVmProjectSettings&, const TVmProjectSettings&) = default;
};

// The settings are guarded by the project's own lock; each mail queue guards itself.
class TVmProject : public TVmGuardedSettings<TVmProjectSettings> {
  public:
    TVmProject(TVmProjects* Owner, bool NewIdentity);
    TVmProject(const TVmProject&) = delete;
    TVmProject& operator=(const TVmProject&) = delete;

    TGUID Uid() const;
    std::string Name() const;
    std::string Desc() const;
    void SetUid(const TGUID& Value);
    void SetName(std::string Value);
    void SetDesc(std::string Value);

    TProjectMailQueue& FailureQueue() { return FFailureQueue; }
    const TProjectMailQueue& FailureQueue() const { return FFailureQueue; }
    TProjectMailQueue& CompletionQueue() { return FCompletionQueue; }
    const TProjectMailQueue& CompletionQueue() const { return FCompletionQueue; }

    // A finished task's mail record for the failure or the completion queue, which takes it.
    void AddFailed(std::unique_ptr<TMailInfo> Record);
    void AddCompleted(std::unique_ptr<TMailInfo> Record);
    // The project has no unfinished task left; both queues are told.
    void ProjectTasksDone();

    // True when either queue holds its batch until the project's tasks are done.
    bool BatchWhenDone() const;

    // Takes the user out of both recipient lists.
    void RemoveUser(const TVmUser* User);

    TVmProjects* Owner() const;
    void SetOwner(TVmProjects* Value);

    void SaveToXML(TXMLUnicode& Doc) const;
    // Recipients are resolved through the owner's users; unknown uids are dropped.
    void LoadFromXML(TXMLUnicode& Doc);

  private:
    // Guarded by FLock with the settings.
    TVmProjects* FOwner;
    TProjectMailQueue FFailureQueue;
    TProjectMailQueue FCompletionQueue;
};

// The engine's projects, saved as "project" elements; new ones are named "New Project " + N.
class TVmProjects : public TVmCollection<TVmProject> {
  public:
    // Every project's queues hand their batches to the mail server (none: records are logged
    // and dropped).
    explicit TVmProjects(TVmUsers& Users, TMailServer* MailServer = nullptr);
    ~TVmProjects() override;

    TVmUsers& Users() const { return FUsers; }
    TMailServer* MailServer() const { return FMailServer; }

    // Takes the user out of both recipient lists of every project.
    void RemoveUser(const TVmUser* User);

  protected:
    TItemPtr CreateItem(bool NewIdentity) override;
    void Detached(TVmProject& Item) override;

  private:
    TVmUsers& FUsers;
    TMailServer* const FMailServer;
};

using TProject = TVmProject;
using TProjects = TVmProjects;
