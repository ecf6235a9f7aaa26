#pragma once

// A multicast event: every linked handler is called, synchronously on the raising thread, with
// (event code, subject, extra value), from the last link added to the first. Links cannot be
// removed one by one; subscribers live as long as the object they subscribe to.
//
// Linking, firing, disabling and clearing may happen on different threads at once: a Fire
// calls the links present when it began, so a link added meanwhile (also by a handler of that
// same Fire) is first called by the next Fire.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/kxMutex.h"

// The part of every event list that does not depend on the subject type.
class TEventLinksCore {
  public:
    using TLink = std::function<void(int32_t Code, void* Subject, int32_t Value)>;

    TEventLinksCore();
    TEventLinksCore(const TEventLinksCore&) = delete;
    TEventLinksCore& operator=(const TEventLinksCore&) = delete;

    void Add(TLink Link);
    void Fire(int32_t Code, void* Subject, int32_t Value) const;
    void Disable();
    void Clear();
    int32_t Count() const;

  private:
    std::shared_ptr<const std::vector<TLink>> Snapshot() const;

    mutable TMutex FLock;
    // Replaced as a whole on every change, so a Fire in progress keeps the links it started
    // with alive and unchanged without holding the lock while handlers run.
    std::shared_ptr<const std::vector<TLink>> FLinks GUARDED_BY(FLock);
    std::atomic<int32_t> FDisableCount{0};
};

template <class TSubject>
class TEventLinks {
  public:
    using THandler = std::function<void(int32_t Code, TSubject* Subject, int32_t Value)>;

    TEventLinks() = default;
    ~TEventLinks() {
        FCore.Disable();
        FCore.Clear();
    }

    // Appends a link; a handler added twice is called twice.
    void Add(THandler Handler) {
        FCore.Add([handler = std::move(Handler)](int32_t code, void* subject, int32_t value) {
            handler(code, static_cast<TSubject*>(subject), value);
        });
    }

    // Calls every handler, newest link first, unless the list has been disabled.
    void Fire(int32_t Code, TSubject* Subject, int32_t Value) const {
        FCore.Fire(Code, const_cast<void*>(static_cast<const void*>(Subject)), Value);
    }

    // From now on Fire calls nothing.
    void Disable() { FCore.Disable(); }

    // Drops every link.
    void Clear() { FCore.Clear(); }

    int32_t Count() const { return FCore.Count(); }

  private:
    TEventLinksCore FCore;
};
