#pragma once

// The system's locking types: a mutex, a recursive mutex, a reader-writer mutex, the scoped
// locks that hold them, and a condition variable that waits on a held lock. They are the
// standard library's types wearing the attributes of kxThreadSafety.h, so that a Clang build
// checks which lock guards which member and the lock order between them.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "foundation/kxThreadSafety.h"

class CAPABILITY("mutex") TMutex {
  public:
    TMutex() = default;
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    void Lock() ACQUIRE() { FMutex.lock(); }
    void Unlock() RELEASE() { FMutex.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return FMutex.try_lock(); }

  private:
    friend class TConditionVariable;
    friend class TLockPair;
    std::mutex FMutex;
};

// Taken again by the thread that holds it, as the engine's and the task list's locks are when a
// locked call reaches another one of the same object. The analysis does not count depth: a
// function that takes it again while its caller holds it simply does not say REQUIRES.
class CAPABILITY("mutex") TRecursiveMutex {
  public:
    TRecursiveMutex() = default;
    TRecursiveMutex(const TRecursiveMutex&) = delete;
    TRecursiveMutex& operator=(const TRecursiveMutex&) = delete;

    void Lock() ACQUIRE() { FMutex.lock(); }
    void Unlock() RELEASE() { FMutex.unlock(); }

  private:
    std::recursive_mutex FMutex;
};

// Many readers or one writer.
class CAPABILITY("mutex") TSharedMutex {
  public:
    TSharedMutex() = default;
    TSharedMutex(const TSharedMutex&) = delete;
    TSharedMutex& operator=(const TSharedMutex&) = delete;

    void Lock() ACQUIRE() { FMutex.lock(); }
    void Unlock() RELEASE() { FMutex.unlock(); }
    void LockShared() ACQUIRE_SHARED() { FMutex.lock_shared(); }
    void UnlockShared() RELEASE_SHARED() { FMutex.unlock_shared(); }

  private:
    std::shared_mutex FMutex;
};

// Holds a mutex (a TMutex, a TRecursiveMutex, or a TSharedMutex for writing) from construction to
// destruction; `Unlock` and `Lock` let it go for a stretch in between (a call out of the object,
// a slow step) and take it back.
template <class TMutexType>
class SCOPED_CAPABILITY TLock {
  public:
    explicit TLock(TMutexType& mutex) ACQUIRE(mutex) : FMutex(mutex) { FMutex.Lock(); }
    ~TLock() RELEASE() {
        if (FHeld) {
            FMutex.Unlock();
        }
    }
    TLock(const TLock&) = delete;
    TLock& operator=(const TLock&) = delete;

    void Unlock() RELEASE() {
        FHeld = false;
        FMutex.Unlock();
    }
    void Lock() ACQUIRE() {
        FMutex.Lock();
        FHeld = true;
    }

  private:
    friend class TConditionVariable;
    TMutexType& FMutex;
    bool FHeld = true;
};

// Holds two mutexes of the same kind, taken together without a deadlock whichever order
// another thread names them in (copying one object from another of its class).
class SCOPED_CAPABILITY TLockPair {
  public:
    TLockPair(TMutex& first, TMutex& second) ACQUIRE(first, second)
        : FFirst(first), FSecond(second) {
        std::lock(FFirst.FMutex, FSecond.FMutex);
    }
    ~TLockPair() RELEASE() {
        FFirst.Unlock();
        FSecond.Unlock();
    }
    TLockPair(const TLockPair&) = delete;
    TLockPair& operator=(const TLockPair&) = delete;

  private:
    TMutex& FFirst;
    TMutex& FSecond;
};

// Holds a TSharedMutex for reading.
class SCOPED_CAPABILITY TSharedLock {
  public:
    explicit TSharedLock(TSharedMutex& mutex) ACQUIRE_SHARED(mutex) : FMutex(mutex) {
        FMutex.LockShared();
    }
    ~TSharedLock() RELEASE() { FMutex.UnlockShared(); }
    TSharedLock(const TSharedLock&) = delete;
    TSharedLock& operator=(const TSharedLock&) = delete;

  private:
    TSharedMutex& FMutex;
};

// Waits on a held TLock<TMutex>: the lock is let go while waiting and held again when a wait
// returns. The predicate runs under the lock; a lambda that reads guarded members says so with
// `REQUIRES(mutex)` after its parameter list.
class TConditionVariable {
  public:
    void NotifyOne() { FCondition.notify_one(); }
    void NotifyAll() { FCondition.notify_all(); }

    void Wait(TLock<TMutex>& lock) {
        TAdopted adopted(lock);
        FCondition.wait(adopted.Held);
    }

    // The predicate's own REQUIRES is checked where it is written; here it runs under the
    // caller's lock, which the analysis cannot tie to the lambda's mutex expression.
    template <class TPredicate>
    void Wait(TLock<TMutex>& lock, TPredicate ready) NO_THREAD_SAFETY_ANALYSIS {
        while (!ready()) {
            Wait(lock);
        }
    }

    // False when the time ran out with the predicate still false.
    template <class TRep, class TPeriod, class TPredicate>
    bool WaitFor(TLock<TMutex>& lock, std::chrono::duration<TRep, TPeriod> timeout,
                 TPredicate ready) NO_THREAD_SAFETY_ANALYSIS {
        TAdopted adopted(lock);
        return FCondition.wait_for(adopted.Held, timeout, ready);
    }

    template <class TClock, class TDuration, class TPredicate>
    bool WaitUntil(TLock<TMutex>& lock, std::chrono::time_point<TClock, TDuration> deadline,
                   TPredicate ready) NO_THREAD_SAFETY_ANALYSIS {
        TAdopted adopted(lock);
        return FCondition.wait_until(adopted.Held, deadline, ready);
    }

    // Returns std::cv_status::timeout when the time ran out.
    template <class TRep, class TPeriod>
    std::cv_status WaitFor(TLock<TMutex>& lock, std::chrono::duration<TRep, TPeriod> timeout) {
        TAdopted adopted(lock);
        return FCondition.wait_for(adopted.Held, timeout);
    }

  private:
    // Lends the TLock's mutex to the standard wait, which lets it go and takes it back; the
    // TLock still owns it afterwards, even when the predicate throws.
    struct TAdopted {
        explicit TAdopted(TLock<TMutex>& lock) : Held(lock.FMutex.FMutex, std::adopt_lock) {}
        ~TAdopted() { Held.release(); }
        std::unique_lock<std::mutex> Held;
    };

    std::condition_variable FCondition;
};
