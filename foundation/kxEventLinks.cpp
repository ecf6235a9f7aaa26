#include "foundation/kxEventLinks.h"

TEventLinksCore::TEventLinksCore() : FLinks(std::make_shared<const std::vector<TLink>>()) {}

std::shared_ptr<const std::vector<TEventLinksCore::TLink>> TEventLinksCore::Snapshot() const {
    TLock guard(FLock);
    return FLinks;
}

void TEventLinksCore::Add(TLink Link) {
    TLock guard(FLock);
    auto links = std::make_shared<std::vector<TLink>>(*FLinks);
    links->push_back(std::move(Link));
    FLinks = std::move(links);
}

void TEventLinksCore::Fire(int32_t Code, void* Subject, int32_t Value) const {
    if (FDisableCount.load(std::memory_order_acquire) != 0)
        return;
    const std::shared_ptr<const std::vector<TLink>> links = Snapshot();
    for (auto link = links->rbegin(); link != links->rend(); ++link)
        (*link)(Code, Subject, Value);
}

void TEventLinksCore::Disable() {
    FDisableCount.fetch_add(1, std::memory_order_acq_rel);
}

void TEventLinksCore::Clear() {
    std::shared_ptr<const std::vector<TLink>> old;
    {
        TLock guard(FLock);
        old = std::exchange(FLinks, std::make_shared<const std::vector<TLink>>());
    }
    // The handlers (and what they captured) are released outside the lock.
}

int32_t TEventLinksCore::Count() const {
    return static_cast<int32_t>(Snapshot()->size());
}
