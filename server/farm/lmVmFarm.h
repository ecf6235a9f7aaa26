#pragma once

// Farm mode: this engine as one of several on one shared watch-folder tree, with the farm's
// PostgreSQL database as the system of record for every task, claim and lease. Each file is
// made a task once (the engine whose insert made the row moves the file, to a name of its
// task); a queued task is claimed by one engine in one statement; the claim's lease is renewed
// by the "FarmLease" thread, which also takes over tasks whose engine stopped renewing and
// keeps this engine's task list in step with the farm; the "FarmListen" thread wakes on the
// farm's notifications (new tasks, claims, commands) and applies them.
//
// Threads and locks: statements run on the caller's thread over one of three connections
// (commands and jobs; the lease thread; the listen thread). No lock is held while a statement
// runs except the connection's own, and none is taken under it; the engine lock and the task
// list's lock are taken only between statements, in the engine's lock order.

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "server/farm/lmFarmClaims.h"
#include "server/farm/lmFarmConnection.h"
#include "server/farm/lmFarmLeases.h"
#include "server/farm/lmVmFarmLink.h"

class TTimerThread;
class TVmEngine;
class TVmSource;

class TVmFarm final : public IVmFarm {
  public:
    // Claims of one task after which an engine's stop fails it instead of queueing it again.
    static constexpr int32_t MaxAttempts = 3;
    // A statement that takes longer than this has lost its connection.
    static constexpr int StatementTimeoutMs = 5000;

    // Folder is the installation folder (with "/"), Port the control port: together with the
    // host they name this engine in the farm, so a restarted installation finds its own rows.
    TVmFarm(TVmEngine& Engine, std::string Folder, int32_t Port);
    ~TVmFarm() override;
    TVmFarm(const TVmFarm&) = delete;
    TVmFarm& operator=(const TVmFarm&) = delete;

    // The farm's name of an installation: a hash of host and folder, as 16 hexadecimal digits.
    static std::string EngineIdFor(const std::string& Host, const std::string& Folder);
    const std::string& EngineId() const { return FEngineId; }
    // The grace past an expired lease before another engine takes the task over.
    int32_t GraceSeconds() const;

    void Start(TVmTaskList& List) override;
    void StopClaiming() override;
    void Stop() override;
    void NewMedia(const std::shared_ptr<TVmSource>& Source,
                  std::unique_ptr<TSourceFileItem> Item) override;
    bool Claim(TVmFarmClaim& Claim) override;
    void Release(const TGUID& Uid) override;
    std::string IntermediateName(const TTaskItem& Task) override;
    bool Commit(const TTaskItem& Task, uint8_t State, const std::string& Message) override;
    bool Holds(const TTaskItem& Task) override;
    void Filed(const TTaskItem& Task, const std::string& Path) override;
    void JobEnded(TTaskItem& Task) override;
    std::vector<TGUID> SetPriority(const std::vector<TGUID>& Uids, int32_t Priority) override;
    void CancelTasks(const std::vector<TGUID>& Uids) override;
    void RemoveTasks(const std::vector<TGUID>& Uids) override;
    void RequeueTasks(const std::vector<TGUID>& Uids, TVmRequeueResult& Result) override;
    bool WriteStatus(TXMLUnicode& Doc, std::string& Message) override;

  private:
    class TListenThread;

    // The lease thread's round: renew, fence, take over, keep the list in step.
    void LeaseRound();
    void SetLeaseInterval(int Ms);
    // Schema, engine row and this engine's leftovers; true once the farm may be used.
    bool BecomeReady();
    bool RecoverOwnWork();
    void RecoverIngests();
    void RemoveOrphans(const std::vector<std::shared_ptr<TVmSource>>& Sources);
    // Files the files of tasks that ended without being filed (by this engine).
    void FileDoneTasks(TFarmClaims& Claims, const std::vector<TFarmTaskRow>& Rows);
    void Abandon(const std::vector<TGUID>& Uids, const std::string& Why);
    // Applies the farm's record of the tasks to this engine's list.
    void Resync(TFarmClaims& Claims, const std::vector<TGUID>& Uids);
    void ResyncLocal(TFarmClaims& Claims);
    void ListenOnce();
    void RequeueOne(const TGUID& Uid, TVmRequeueResult& Result);

    std::shared_ptr<TVmSource> FindSource(const TGUID& Uid) const;
    std::vector<std::shared_ptr<TVmSource>> Sources() const;
    // Logs a file that the farm already has a task of, once per file.
    void NoteTaken(const std::string& Path, int64_t Size, int64_t ModifiedNs);

    TVmEngine& FEngine;
    const std::string FFolder;
    const std::string FHost;
    const std::string FEngineId;
    std::string FName;
    int32_t FPort;
    int32_t FLeaseSeconds;
    std::string FConnectionString;

    std::unique_ptr<TFarmConnection> FDb;
    std::unique_ptr<TFarmConnection> FLeaseDb;
    std::unique_ptr<TFarmConnection> FListenDb;
    std::unique_ptr<TFarmClaims> FClaims;
    std::unique_ptr<TFarmClaims> FLeaseClaims;
    std::unique_ptr<TFarmClaims> FListenClaims;
    TFarmLeases FLeases;

    std::atomic<TVmTaskList*> FList{nullptr};
    std::atomic<bool> FReady{false};
    std::atomic<bool> FClaiming{false};
    std::string FLastReadyError;  // lease thread only

    std::unique_ptr<TTimerThread> FLeaseThread;
    std::atomic<TTimerThread*> FLeaseTimer{nullptr};
    std::unique_ptr<TListenThread> FListener;

    TMutex FNoticeLock;
    std::set<std::string> FNoticed GUARDED_BY(FNoticeLock);
};
