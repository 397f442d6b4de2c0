// Counts every heap allocation of this process (malloc and everything built on
// it: operator new, the C runtime's own uses) to show that a log line costs
// none once the SDK log file is open. glibc lets a program replace malloc by
// defining it; the replacements here count and forward to glibc's allocator.
// Sanitizer builds bring their own allocator, so there the test is skipped.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <string>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "log/native_log_ring.h"
#include "log/sdk_log.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXTRA_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VEXTRA_OWN_ALLOCATOR 1
#endif
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void Count() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#ifndef VEXTRA_OWN_ALLOCATOR
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);

void* malloc(size_t size) {
  Count();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  Count();
  return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
  Count();
  return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  Count();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;  // ENOMEM
  *out = block;
  return 0;
}
void free(void* block) { __libc_free(block); }
}
#endif

namespace Vextra {
namespace {

// Allocations made while action runs.
long AllocationsDuring(const std::function<void()>& action) {
  g_allocations.store(0);
  g_counting.store(true);
  action();
  g_counting.store(false);
  return g_allocations.load();
}

TEST(SdkLogAllocationTest, LinesAfterTheFileIsOpenAllocateNothing) {
#ifdef VEXTRA_OWN_ALLOCATOR
  GTEST_SKIP() << "the sanitizer's allocator cannot be counted here";
#endif
  // The counter sees operator new and the C runtime's malloc alike.
  ASSERT_GT(AllocationsDuring([] { delete new std::string(100, 'x'); }), 0);
  ASSERT_GT(AllocationsDuring([] { std::free(std::malloc(10)); }), 0);

  vextra_test::TempDir dir;
  SdkLog log((dir.path() / "VextraLog").wstring());
  SetDebugMode(true);
  log.PrintAlways("opening the file\n");
  ASSERT_NE(log.FilePath(), L"");
  LogAlways("opening the process's log\n");
  InitNativeLog();
  CommonInfo::Instance();  // created on first use, like the logs
  const std::string long_text(5000, 'l');

  static const struct {
    const char* name;
    std::function<void(SdkLog&, const std::string&)> line;
  } kCases[] = {
      {"always-written line", [](SdkLog& log, const std::string&) { log.PrintAlways("plain\n"); }},
      {"debug line with arguments",
       [](SdkLog& log, const std::string&) { log.Print("%s %d %u %x %c %.3f\n", "text", -7, 7u, 255u, 'c', 1.5); }},
      {"message cut at 1,023 bytes", [](SdkLog& log, const std::string& text) { log.Print("%s\n", text.c_str()); }},
      {"the process's log", [](SdkLog&, const std::string&) { LogDebug("SetAppVersion: app version is %s \n", "1"); }},
      {"a host line kept in the native log, with its debug line",
       [](SdkLog&, const std::string&) { PrintNativeLogMessage(4, "Game", "hp 42"); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AllocationsDuring([&] { c.line(log, long_text); }), 0);
  }
  SetDebugMode(false);
}

}  // namespace
}  // namespace Vextra
