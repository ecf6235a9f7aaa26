#include "server/farm/lmFarmClaims.h"

#include <cstdlib>

#include "server/farm/lmFarmConnection.h"

namespace {

// The columns every statement that returns task rows returns, in TFarmTaskRow's order.
#define LMV_FARM_ROW                                                                        \
    "id, uid, source_uid, path, file_path, state, priority, owner, lease_epoch, attempts, " \
    "cancel_requested, message"
#define LMV_FARM_ROW_OF_T                                                            \
    "t.id, t.uid, t.source_uid, t.path, t.file_path, t.state, t.priority, t.owner, " \
    "t.lease_epoch, t.attempts, t.cancel_requested, t.message"
constexpr size_t RowColumns = 12;

// The event row of every task a statement's "u" returned.
#define LMV_FARM_EVENT(kind, detail)                                                       \
    "e AS (INSERT INTO farm_event (task_uid, engine, kind, detail) SELECT uid, $1, '" kind \
    "', " detail " FROM u) "

int64_t ToInt64(const std::string& Text) {
    return std::strtoll(Text.c_str(), nullptr, 10);
}

TGUID ToGUID(const std::string& Text) {
    TGUID uid;
    return StringToGUID(Text, uid) ? uid : NullGUID;
}

bool ReadRow(const std::vector<std::string>& Columns, TFarmTaskRow& Row) {
    if (Columns.size() < RowColumns) {
        return false;
    }
    Row.Id = ToInt64(Columns[0]);
    Row.Uid = ToGUID(Columns[1]);
    Row.SourceUid = ToGUID(Columns[2]);
    Row.Path = Columns[3];
    Row.FilePath = Columns[4];
    Row.State = static_cast<uint8_t>(ToInt64(Columns[5]));
    Row.Priority = static_cast<int32_t>(ToInt64(Columns[6]));
    Row.Owner = Columns[7];
    Row.Epoch = ToInt64(Columns[8]);
    Row.Attempts = static_cast<int32_t>(ToInt64(Columns[9]));
    Row.CancelRequested = Columns[10] == "t";
    Row.Message = Columns[11];
    return true;
}

void ReadRows(const std::vector<std::vector<std::string>>& Rows, std::vector<TFarmTaskRow>& Out) {
    for (const auto& columns : Rows) {
        TFarmTaskRow row;
        if (ReadRow(columns, row)) {
            Out.push_back(std::move(row));
        }
    }
}

// A text[] literal: every element quoted, so braces and commas in it stay its own.
std::string TextArray(const std::vector<std::string>& Items) {
    std::string text = "{";
    for (size_t i = 0; i < Items.size(); ++i) {
        text += i ? ",\"" : "\"";
        for (char c : Items[i]) {
            if (c == '"' || c == '\\') {
                text += '\\';
            }
            text += c;
        }
        text += '"';
    }
    return text + "}";
}

std::string UidArray(const std::vector<TGUID>& Uids) {
    std::vector<std::string> texts;
    texts.reserve(Uids.size());
    for (const TGUID& uid : Uids) {
        texts.push_back(GUIDToString(uid));
    }
    return TextArray(texts);
}

std::vector<TGUID> FirstColumnUids(const std::vector<std::vector<std::string>>& Rows) {
    std::vector<TGUID> uids;
    for (const auto& row : Rows) {
        if (!row.empty()) {
            uids.push_back(ToGUID(row[0]));
        }
    }
    return uids;
}

// What a task whose engine is gone becomes: cancelled when a cancel was asked for, failed after
// the last attempt, queued again otherwise. $1 the engine that decides, $2 the attempts allowed.
#define LMV_FARM_REQUEUE_SET(who)                                                                \
    "state = CASE WHEN t.cancel_requested THEN 3 WHEN t.attempts >= $2::int THEN 5 ELSE 0 END, " \
    "owner = CASE WHEN t.cancel_requested OR t.attempts >= $2::int THEN $1 ELSE NULL END, "      \
    "message = CASE WHEN t.cancel_requested THEN 'Cancelled by user.' "                          \
    "WHEN t.attempts >= $2::int THEN 'Engine ' || " who                                          \
    " || ' stopped during the job.' "                                                            \
    "ELSE 'Engine ' || " who                                                                     \
    " || ' stopped during the job; queued again.' END, "                                         \
    "lease_expires = NULL, "                                                                     \
    "ended_at = CASE WHEN t.cancel_requested OR t.attempts >= $2::int THEN now() END "

#define LMV_FARM_REQUEUE_RETURNING                        \
    "RETURNING " LMV_FARM_ROW_OF_T                        \
    ", pg_notify('lmv_farm', CASE WHEN t.state = 0 THEN " \
    "'queued ' ELSE 'change ' END || t.uid || ' ' || $1)) "

}  // namespace

