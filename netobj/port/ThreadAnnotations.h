// Lock annotations for clang's -Wthread-safety: which mutex guards a field, which a method
// needs held or takes itself. Under other compilers they expand to nothing, so they cost nothing
// and only document. The clang preset builds the runtime with the check as an error.
#pragma once

#if defined(__clang__)
#define NETOBJ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NETOBJ_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NETOBJ_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NETOBJ_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NETOBJ_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NETOBJ_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) NETOBJ_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) NETOBJ_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) NETOBJ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) NETOBJ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NETOBJ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) NETOBJ_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) NETOBJ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) NETOBJ_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) NETOBJ_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS NETOBJ_THREAD_ANNOTATION(no_thread_safety_analysis)
