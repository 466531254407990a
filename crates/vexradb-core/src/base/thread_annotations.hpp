#pragma once

// Clang's thread-safety analysis (-Wthread-safety, on in every clang build): which lock guards
// which member, and which functions take and release a lock. Other compilers ignore them.

#if defined(__clang__)
#define VEXRA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VEXRA_THREAD_ANNOTATION(x)
#endif

#define VEXRA_CAPABILITY(name) VEXRA_THREAD_ANNOTATION(capability(name))
#define VEXRA_SCOPED_CAPABILITY VEXRA_THREAD_ANNOTATION(scoped_lockable)
#define VEXRA_GUARDED_BY(lock) VEXRA_THREAD_ANNOTATION(guarded_by(lock))
#define VEXRA_ACQUIRE(...) VEXRA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VEXRA_ACQUIRE_SHARED(...) VEXRA_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define VEXRA_RELEASE(...) VEXRA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VEXRA_RELEASE_SHARED(...) VEXRA_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