TFarmClaims::TFarmClaims(TFarmConnection& Db, std::string Engine)
    : FDb(Db), FEngine(std::move(Engine)) {}

TFarmClaims::TOutcome TFarmClaims::Run(const std::string& Sql,
                                       const std::vector<std::string>& Params,
                                       std::vector<std::vector<std::string>>* Rows) {
    TFarmResult result = FDb.Exec(Sql, Params);
    if (!result.Ok) {
        return TOutcome::Unavailable;
    }
    if (Rows) {
        *Rows = std::move(result.Rows);
    }
    return result.Affected > 0 ? TOutcome::Done : TOutcome::NotMatched;
}

TFarmClaims::TOutcome TFarmClaims::Register(const std::string& Name, const std::string& Host,
                                            const std::string& Folder, int32_t Port,
                                            int32_t LeaseSeconds) {
    return Run(
        "WITH r AS (INSERT INTO farm_engine (uid, name, host, folder, port, lease_seconds) "
        "VALUES ($1, $2, $3, $4, $5::int, $6::int) ON CONFLICT (uid) DO UPDATE SET "
        "name = EXCLUDED.name, host = EXCLUDED.host, folder = EXCLUDED.folder, "
        "port = EXCLUDED.port, lease_seconds = EXCLUDED.lease_seconds, started = now(), "
        "heartbeat = now() RETURNING uid), "
        "e AS (INSERT INTO farm_event (engine, kind, detail) SELECT uid, 'start', $3 || ':' || $4 "
        "FROM r) SELECT uid FROM r",
        {FEngine, Name, Host, Folder, std::to_string(Port), std::to_string(LeaseSeconds)});
}

TFarmClaims::TOutcome TFarmClaims::Insert(const TGUID& Uid, const TGUID& SourceUid,
                                          const std::string& Path, int64_t Size, int64_t ModifiedNs,
                                          const std::string& FilePath, int32_t Priority,
                                          int64_t& Id) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "WITH u AS (INSERT INTO farm_task (uid, source_uid, path, file_size, file_mtime, "
        "file_path, ingest_engine, priority) VALUES ($2, $3, $4, $5::bigint, $6::bigint, $7, $1, "
        "$8::int) ON CONFLICT (source_uid, path, file_size, file_mtime) DO NOTHING "
        "RETURNING id, uid), " LMV_FARM_EVENT("ingest", "$4") "SELECT id FROM u",
        {FEngine, GUIDToString(Uid), GUIDToString(SourceUid), Path, std::to_string(Size),
         std::to_string(ModifiedNs), FilePath, std::to_string(Priority)},
        &rows);
    if (outcome == TOutcome::Done && !rows.empty()) {
        Id = ToInt64(rows[0][0]);
    }
    return outcome;
}

TFarmClaims::TOutcome TFarmClaims::ConfirmIngest(int64_t Id) {
    return Run(
        "UPDATE farm_task SET ingested = true WHERE id = $2::bigint AND ingest_engine = $1 "
        "RETURNING pg_notify('lmv_farm', 'queued ' || uid || ' ' || $1)",
        {FEngine, std::to_string(Id)});
}

TFarmClaims::TOutcome TFarmClaims::DeleteIngest(int64_t Id) {
    return Run(
        "DELETE FROM farm_task WHERE id = $2::bigint AND ingest_engine = $1 AND NOT ingested",
        {FEngine, std::to_string(Id)});
}

