#pragma once

// The statements on the farm's task rows: ingest, claim, lease renewal, fenced commits,
// take-over of expired leases, the restart of an engine, the commands of managers and the
// farm's status. Each is one short statement in autocommit (no transaction stays open during
// a job); every time that decides a lease is the database's clock. An engine is named by its
// farm identity (TVmFarm::EngineId).
//
// A claim sets the owner, a new lease epoch and the lease's expiry; every later change of the
// row by its owner is checked against (task, epoch, owner), so an engine that lost its lease
// changes nothing.

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/kxGUID.h"

class TFarmConnection;

// One task row as the statements return it.
struct TFarmTaskRow {
    int64_t Id = 0;
    TGUID Uid;
    TGUID SourceUid;
    std::string Path;      // relative to the watch folder: the name the file arrived with
    std::string FilePath;  // where the file lies now
    uint8_t State = 0;
    int32_t Priority = 0;
    std::string Owner;  // empty when none
    int64_t Epoch = 0;
    int32_t Attempts = 0;
    bool CancelRequested = false;
    std::string Message;
};

// One engine as the farm status shows it.
struct TFarmEngineRow {
    std::string Uid;
    std::string Name;
    std::string Host;
    std::string Folder;
    int32_t Port = 0;
    int32_t LeaseSeconds = 0;
    double HeartbeatAge = 0;  // seconds, by the database's clock
    int32_t Running = 0;
    int32_t Finished = 0;
    int32_t Failed = 0;
    int32_t Cancelled = 0;
};

class TFarmClaims {
  public:
    // The notification channel: payloads "queued UID ENGINE", "claim UID ENGINE" and
    // "change UID ENGINE" (a command changed the task).
    static constexpr const char* Channel = "lmv_farm";

    TFarmClaims(TFarmConnection& Db, std::string Engine);

    enum class TOutcome { Done, NotMatched, Unavailable };

    // Engine rows.
    TOutcome Register(const std::string& Name, const std::string& Host, const std::string& Folder,
                      int32_t Port, int32_t LeaseSeconds);

    // Ingest: the row of a file, inserted once; NotMatched when a row of that identity exists
    // (another engine took the file). The row counts as ingested only once confirmed, after the
    // file has moved to FilePath.
    TOutcome Insert(const TGUID& Uid, const TGUID& SourceUid, const std::string& Path, int64_t Size,
                    int64_t ModifiedNs, const std::string& FilePath, int32_t Priority, int64_t& Id);
    TOutcome ConfirmIngest(int64_t Id);
    TOutcome DeleteIngest(int64_t Id);

    // The best queued task of the given sources (priority, then age) becomes this engine's.
    TOutcome Claim(const std::vector<TGUID>& SourceUids, int32_t LeaseSeconds, TFarmTaskRow& Row);
    // Back to the queue, as if never claimed.
    TOutcome Release(int64_t Id, int64_t Epoch);
    // Renews every lease held (id, epoch) and the engine's heartbeat in one statement; Kept
    // receives the ids still held.
    TOutcome Renew(const std::vector<std::pair<int64_t, int64_t>>& Held, int32_t LeaseSeconds,
                   std::vector<int64_t>& Kept);
    // Fenced: state and message of a held task; a done state ends the lease.
    TOutcome Commit(int64_t Id, int64_t Epoch, uint8_t State, const std::string& Message);
    // Where the owner filed the task's file.
    TOutcome Filed(const TGUID& Uid, const std::string& FilePath);

    // Tasks whose lease expired more than Grace seconds ago go back to the queue, or, after
    // MaxAttempts claims, fail with the reason (cancelled, when a cancel was asked for);
    // Changed receives them all, and this engine files the files of those that ended.
    TOutcome TakeOver(int32_t GraceSeconds, int32_t MaxAttempts,
                      std::vector<TFarmTaskRow>& Changed);
    // At start: this engine's own running tasks go back to the queue (or end, as above).
    TOutcome RequeueOwn(int32_t MaxAttempts, std::vector<TFarmTaskRow>& Changed);
    // At start: this engine's ingests that were not confirmed.
    TOutcome UnconfirmedIngests(std::vector<TFarmTaskRow>& Rows);
    // At start: this engine's done tasks whose file it did not file.
    TOutcome UnfiledOwn(std::vector<TFarmTaskRow>& Rows);
    // The file paths of a source's tasks that lie in the folder (ending in "/").
    TOutcome FilesIn(const TGUID& SourceUid, const std::string& Folder,
                     std::vector<std::string>& Paths);

    // The rows of the uids that exist.
    TOutcome Rows(const std::vector<TGUID>& Uids, std::vector<TFarmTaskRow>& Rows);
    // Commands; Changed receives the uids of the rows changed.
    TOutcome Cancel(const std::vector<TGUID>& Uids, std::vector<TGUID>& Changed);
    TOutcome SetPriority(const std::vector<TGUID>& Uids, int32_t Priority,
                         std::vector<TGUID>& Changed);
    // Queued and done rows go; rows of running tasks stay.
    TOutcome Remove(const std::vector<TGUID>& Uids, std::vector<TGUID>& Changed);
    // A failed or cancelled row goes, for its file to be queued again; NotMatched when the row
    // is in another state by now.
    TOutcome TakeForRequeue(const TGUID& Uid, TFarmTaskRow& Row);

    TOutcome Engines(std::vector<TFarmEngineRow>& Engines, int32_t& Queued);

  private:
    TOutcome Run(const std::string& Sql, const std::vector<std::string>& Params,
                 std::vector<std::vector<std::string>>* Rows = nullptr);

    TFarmConnection& FDb;
    const std::string FEngine;
};
