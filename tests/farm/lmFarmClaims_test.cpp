// The farm's statements against a real PostgreSQL cluster of the test's own: the schema and its
// migration, ingest once per file identity, exclusive claims under concurrent engines, fenced
// commits and renewals, take-over of expired leases, and the connection's deadline.

#include "server/farm/lmFarmClaims.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "server/farm/lmFarmConnection.h"
#include "server/farm/lmFarmSchema.h"
#include "server/ingest/lmVmTaskList.h"
#include "support/TestPostgres.h"
#include "support/TestWait.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using TOutcome = TFarmClaims::TOutcome;

class FarmClaims : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Postgres.Ready());
        std::string error;
        ASSERT_TRUE(TFarmSchema::Migrate(Db, error)) << error;
    }

    // A queued, confirmed task of the source; its uid.
    TGUID Queue(TFarmClaims& Claims, const std::string& Path, int32_t Priority = 0,
                int64_t ModifiedNs = 1) {
        const TGUID uid = NewGUID();
        int64_t id = 0;
        EXPECT_EQ(Claims.Insert(uid, Source, Path, 100, ModifiedNs, "/q/" + Path, Priority, id),
                  TOutcome::Done);
        EXPECT_EQ(Claims.ConfirmIngest(id), TOutcome::Done);
        return uid;
    }

    int64_t Count(const std::string& Sql) {
        const TFarmResult result = Db.Exec(Sql);
        EXPECT_TRUE(result.Ok) << result.Error;
        return result.Ok && !result.Rows.empty() ? std::atoll(result.Rows[0][0].c_str()) : -1;
    }

    // Every lease of the engine runs out now (the database's clock decides, so the test moves
    // the expiry rather than waiting).
    void Expire(const std::string& Engine) {
        ASSERT_TRUE(Db.Exec("UPDATE farm_task SET lease_expires = now() - interval '1 hour' "
                            "WHERE owner = $1",
                            {Engine})
                        .Ok);
    }

    TTestPostgres Postgres;
    TFarmConnection Db{Postgres.ConnectionString(), "test", 5000};
    TFarmClaims A{Db, "engine-a"};
    TFarmClaims B{Db, "engine-b"};
    const TGUID Source = NewGUID();
};

