#pragma once
// The Linux process snapshot: this process stopped at a crash, in storage
// reserved when the handlers are installed. Capture stops every other thread
// (see crash/thread_stop_posix.h), reads the modules and stacks from
// /proc/self/maps with raw system calls, and the writer then reads memory
// through process_vm_readv, which answers EFAULT instead of faulting.
// Only POSIX files include this header.

#include <ucontext.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "crash/proc_maps.h"
#include "crash/thread_stop_posix.h"
#include "minidump/process_snapshot.h"

namespace Vextra::minidump {

constexpr uint32_t kMaxSnapshotModules = 512;
constexpr size_t kModulePathChars = 512;
constexpr size_t kVersionTextChars = 512;
// Format stream numbers of the Linux streams this snapshot offers.
constexpr uint32_t kLinuxCpuInfoStream = 0x47670003;
constexpr uint32_t kLinuxProcStatusStream = 0x47670004;
constexpr uint32_t kLinuxLsbReleaseStream = 0x47670005;
constexpr uint32_t kLinuxCmdLineStream = 0x47670006;
constexpr uint32_t kLinuxAuxvStream = 0x47670008;
constexpr uint32_t kLinuxMapsStream = 0x47670009;
constexpr uint32_t kExtraStreamCount = 6;
// The debug identifier of an ELF module: this signature, then the build id.
constexpr uint32_t kElfBuildIdSignature = 0x4270454c;

// What the crash handler knows of the crash it captures.
struct CrashSignalFacts {
  int signal;
  int si_code;
  uint64_t fault_address;     // si_addr for memory, instruction and arithmetic faults
  uint32_t thread_id;         // the thread the signal was delivered to
  const ucontext_t* context;  // its interrupted context
};

class LinuxProcessSnapshot final : public ProcessSnapshot {
 public:
  LinuxProcessSnapshot() = default;
  LinuxProcessSnapshot(const LinuxProcessSnapshot&) = delete;
  LinuxProcessSnapshot& operator=(const LinuxProcessSnapshot&) = delete;

  // Reads the facts that do not change: uname and the cpu count.
  // Installation only (a host thread).
  void PrepareSystemFacts();

  // Takes the snapshot of a crash: the crashing thread first, with the
  // signal's context, then every other thread (stopped until Release), the
  // modules with their build ids and each thread's stack bounds.
  // crash path: raw system calls into this object's storage, allocates nothing.
  void Capture(const CrashSignalFacts& crash, uint32_t wait_ms = kThreadAnswerWaitMs);
  // Lets the threads that Capture stopped go on.
  // crash path: one atomic increment and a futex wake.
  void Release();

  const SystemFacts& System() const override { return system_; }
  const ExceptionFacts& Exception() const override { return exception_; }
  uint32_t ThreadCount() const override { return thread_count_; }
  const ThreadFacts& Thread(uint32_t index) const override { return threads_[index]; }
  uint32_t ModuleCount() const override { return module_count_; }
  const ModuleFacts& Module(uint32_t index) const override { return modules_[index]; }
  size_t ReadMemory(uint64_t address, void* buffer, size_t size) const override;
  uint32_t ExtraStreamCount() const override { return kExtraStreamCount; }
  const ExtraStreamFacts& ExtraStream(uint32_t index) const override { return streams_[index]; }
  size_t ReadExtraStream(uint32_t index, uint64_t offset, void* buffer, size_t size) const override;

  // Tests: how many listed threads answered the stop signal.
  uint32_t AnsweredThreadCount() const;

 private:
  void ReadMaps();
  void OfferMapping(const MapsEntry& entry);
  void ReadBuildIds();

  SystemFacts system_{};
  char version_text_[kVersionTextChars] = {};
  ExceptionFacts exception_{};
  uint32_t thread_count_ = 0;
  ThreadFacts threads_[kMaxDumpThreads];
  uint32_t module_count_ = 0;
  ModuleFacts modules_[kMaxSnapshotModules];
  char module_paths_[kMaxSnapshotModules][kModulePathChars];
  uint8_t codeviews_[kMaxSnapshotModules][4 + kMaxBuildIdBytes];
  ExtraStreamFacts streams_[kExtraStreamCount] = {{kLinuxCpuInfoStream},    {kLinuxProcStatusStream},
                                                  {kLinuxLsbReleaseStream}, {kLinuxCmdLineStream},
                                                  {kLinuxAuxvStream},       {kLinuxMapsStream}};
  // One open file per extra stream while it is read in order.
  mutable int stream_fd_[kExtraStreamCount] = {-1, -1, -1, -1, -1, -1};
  mutable uint64_t stream_position_[kExtraStreamCount] = {};
  bool stopped_ = false;
  char maps_buffer_[16384];
};

// The process's snapshot, reserved by ReserveCrashSnapshot (installation);
// null before.
// crash path: one atomic load.
LinuxProcessSnapshot* CrashSnapshot();
// Maps the storage for the process's snapshot once and prepares its system
// facts. Host threads only.
bool ReserveCrashSnapshot();

// The file each extra stream reads (index as in ExtraStream).
const char* ExtraStreamPath(uint32_t index);

}  // namespace Vextra::minidump
