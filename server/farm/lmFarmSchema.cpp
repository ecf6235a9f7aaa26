#include "server/farm/lmFarmSchema.h"

#include <cstdlib>

#include "foundation/kxLogFile.h"
#include "server/farm/lmFarmConnection.h"

namespace {

// Serialises migrations across the farm (an arbitrary key of our own).
constexpr const char* MigrationLock = "SELECT pg_advisory_xact_lock(7263201500)";

// Migration N brings the database from version N-1 to N. Never change one that has shipped:
// add the next.
const char* const Migrations[] = {
    // 1: the first tables.
    R"sql(
CREATE TABLE farm_engine (
    uid text PRIMARY KEY,
    name text NOT NULL DEFAULT '',
    host text NOT NULL DEFAULT '',
    folder text NOT NULL DEFAULT '',
    port integer NOT NULL DEFAULT 0,
    lease_seconds integer NOT NULL DEFAULT 30,
    started timestamptz NOT NULL DEFAULT now(),
    heartbeat timestamptz NOT NULL DEFAULT now());
CREATE TABLE farm_task (
    id bigserial PRIMARY KEY,
    uid text NOT NULL UNIQUE,
    source_uid text NOT NULL,
    path text NOT NULL,
    file_size bigint NOT NULL,
    file_mtime bigint NOT NULL,
    file_path text NOT NULL,
    ingest_engine text NOT NULL,
    ingested boolean NOT NULL DEFAULT false,
    state smallint NOT NULL DEFAULT 0,
    priority integer NOT NULL DEFAULT 0,
    message text NOT NULL DEFAULT '',
    owner text,
    lease_epoch bigint NOT NULL DEFAULT 0,
    lease_expires timestamptz,
    attempts integer NOT NULL DEFAULT 0,
    cancel_requested boolean NOT NULL DEFAULT false,
    filed boolean NOT NULL DEFAULT false,
    queued_at timestamptz NOT NULL DEFAULT now(),
    ended_at timestamptz,
    UNIQUE (source_uid, path, file_size, file_mtime));
CREATE INDEX farm_task_queue ON farm_task (priority DESC, id) WHERE state = 0 AND ingested;
CREATE INDEX farm_task_leases ON farm_task (lease_expires) WHERE state IN (1, 2, 6);
CREATE INDEX farm_task_owner ON farm_task (owner, state);
CREATE TABLE farm_event (
    id bigserial PRIMARY KEY,
    at timestamptz NOT NULL DEFAULT now(),
    task_uid text,
    engine text NOT NULL,
    kind text NOT NULL,
    detail text NOT NULL DEFAULT '');
CREATE FUNCTION farm_event_append_only() RETURNS trigger LANGUAGE plpgsql AS $f$
BEGIN
    RAISE EXCEPTION 'farm_event is append-only';
END $f$;
CREATE TRIGGER farm_event_append_only BEFORE UPDATE OR DELETE ON farm_event
    FOR EACH ROW EXECUTE FUNCTION farm_event_append_only();
)sql",
};

constexpr int MigrationCount = static_cast<int>(sizeof Migrations / sizeof Migrations[0]);
static_assert(MigrationCount == TFarmSchema::Version);

// Runs the statements in one transaction under the migration lock; the step sees the version
// first and does nothing when another engine has done it.
bool RunInTransaction(TFarmConnection& Db, int Target, const char* Sql, std::string& Error) {
    TFarmResult begin = Db.Exec("BEGIN");
    if (!begin.Ok) {
        Error = begin.Error;
        return false;
    }
    auto fail = [&](const TFarmResult& result) {
        Error = result.Error;
        Db.Exec("ROLLBACK");
        return false;
    };
    TFarmResult step = Db.Exec(MigrationLock);
    if (!step.Ok) {
        return fail(step);
    }
    step = Db.Exec("SELECT version FROM farm_schema");
    if (!step.Ok || step.Rows.size() != 1) {
        return fail(step);
    }
    if (std::atoi(step.Rows[0][0].c_str()) == Target - 1) {
        step = Db.Exec(Sql);
        if (!step.Ok) {
            return fail(step);
        }
        step = Db.Exec("UPDATE farm_schema SET version = $1", {std::to_string(Target)});
        if (!step.Ok) {
            return fail(step);
        }
        LogText("Farm database migrated to schema version " + std::to_string(Target) + ".");
    }
    step = Db.Exec("COMMIT");
    if (!step.Ok) {
        Error = step.Error;
        return false;
    }
    return true;
}

}  // namespace

int TFarmSchema::CurrentVersion(TFarmConnection& Db) {
    const TFarmResult result = Db.Exec("SELECT version FROM farm_schema");
    if (!result.Ok || result.Rows.size() != 1) {
        return -1;
    }
    return std::atoi(result.Rows[0][0].c_str());
}

bool TFarmSchema::Migrate(TFarmConnection& Db, std::string& Error) {
    const TFarmResult base =
        Db.Exec(std::string("BEGIN; ") + MigrationLock +
                "; CREATE TABLE IF NOT EXISTS farm_schema (version integer NOT NULL); "
                "INSERT INTO farm_schema SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM farm_schema); "
                "COMMIT;");
    if (!base.Ok) {
        Error = base.Error;
        if (!base.ConnectionLost) {
            Db.Exec("ROLLBACK");
        }
        return false;
    }
    const int current = CurrentVersion(Db);
    if (current < 0) {
        Error = "the schema version cannot be read";
        return false;
    }
    if (current > Version) {
        Error = "the farm database has schema version " + std::to_string(current) +
                ", newer than this engine's " + std::to_string(Version);
        return false;
    }
    for (int target = current + 1; target <= Version; ++target) {
        if (!RunInTransaction(Db, target, Migrations[target - 1], Error)) {
            return false;
        }
    }
    return true;
}
