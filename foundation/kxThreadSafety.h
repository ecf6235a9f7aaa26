#pragma once

// Attributes for Clang's thread-safety analysis (-Wthread-safety): which mutex guards a member,
// which lock a function needs or must not hold, and the order locks are taken in. Other
// compilers see nothing. The locking types that carry them are in kxMutex.h.

#if defined(__clang__)
#define KX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KX_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (a mutex), or an object that holds one for its own lifetime.
#define CAPABILITY(x) KX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KX_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only under the mutex; for a pointer, the data it points at.
#define GUARDED_BY(x) KX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KX_THREAD_ANNOTATION(pt_guarded_by(x))

// The lock order: this mutex is taken only after (before) the ones named.
#define ACQUIRED_AFTER(...) KX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) KX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// A function the caller enters holding the lock (exclusively or shared), or not holding it.
#define REQUIRES(...) KX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) KX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// A function that takes or lets go of the lock and returns holding it or not.
#define ACQUIRE(...) KX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KX_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KX_THREAD_ANNOTATION(lock_returned(x))

// A function whose locking the analysis cannot follow; every use says why.
#define NO_THREAD_SAFETY_ANALYSIS KX_THREAD_ANNOTATION(no_thread_safety_analysis)