TFarmClaims::TOutcome TFarmClaims::Claim(const std::vector<TGUID>& SourceUids, int32_t LeaseSeconds,
                                         TFarmTaskRow& Row) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "WITH c AS (SELECT id FROM farm_task WHERE state = 0 AND ingested AND "
        "source_uid = ANY($2::text[]) ORDER BY priority DESC, id LIMIT 1 FOR UPDATE SKIP LOCKED), "
        "u AS (UPDATE farm_task t SET state = 1, owner = $1, lease_epoch = t.lease_epoch + 1, "
        "lease_expires = now() + make_interval(secs => $3::int), attempts = t.attempts + 1, "
        "filed = false, message = '' FROM c WHERE t.id = c.id RETURNING " LMV_FARM_ROW_OF_T
        ", pg_notify('lmv_farm', 'claim ' || t.uid || ' ' || $1)), " LMV_FARM_EVENT(
            "claim", "'epoch ' || lease_epoch") "SELECT " LMV_FARM_ROW " FROM u",
        {FEngine, UidArray(SourceUids), std::to_string(LeaseSeconds)}, &rows);
    if (outcome == TOutcome::Done && (rows.empty() || !ReadRow(rows[0], Row))) {
        return TOutcome::Unavailable;
    }
    return outcome;
}

TFarmClaims::TOutcome TFarmClaims::Release(int64_t Id, int64_t Epoch) {
    return Run(
        "UPDATE farm_task SET state = 0, owner = NULL, lease_expires = NULL, "
        "attempts = greatest(attempts - 1, 0) WHERE id = $2::bigint AND lease_epoch = $3::bigint "
        "AND owner = $1 AND state IN (1, 2, 6) "
        "RETURNING pg_notify('lmv_farm', 'queued ' || uid || ' ' || $1)",
        {FEngine, std::to_string(Id), std::to_string(Epoch)});
}

TFarmClaims::TOutcome TFarmClaims::Renew(const std::vector<std::pair<int64_t, int64_t>>& Held,
                                         int32_t LeaseSeconds, std::vector<int64_t>& Kept) {
    std::vector<std::string> ids;
    std::vector<std::string> epochs;
    for (const auto& [id, epoch] : Held) {
        ids.push_back(std::to_string(id));
        epochs.push_back(std::to_string(epoch));
    }
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "WITH hb AS (UPDATE farm_engine SET heartbeat = now() WHERE uid = $1) "
        "UPDATE farm_task t SET lease_expires = now() + make_interval(secs => $2::int) "
        "FROM unnest($3::bigint[], $4::bigint[]) AS l(id, epoch) "
        "WHERE t.id = l.id AND t.lease_epoch = l.epoch AND t.owner = $1 AND t.state IN (1, 2, 6) "
        "RETURNING t.id",
        {FEngine, std::to_string(LeaseSeconds), TextArray(ids), TextArray(epochs)}, &rows);
    if (outcome == TOutcome::Unavailable) {
        return outcome;
    }
    for (const auto& row : rows) {
        Kept.push_back(ToInt64(row[0]));
    }
    return TOutcome::Done;
}

TFarmClaims::TOutcome TFarmClaims::Commit(int64_t Id, int64_t Epoch, uint8_t State,
                                          const std::string& Message) {
    return Run(
        "WITH u AS (UPDATE farm_task SET state = $4::smallint, message = $5, "
        "lease_expires = CASE WHEN $4::smallint IN (3, 4, 5) THEN NULL ELSE lease_expires END, "
        "ended_at = CASE WHEN $4::smallint IN (3, 4, 5) THEN now() ELSE ended_at END "
        "WHERE id = $2::bigint AND lease_epoch = $3::bigint AND owner = $1 AND "
        "(state IN (1, 2, 6) OR state = $4::smallint) RETURNING uid, state), " LMV_FARM_EVENT(
            "commit", "'state ' || state") "SELECT uid FROM u",
        {FEngine, std::to_string(Id), std::to_string(Epoch), std::to_string(State), Message});
}

TFarmClaims::TOutcome TFarmClaims::Filed(const TGUID& Uid, const std::string& FilePath) {
    return Run("UPDATE farm_task SET file_path = $3, filed = true WHERE uid = $2 AND owner = $1",
               {FEngine, GUIDToString(Uid), FilePath});
}

