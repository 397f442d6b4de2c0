#pragma once
// Counts, on one chosen thread, every heap allocation (malloc and everything
// built on it: operator new, the C runtime's own uses) and every blocking
// lock taken through the threads library (mutexes, read-write locks). glibc
// lets a program replace these by defining them; the replacements here count
// and forward to glibc. Locks glibc takes inside itself (its stdio and time
// zone locks) do not pass through these names and are not seen.
// Include it in exactly one file of a test program. Sanitizer builds bring
// their own allocator: VEXTRA_OWN_ALLOCATOR is then defined and nothing is
// replaced.

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXTRA_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VEXTRA_OWN_ALLOCATOR 1
#endif
#endif

namespace vextra_test {
namespace counting {
inline std::atomic<bool> g_on{false};
inline std::atomic<pthread_t> g_thread{};
inline std::atomic<long> g_allocations{0};
inline std::atomic<long> g_locks{0};

inline bool Counted() { return g_on.load(std::memory_order_relaxed) && pthread_equal(pthread_self(), g_thread.load()); }
inline void CountAllocation() {
  if (Counted()) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
inline void CountLock() {
  if (Counted()) g_locks.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace counting

// Starts counting on the calling thread, from zero.
inline void StartCounting() {
  counting::g_allocations.store(0);
  counting::g_locks.store(0);
  counting::g_thread.store(pthread_self());
  counting::g_on.store(true);
}
// Stops counting; what was counted stays readable.
inline void StopCounting() { counting::g_on.store(false); }
inline long CountedAllocations() { return counting::g_allocations.load(); }
inline long CountedLocks() { return counting::g_locks.load(); }

// Allocations made on this thread while action runs.
inline long AllocationsDuring(const std::function<void()>& action) {
  StartCounting();
  action();
  StopCounting();
  return CountedAllocations();
}

}  // namespace vextra_test

#ifndef VEXTRA_OWN_ALLOCATOR
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);

void* malloc(size_t size) {
  vextra_test::counting::CountAllocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  vextra_test::counting::CountAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
  vextra_test::counting::CountAllocation();
  return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size) {
  vextra_test::counting::CountAllocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  vextra_test::counting::CountAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  vextra_test::counting::CountAllocation();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;  // ENOMEM
  *out = block;
  return 0;
}
void free(void* block) { __libc_free(block); }
}

namespace vextra_test::counting {
// glibc's own entries, looked up on first use (constant-initialised, so a
// lock taken before main finds them too).
using MutexFn = int (*)(pthread_mutex_t*);
using RwlockFn = int (*)(pthread_rwlock_t*);
template <typename Fn>
Fn Next(std::atomic<Fn>& slot, const char* name) {
  Fn fn = slot.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    slot.store(fn, std::memory_order_release);
  }
  return fn;
}
inline std::atomic<MutexFn> g_mutex_lock{nullptr};
inline std::atomic<RwlockFn> g_rdlock{nullptr};
inline std::atomic<RwlockFn> g_wrlock{nullptr};
}  // namespace vextra_test::counting

extern "C" {
int pthread_mutex_lock(pthread_mutex_t* mutex) {
  vextra_test::counting::CountLock();
  return vextra_test::counting::Next(vextra_test::counting::g_mutex_lock, "pthread_mutex_lock")(mutex);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
  vextra_test::counting::CountLock();
  return vextra_test::counting::Next(vextra_test::counting::g_rdlock, "pthread_rwlock_rdlock")(lock);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
  vextra_test::counting::CountLock();
  return vextra_test::counting::Next(vextra_test::counting::g_wrlock, "pthread_rwlock_wrlock")(lock);
}
}
#endif
