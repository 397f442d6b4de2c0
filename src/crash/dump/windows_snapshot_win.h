#pragma once
// This process seen as a minidump sees it, for the library's own dump writer:
// every thread's registers and stack bounds (the other threads suspended
// while the dump is written), the loaded modules with their debug records and
// versions, the exception and guarded reads of memory. All of its storage is
// reserved once, before any crash.

#include <windows.h>

#include <cstdint>

#include "crash/dump/pe_image_facts.h"
#include "minidump/process_snapshot.h"

namespace Vextra {

class WindowsSnapshot final : public minidump::ProcessSnapshot {
 public:
  // Threads and modules a dump lists at most; the rest are left out.
  static constexpr uint32_t kMaxThreads = 1024;
  static constexpr uint32_t kMaxModules = 512;
  static constexpr uint32_t kPathBytes = 3 * MAX_PATH + 1;        // a module path in UTF-8
  static constexpr uint32_t kCodeViewBytes = kCodeViewFixedBytes + MAX_PATH;
  static constexpr size_t kThreadListBytes = 1 << 20;            // the system's thread list

  // The one snapshot the crash path uses.
  static WindowsSnapshot& Instance();

  // Reserves the thread list buffer and looks up the system calls used at
  // crash time. Not for the crash path (it allocates); idempotent.
  bool Reserve();
  bool Reserved() const { return thread_list_ != nullptr; }

  // Fills the snapshot for the exception of thread_id (pointers in this
  // process): lists and suspends every other thread of the process (except
  // the calling one, which is captured in place), reads their registers and
  // stack bounds, and lists the modules. Pair with Release.
  // crash path: allocates nothing, takes no lock; one crash at a time (the
  // crash lock keeps it so).
  void Capture(EXCEPTION_POINTERS* pointers, uint32_t thread_id);
  // Resumes the threads Capture suspended and closes their handles.
  // crash path: allocates nothing, takes no lock.
  void Release();

  const minidump::SystemFacts& System() const override { return system_; }
  const minidump::ExceptionFacts& Exception() const override { return exception_; }
  uint32_t ThreadCount() const override { return thread_count_; }
  const minidump::ThreadFacts& Thread(uint32_t index) const override { return threads_[index]; }
  uint32_t ModuleCount() const override { return module_count_; }
  const minidump::ModuleFacts& Module(uint32_t index) const override { return modules_[index]; }
  // Through ReadProcessMemory on this process: an unreadable page ends the
  // copy instead of faulting.
  size_t ReadMemory(uint64_t address, void* buffer, size_t size) const override;
  uint32_t ExtraStreamCount() const override { return 0; }
  const minidump::ExtraStreamFacts& ExtraStream(uint32_t) const override { return no_stream_; }
  size_t ReadExtraStream(uint32_t, uint64_t, void*, size_t) const override { return 0; }

 private:
  void CaptureSystem();
  void CaptureThreads(EXCEPTION_POINTERS* pointers, uint32_t faulting_thread);
  void AddThread(uint32_t thread_id, EXCEPTION_POINTERS* pointers, uint32_t faulting_thread);
  void CaptureModules();

  using QuerySystemFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  using QueryThreadFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
  using GetVersionFn = LONG(NTAPI*)(OSVERSIONINFOW*);
  QuerySystemFn query_system_ = nullptr;
  QueryThreadFn query_thread_ = nullptr;
  GetVersionFn get_version_ = nullptr;
  uint8_t* thread_list_ = nullptr;

  minidump::SystemFacts system_{};
  char version_text_[256] = {};
  minidump::ExceptionFacts exception_{};
  uint32_t thread_count_ = 0;
  minidump::ThreadFacts threads_[kMaxThreads] = {};
  HANDLE suspended_[kMaxThreads] = {};
  uint32_t suspended_count_ = 0;
  alignas(16) CONTEXT context_{};
  uint32_t module_count_ = 0;
  minidump::ModuleFacts modules_[kMaxModules] = {};
  char paths_[kMaxModules][kPathBytes] = {};
  uint8_t codeviews_[kMaxModules][kCodeViewBytes] = {};
  minidump::ExtraStreamFacts no_stream_{};
};

}  // namespace Vextra
