#pragma once

// Locking rules that Clang checks at compile time (-Wthread-safety): which lock guards which data,
// and which functions need a lock held. Other compilers see nothing.

#if defined(__clang__)
#define TRAMLET_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TRAMLET_THREAD_ATTRIBUTE(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) TRAMLET_THREAD_ATTRIBUTE(capability(name))
// A type whose objects hold a lock for their lifetime.
#define SCOPED_CAPABILITY TRAMLET_THREAD_ATTRIBUTE(scoped_lockable)
// Data read or written only with the lock held.
#define GUARDED_BY(lock) TRAMLET_THREAD_ATTRIBUTE(guarded_by(lock))
// Data reached through a pointer only with the lock held.
#define PT_GUARDED_BY(lock) TRAMLET_THREAD_ATTRIBUTE(pt_guarded_by(lock))
// A function that its caller must call with the locks held, or not held.
#define REQUIRES(...) TRAMLET_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TRAMLET_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// A function that takes or lets go of the locks (of the object itself when none is named).
#define ACQUIRE(...) TRAMLET_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TRAMLET_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TRAMLET_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
// A function that gives the lock itself.
#define RETURN_CAPABILITY(lock) TRAMLET_THREAD_ATTRIBUTE(lock_returned(lock))
// For the few places whose locking the analysis cannot follow; say why next to it.
#define NO_THREAD_SAFETY_ANALYSIS TRAMLET_THREAD_ATTRIBUTE(no_thread_safety_analysis)