TFarmClaims::TOutcome TFarmClaims::TakeOver(int32_t GraceSeconds, int32_t MaxAttempts,
                                            std::vector<TFarmTaskRow>& Changed) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "WITH x AS (SELECT t.id, coalesce(nullif(g.name, ''), g.host, t.owner) AS who "
        "FROM farm_task t LEFT JOIN farm_engine g ON g.uid = t.owner "
        "WHERE t.state IN (1, 2, 6) AND t.lease_expires < now() - make_interval(secs => $3::int) "
        "FOR UPDATE OF t SKIP LOCKED), "
        "u AS (UPDATE farm_task t SET " LMV_FARM_REQUEUE_SET(
            "x.who") "FROM x WHERE t.id = x.id " LMV_FARM_REQUEUE_RETURNING
                     "," LMV_FARM_EVENT("takeover", "message") "SELECT " LMV_FARM_ROW " FROM u",
        {FEngine, std::to_string(MaxAttempts), std::to_string(GraceSeconds)}, &rows);
    ReadRows(rows, Changed);
    return outcome == TOutcome::Unavailable ? outcome : TOutcome::Done;
}

TFarmClaims::TOutcome TFarmClaims::RequeueOwn(int32_t MaxAttempts,
                                              std::vector<TFarmTaskRow>& Changed) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome =
        Run("WITH x AS (SELECT t.id, coalesce(nullif(g.name, ''), g.host, t.owner) AS who "
            "FROM farm_task t LEFT JOIN farm_engine g ON g.uid = t.owner "
            "WHERE t.owner = $1 AND t.state IN (1, 2, 6) FOR UPDATE OF t), "
            "u AS (UPDATE farm_task t SET " LMV_FARM_REQUEUE_SET(
                "x.who") "FROM x WHERE t.id = x.id " LMV_FARM_REQUEUE_RETURNING
                         "," LMV_FARM_EVENT("restart", "message") "SELECT " LMV_FARM_ROW " FROM u",
            {FEngine, std::to_string(MaxAttempts)}, &rows);
    ReadRows(rows, Changed);
    return outcome == TOutcome::Unavailable ? outcome : TOutcome::Done;
}

TFarmClaims::TOutcome TFarmClaims::UnconfirmedIngests(std::vector<TFarmTaskRow>& Rows) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome =
        Run("SELECT " LMV_FARM_ROW " FROM farm_task WHERE ingest_engine = $1 AND NOT ingested",
            {FEngine}, &rows);
    ReadRows(rows, Rows);
    return outcome == TOutcome::Unavailable ? outcome : TOutcome::Done;
}

TFarmClaims::TOutcome TFarmClaims::UnfiledOwn(std::vector<TFarmTaskRow>& Rows) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome =
        Run("SELECT " LMV_FARM_ROW
            " FROM farm_task WHERE owner = $1 AND state IN (3, 4, 5) AND NOT filed",
            {FEngine}, &rows);
    ReadRows(rows, Rows);
    return outcome == TOutcome::Unavailable ? outcome : TOutcome::Done;
}

TFarmClaims::TOutcome TFarmClaims::FilesIn(const TGUID& SourceUid, const std::string& Folder,
                                           std::vector<std::string>& Paths) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome =
        Run("SELECT file_path FROM farm_task WHERE source_uid = $1 AND left(file_path, length($2)) "
            "= $2",
            {GUIDToString(SourceUid), Folder}, &rows);
    for (const auto& row : rows) {
        Paths.push_back(row[0]);
    }
    return outcome == TOutcome::Unavailable ? outcome : TOutcome::Done;
}

TFarmClaims::TOutcome TFarmClaims::Rows(const std::vector<TGUID>& Uids,
                                        std::vector<TFarmTaskRow>& Rows) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome =
        Run("SELECT " LMV_FARM_ROW " FROM farm_task WHERE uid = ANY($1::text[])", {UidArray(Uids)},
            &rows);
    ReadRows(rows, Rows);
    return outcome == TOutcome::Unavailable ? outcome : TOutcome::Done;
}

TFarmClaims::TOutcome TFarmClaims::Cancel(const std::vector<TGUID>& Uids,
                                          std::vector<TGUID>& Changed) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "WITH u AS (UPDATE farm_task t SET cancel_requested = true, "
        "state = CASE WHEN t.state = 0 THEN 3 ELSE t.state END, "
        "message = CASE WHEN t.state = 0 THEN 'Cancelled by user.' ELSE t.message END, "
        "ended_at = CASE WHEN t.state = 0 THEN now() ELSE t.ended_at END "
        "WHERE t.uid = ANY($2::text[]) AND t.state IN (0, 1, 2, 6) "
        "RETURNING t.uid, pg_notify('lmv_farm', 'change ' || t.uid || ' ' || $1)), " LMV_FARM_EVENT(
            "cancel", "''") "SELECT uid FROM u",
        {FEngine, UidArray(Uids)}, &rows);
    Changed = FirstColumnUids(rows);
    return outcome;
}

