#include "server/farm/lmFarmLeases.h"

#include <algorithm>

TFarmLeases::TFarmLeases(int32_t LeaseSeconds) : FLease(std::chrono::seconds(LeaseSeconds)) {}

void TFarmLeases::Hold(const TGUID& Uid, int64_t Id, int64_t Epoch) {
    TLock lock(FLock);
    FHeld[Uid] = THeld{Uid, Id, Epoch, false};
}

void TFarmLeases::MarkCommitted(const TGUID& Uid) {
    TLock lock(FLock);
    const auto found = FHeld.find(Uid);
    if (found != FHeld.end()) {
        found->second.Committed = true;
    }
}

void TFarmLeases::Drop(const TGUID& Uid) {
    TLock lock(FLock);
    FHeld.erase(Uid);
}

bool TFarmLeases::Find(const TGUID& Uid, THeld& Held) const {
    TLock lock(FLock);
    const auto found = FHeld.find(Uid);
    if (found == FHeld.end()) {
        return false;
    }
    Held = found->second;
    return true;
}

std::vector<TFarmLeases::THeld> TFarmLeases::ToRenew() const {
    TLock lock(FLock);
    std::vector<THeld> held;
    for (const auto& [uid, lease] : FHeld) {
        if (!lease.Committed) {
            held.push_back(lease);
        }
    }
    return held;
}

std::vector<TGUID> TFarmLeases::Renewed(TClock::time_point SentAt, const std::vector<THeld>& Sent,
                                        const std::vector<int64_t>& Kept) {
    TLock lock(FLock);
    FLastRenewed = std::max(FLastRenewed, SentAt);
    std::vector<TGUID> lost;
    for (const THeld& lease : Sent) {
        if (std::find(Kept.begin(), Kept.end(), lease.Id) != Kept.end()) {
            continue;
        }
        // Only the claim that was sent: a task claimed again or committed meanwhile is not lost.
        const auto found = FHeld.find(lease.Uid);
        if (found != FHeld.end() && found->second.Epoch == lease.Epoch &&
            !found->second.Committed) {
            lost.push_back(lease.Uid);
            FHeld.erase(found);
        }
    }
    return lost;
}

std::vector<TGUID> TFarmLeases::FenceIfOverdue() {
    TLock lock(FLock);
    std::vector<TGUID> lost;
    if (TClock::now() - FLastRenewed < FLease) {
        return lost;
    }
    for (const auto& [uid, lease] : FHeld) {
        if (!lease.Committed) {
            lost.push_back(uid);
        }
    }
    std::erase_if(FHeld, [](const auto& entry) { return !entry.second.Committed; });
    return lost;
}

bool TFarmLeases::Healthy() const {
    TLock lock(FLock);
    return TClock::now() - FLastRenewed < FLease;
}
