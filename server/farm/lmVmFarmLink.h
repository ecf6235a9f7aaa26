#pragma once

// What the engine, its sources, the task list, the job and the control server ask of farm
// mode: many engines on one shared watch-folder tree, each file converted once, with the
// farm's database as the arbiter of every claim. Standalone (no "farmdb") has no farm link,
// and every caller then keeps to its standalone path.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxGUID.h"

class TTaskItem;
class TVmSource;
class TVmTaskList;
class TXMLUnicode;
struct TSourceFileItem;
struct TVmRequeueResult;

// A queued task of the farm that this engine has just claimed.
struct TVmFarmClaim {
    TGUID Uid;
    std::shared_ptr<TVmSource> Source;
    std::string FileName;  // the name the file arrived with
    std::string FilePath;  // where it lies: the source's queued folder, under a name of its task
    int32_t Priority = 0;
};

class IVmFarm {
  public:
    virtual ~IVmFarm() = default;

    // Engine start, with the task list attached: connects (and keeps reconnecting) in the
    // background; nothing is ingested or claimed until the schema is in place and this
    // engine's own leftovers of an earlier run are dealt with.
    virtual void Start(TVmTaskList& List) = 0;
    // Shut-down, first step: nothing more is ingested or claimed. Jobs still running keep
    // their leases until they end.
    virtual void StopClaiming() = 0;
    // Shut-down, once every job has ended: the farm's threads stop.
    virtual void Stop() = 0;

    // A settled file of a source: its task is made once in the farm, and only the engine that
    // made it moves the file into the queued folder (and lists the task). The item is dropped
    // otherwise, and the file stays where it is.
    virtual void NewMedia(const std::shared_ptr<TVmSource>& Source,
                          std::unique_ptr<TSourceFileItem> Item) = 0;

    // The dispatcher's claim of the next queued task for this engine; false when there is none
    // or this engine may not claim now.
    virtual bool Claim(TVmFarmClaim& Claim) = 0;
    // A claimed task that no worker took goes back to the queue at once.
    virtual void Release(const TGUID& Uid) = 0;

    // The job's intermediate output file name (in the processing folder), unique to this
    // claim of the task.
    virtual std::string IntermediateName(const TTaskItem& Task) = 0;
    // The task's state and message become the farm's, provided this engine still holds its
    // lease. False when it does not: the task has gone to another engine, and the job must
    // leave its files alone.
    virtual bool Commit(const TTaskItem& Task, uint8_t State, const std::string& Message) = 0;
    // This engine still holds the task's lease and may act on its files (checked before each
    // delivery).
    virtual bool Holds(const TTaskItem& Task) = 0;
    // Where the job filed the task's source file (empty: deleted).
    virtual void Filed(const TTaskItem& Task, const std::string& Path) = 0;
    // The task's job has returned; a state it did not commit is committed now.
    virtual void JobEnded(TTaskItem& Task) = 0;

    // Commands from any manager, carried out on the farm's record; the engine that holds a
    // task applies the change to it. The tasks named that the farm knows, in request order.
    virtual std::vector<TGUID> SetPriority(const std::vector<TGUID>& Uids, int32_t Priority) = 0;
    virtual void CancelTasks(const std::vector<TGUID>& Uids) = 0;
    // Queued and done tasks leave the farm; running ones stay.
    virtual void RemoveTasks(const std::vector<TGUID>& Uids) = 0;
    // The files of failed and cancelled tasks go back into their watch folders; see
    // TVmEngine::RequeueTasks for the rules.
    virtual void RequeueTasks(const std::vector<TGUID>& Uids, TVmRequeueResult& Result) = 0;
    // The farm's engines, their heartbeats and task counts, below the current element; false
    // (with the reason) when the database cannot be read.
    virtual bool WriteStatus(TXMLUnicode& Doc, std::string& Message) = 0;
};