TFarmClaims::TOutcome TFarmClaims::SetPriority(const std::vector<TGUID>& Uids, int32_t Priority,
                                               std::vector<TGUID>& Changed) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "WITH u AS (UPDATE farm_task t SET priority = $3::int WHERE t.uid = ANY($2::text[]) "
        "RETURNING t.uid, pg_notify('lmv_farm', 'change ' || t.uid || ' ' || $1)), " LMV_FARM_EVENT(
            "priority", "$3") "SELECT uid FROM u",
        {FEngine, UidArray(Uids), std::to_string(Priority)}, &rows);
    Changed = FirstColumnUids(rows);
    return outcome;
}

TFarmClaims::TOutcome TFarmClaims::Remove(const std::vector<TGUID>& Uids,
                                          std::vector<TGUID>& Changed) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "WITH u AS (DELETE FROM farm_task t WHERE t.uid = ANY($2::text[]) AND "
        "t.state IN (0, 3, 4, 5) "
        "RETURNING t.uid, pg_notify('lmv_farm', 'change ' || t.uid || ' ' || $1)), " LMV_FARM_EVENT(
            "remove", "''") "SELECT uid FROM u",
        {FEngine, UidArray(Uids)}, &rows);
    Changed = FirstColumnUids(rows);
    return outcome;
}

TFarmClaims::TOutcome TFarmClaims::TakeForRequeue(const TGUID& Uid, TFarmTaskRow& Row) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome =
        Run("WITH u AS (DELETE FROM farm_task t WHERE t.uid = $2 AND t.state IN (3, 5) "
            "RETURNING " LMV_FARM_ROW_OF_T
            ", pg_notify('lmv_farm', 'change ' || t.uid || ' ' || $1)), " LMV_FARM_EVENT(
                "requeue", "file_path") "SELECT " LMV_FARM_ROW " FROM u",
            {FEngine, GUIDToString(Uid)}, &rows);
    if (outcome == TOutcome::Done && (rows.empty() || !ReadRow(rows[0], Row))) {
        return TOutcome::Unavailable;
    }
    return outcome;
}

TFarmClaims::TOutcome TFarmClaims::Engines(std::vector<TFarmEngineRow>& Engines, int32_t& Queued) {
    std::vector<std::vector<std::string>> rows;
    const TOutcome outcome = Run(
        "SELECT e.uid, e.name, e.host, e.folder, e.port, e.lease_seconds, "
        "extract(epoch FROM now() - e.heartbeat)::float8, "
        "count(t.id) FILTER (WHERE t.state IN (1, 2, 6)), count(t.id) FILTER (WHERE t.state = 4), "
        "count(t.id) FILTER (WHERE t.state = 5), count(t.id) FILTER (WHERE t.state = 3), "
        "(SELECT count(*) FROM farm_task WHERE state = 0) "
        "FROM farm_engine e LEFT JOIN farm_task t ON t.owner = e.uid "
        "GROUP BY e.uid ORDER BY e.name, e.uid",
        {}, &rows);
    Queued = 0;
    for (const auto& row : rows) {
        if (row.size() < 12) {
            continue;
        }
        TFarmEngineRow engine;
        engine.Uid = row[0];
        engine.Name = row[1];
        engine.Host = row[2];
        engine.Folder = row[3];
        engine.Port = static_cast<int32_t>(ToInt64(row[4]));
        engine.LeaseSeconds = static_cast<int32_t>(ToInt64(row[5]));
        engine.HeartbeatAge = std::strtod(row[6].c_str(), nullptr);
        engine.Running = static_cast<int32_t>(ToInt64(row[7]));
        engine.Finished = static_cast<int32_t>(ToInt64(row[8]));
        engine.Failed = static_cast<int32_t>(ToInt64(row[9]));
        engine.Cancelled = static_cast<int32_t>(ToInt64(row[10]));
        Queued = static_cast<int32_t>(ToInt64(row[11]));
        Engines.push_back(std::move(engine));
    }
    return outcome == TOutcome::Unavailable ? outcome : TOutcome::Done;
}