TEST_F(FarmClaims, SchemaMigratesOnceAndANewerOneIsRefused) {
    EXPECT_EQ(TFarmSchema::CurrentVersion(Db), TFarmSchema::Version);
    std::string error;
    EXPECT_TRUE(TFarmSchema::Migrate(Db, error)) << error;
    EXPECT_EQ(Count("SELECT count(*) FROM farm_schema"), 1);
    // The history cannot be rewritten.
    Queue(A, "a.mov");
    EXPECT_GT(Count("SELECT count(*) FROM farm_event"), 0);
    EXPECT_FALSE(Db.Exec("DELETE FROM farm_event").Ok);
    EXPECT_FALSE(Db.Exec("UPDATE farm_event SET kind = 'x'").Ok);

    ASSERT_TRUE(Db.Exec("UPDATE farm_schema SET version = 99").Ok);
    EXPECT_FALSE(TFarmSchema::Migrate(Db, error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

// Two engines see the same file: one row, made by the first; the same name with another
// modification time is a new file and a new task.
TEST_F(FarmClaims, AFileIsInsertedOncePerIdentity) {
    int64_t id = 0;
    EXPECT_EQ(A.Insert(NewGUID(), Source, "clip.mov", 100, 5, "/q/1", 0, id), TOutcome::Done);
    EXPECT_EQ(B.Insert(NewGUID(), Source, "clip.mov", 100, 5, "/q/2", 0, id), TOutcome::NotMatched);
    EXPECT_EQ(B.Insert(NewGUID(), Source, "clip.mov", 100, 6, "/q/3", 0, id), TOutcome::Done);
    EXPECT_EQ(Count("SELECT count(*) FROM farm_task"), 2);
    // Unconfirmed ingests are never claimed.
    TFarmTaskRow row;
    EXPECT_EQ(A.Claim({Source}, 30, row), TOutcome::NotMatched);
    EXPECT_EQ(B.DeleteIngest(id), TOutcome::Done);
}

TEST_F(FarmClaims, ClaimsTakeThePriorityThenTheOldestAndOnlyKnownSources) {
    const TGUID low = Queue(A, "low.mov", 0);
    const TGUID first = Queue(A, "first.mov", 5);
    const TGUID second = Queue(A, "second.mov", 5);
    TFarmTaskRow row;
    EXPECT_EQ(B.Claim({NewGUID()}, 30, row), TOutcome::NotMatched);
    std::vector<TGUID> order;
    while (B.Claim({Source}, 30, row) == TOutcome::Done) {
        order.push_back(row.Uid);
        EXPECT_EQ(row.Owner, "engine-b");
        EXPECT_EQ(row.Epoch, 1);
        EXPECT_EQ(row.State, tsTranscoding);
    }
    EXPECT_EQ(order, (std::vector<TGUID>{first, second, low}));
}

// Four engines on their own connections claim 200 tasks at once: each task goes to exactly one.
TEST_F(FarmClaims, ConcurrentEnginesNeverClaimTheSameTask) {
    constexpr int Tasks = 200;
    for (int i = 0; i < Tasks; ++i) {
        Queue(A, "clip" + std::to_string(i) + ".mov");
    }
    std::vector<std::vector<TGUID>> claimed(4);
    std::vector<std::thread> engines;
    for (size_t e = 0; e < claimed.size(); ++e) {
        engines.emplace_back([&, e] {
            TFarmConnection db(Postgres.ConnectionString(), "engine", 5000);
            TFarmClaims claims(db, "engine-" + std::to_string(e));
            TFarmTaskRow row;
            while (claims.Claim({Source}, 30, row) == TOutcome::Done) {
                claimed[e].push_back(row.Uid);
            }
        });
    }
    for (std::thread& engine : engines) {
        engine.join();
    }
    std::set<TGUID> all;
    size_t total = 0;
    for (const auto& uids : claimed) {
        total += uids.size();
        all.insert(uids.begin(), uids.end());
    }
    EXPECT_EQ(total, static_cast<size_t>(Tasks));
    EXPECT_EQ(all.size(), static_cast<size_t>(Tasks));
    EXPECT_EQ(Count("SELECT count(*) FROM farm_task WHERE state = 1"), Tasks);
}

// A's lease runs out and B takes the task over: A's renewal keeps nothing and its commit
// changes nothing, while B's goes through; a commit repeated after a lost answer is harmless.
TEST_F(FarmClaims, OnlyTheHolderOfTheCurrentEpochCommits) {
    const TGUID uid = Queue(A, "clip.mov");
    TFarmTaskRow held;
    ASSERT_EQ(A.Claim({Source}, 30, held), TOutcome::Done);
    std::vector<int64_t> kept;
    ASSERT_EQ(A.Renew({{held.Id, held.Epoch}}, 30, kept), TOutcome::Done);
    EXPECT_EQ(kept, std::vector<int64_t>{held.Id});
    EXPECT_EQ(A.Commit(held.Id, held.Epoch + 1, tsFiling, ""), TOutcome::NotMatched);
    EXPECT_EQ(B.Commit(held.Id, held.Epoch, tsFiling, ""), TOutcome::NotMatched);

    ASSERT_NO_FATAL_FAILURE(Expire("engine-a"));
    std::vector<TFarmTaskRow> taken;
    ASSERT_EQ(B.TakeOver(1, 3, taken), TOutcome::Done);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].State, tsQueued);
    TFarmTaskRow again;
    ASSERT_EQ(B.Claim({Source}, 30, again), TOutcome::Done);
    EXPECT_EQ(again.Uid, uid);
    EXPECT_EQ(again.Epoch, held.Epoch + 1);
    EXPECT_EQ(again.Attempts, 2);

    kept.clear();
    ASSERT_EQ(A.Renew({{held.Id, held.Epoch}}, 30, kept), TOutcome::Done);
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(A.Commit(held.Id, held.Epoch, tsFinished, "Completed."), TOutcome::NotMatched);
    EXPECT_EQ(B.Commit(again.Id, again.Epoch, tsFinished, "Completed."), TOutcome::Done);
    EXPECT_EQ(B.Commit(again.Id, again.Epoch, tsFinished, "Completed."), TOutcome::Done);
    std::vector<TFarmTaskRow> rows;
    ASSERT_EQ(A.Rows({uid}, rows), TOutcome::Done);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].State, tsFinished);
    EXPECT_EQ(rows[0].Owner, "engine-b");
    // A done task is no lease any more: nothing takes it over.
    ASSERT_NO_FATAL_FAILURE(Expire("engine-b"));
    taken.clear();
    ASSERT_EQ(A.TakeOver(0, 3, taken), TOutcome::Done);
    EXPECT_TRUE(taken.empty());
}

