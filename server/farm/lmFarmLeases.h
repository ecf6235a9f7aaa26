#pragma once

// The leases this engine holds, and whether it may still act on them. The database decides
// who owns a task (its clock sets every expiry); this engine times its own fencing with a
// monotonic clock: once no renewal has succeeded for a whole lease time, counted from the
// moment the last successful renewal was sent, every lease counts as lost, since the database
// may have given the tasks to another engine. Safe from any thread; a leaf lock.

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "foundation/kxGUID.h"
#include "foundation/kxMutex.h"

class TFarmLeases {
  public:
    using TClock = std::chrono::steady_clock;

    struct THeld {
        TGUID Uid;
        int64_t Id = 0;
        int64_t Epoch = 0;
        // The job committed a done state: the lease has ended, nothing is renewed.
        bool Committed = false;
    };

    explicit TFarmLeases(int32_t LeaseSeconds);

    void Hold(const TGUID& Uid, int64_t Id, int64_t Epoch);
    void MarkCommitted(const TGUID& Uid);
    void Drop(const TGUID& Uid);
    bool Find(const TGUID& Uid, THeld& Held) const;
    // The leases to renew (not committed).
    std::vector<THeld> ToRenew() const;

    // A renewal sent at SentAt succeeded and kept these ids: the clock restarts from SentAt,
    // and every lease renewed but not kept is lost (dropped and returned).
    std::vector<TGUID> Renewed(TClock::time_point SentAt, const std::vector<THeld>& Sent,
                               const std::vector<int64_t>& Kept);
    // While no renewal has succeeded within the lease time: every lease is dropped and
    // returned (once).
    std::vector<TGUID> FenceIfOverdue();
    // A renewal has succeeded within the lease time.
    bool Healthy() const;

  private:
    const TClock::duration FLease;
    mutable TMutex FLock;
    std::map<TGUID, THeld> FHeld GUARDED_BY(FLock);
    TClock::time_point FLastRenewed GUARDED_BY(FLock);
};
