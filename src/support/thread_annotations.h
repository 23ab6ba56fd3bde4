#pragma once
/// Capability annotations for clang's thread-safety analysis (-Wthread-safety): which
/// mutex guards which state, and which functions take, release or need it. Other
/// compilers see nothing.
///
/// Only a type annotated as a capability can be named in these; `Mutex` (support/mutex.h)
/// is ours.

#if defined(__clang__)
#define NIVERN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NIVERN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NIVERN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NIVERN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NIVERN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NIVERN_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) NIVERN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) NIVERN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NIVERN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) NIVERN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) NIVERN_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS NIVERN_THREAD_ANNOTATION(no_thread_safety_analysis)