// Whoever stops during the job, the task goes back to the queue until its last attempt, and
// then fails naming the engine; a task whose cancel was asked for ends cancelled.
TEST_F(FarmClaims, TakeOverFailsATaskAfterItsLastAttempt) {
    ASSERT_EQ(A.Register("Edit 3", "host3", "/opt/a/", 9797, 30), TOutcome::Done);
    const TGUID uid = Queue(A, "clip.mov");
    const TGUID cancelled = Queue(A, "other.mov");
    TFarmTaskRow row;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE(attempt);
        ASSERT_EQ(A.Claim({Source}, 30, row), TOutcome::Done);
        EXPECT_EQ(row.Uid, uid);
        ASSERT_NO_FATAL_FAILURE(Expire("engine-a"));
        std::vector<TFarmTaskRow> taken;
        ASSERT_EQ(B.TakeOver(0, 3, taken), TOutcome::Done);
        ASSERT_EQ(taken.size(), 1u);
        if (attempt < 3) {
            EXPECT_EQ(taken[0].State, tsQueued);
            EXPECT_EQ(taken[0].Message, "Engine Edit 3 stopped during the job; queued again.");
        } else {
            EXPECT_EQ(taken[0].State, tsFailed);
            EXPECT_EQ(taken[0].Message, "Engine Edit 3 stopped during the job.");
            EXPECT_EQ(taken[0].Owner, "engine-b");  // B files the file
        }
    }
    ASSERT_EQ(A.Claim({Source}, 30, row), TOutcome::Done);
    EXPECT_EQ(row.Uid, cancelled);
    std::vector<TGUID> changed;
    ASSERT_EQ(B.Cancel({cancelled}, changed), TOutcome::Done);
    ASSERT_NO_FATAL_FAILURE(Expire("engine-a"));
    std::vector<TFarmTaskRow> taken;
    ASSERT_EQ(B.TakeOver(0, 3, taken), TOutcome::Done);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].State, tsCancelled);
}

// Commands from any engine change the record: a queued task is cancelled at once, a running
// one only asked; queued and done tasks can be removed, running ones cannot.
TEST_F(FarmClaims, CommandsChangeTheRecordWhereverTheTaskRuns) {
    const TGUID queued = Queue(A, "queued.mov");
    const TGUID running = Queue(A, "running.mov", 9);
    TFarmTaskRow row;
    ASSERT_EQ(A.Claim({Source}, 30, row), TOutcome::Done);
    ASSERT_EQ(row.Uid, running);
    std::vector<TGUID> changed;
    ASSERT_EQ(B.SetPriority({queued, running, NewGUID()}, 4, changed), TOutcome::Done);
    EXPECT_EQ(changed.size(), 2u);
    ASSERT_EQ(B.Cancel({queued, running}, changed), TOutcome::Done);
    std::vector<TFarmTaskRow> rows;
    ASSERT_EQ(B.Rows({queued, running}, rows), TOutcome::Done);
    ASSERT_EQ(rows.size(), 2u);
    for (const TFarmTaskRow& r : rows) {
        EXPECT_TRUE(r.CancelRequested);
        EXPECT_EQ(r.Priority, 4);
        EXPECT_EQ(r.State, r.Uid == queued ? tsCancelled : tsTranscoding);
    }
    ASSERT_EQ(B.Remove({queued, running}, changed), TOutcome::Done);
    EXPECT_EQ(changed, std::vector<TGUID>{queued});
    EXPECT_EQ(Count("SELECT count(*) FROM farm_task"), 1);
}

// A database that does not answer costs a statement its deadline; the next one connects anew.
TEST_F(FarmClaims, AStatementPastItsDeadlineDropsTheConnection) {
    TFarmConnection slow(Postgres.ConnectionString(), "slow", 300);
    const TFarmResult stuck = slow.Exec("SELECT pg_sleep(5)");
    EXPECT_FALSE(stuck.Ok);
    EXPECT_TRUE(stuck.ConnectionLost);
    EXPECT_FALSE(slow.Connected());
    // Connects are not retried within half a second of a failure.
    ASSERT_TRUE(WaitFor([&] { return slow.Exec("SELECT 1").Ok; }, 5s));
}

}  // namespace
