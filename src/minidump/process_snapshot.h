#pragma once
// What a minidump is written from: a stopped view of one process, the same
// shape on every platform. The Linux crash capture fills one for its own
// process; the Windows fallback fills one with the crashing process's other
// threads suspended. The writer reads everything through this interface and
// keeps none of it, so a snapshot can live in storage reserved when the
// handlers are installed.
//
// crash path: every member a writer calls is allocation-free and takes no
// lock another thread may hold; implementations keep that promise.

#include <cstddef>
#include <cstdint>

namespace Vextra::minidump {

// x86-64 register state as a crash delivers it.
struct Amd64Registers {
  uint64_t rax, rbx, rcx, rdx, rsi, rdi, rbp, rsp;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t rip;
  uint32_t eflags;
  uint16_t cs, ds, es, fs, gs, ss;
  uint32_t mxcsr;
  bool has_fxsave;       // false: the x87/SSE state below is unknown (zeroes)
  uint8_t fxsave[512];   // x87/SSE state in the FXSAVE layout
};

struct ThreadFacts {
  uint32_t thread_id;
  // False for a thread that could not be stopped in time: it is listed with
  // its id only, and no stack memory is stored for it.
  bool registers_known;
  Amd64Registers registers;
  // The whole stack the thread owns: [stack_low, stack_high). The writer
  // stores the part from below the stack pointer to stack_high, bounded.
  uint64_t stack_low;
  uint64_t stack_high;
  uint64_t environment_block;  // Windows: the TEB; 0 elsewhere
};

struct ModuleFacts {
  uint64_t base;
  uint64_t size;
  const char* path;  // UTF-8, NUL-terminated, owned by the snapshot
  uint32_t time_date_stamp;  // PE header; 0 elsewhere
  uint32_t checksum;         // PE header; 0 elsewhere
  // Version resource (Windows); all zero when there is none.
  uint32_t file_version_ms, file_version_ls, product_version_ms, product_version_ls;
  // The debug identifier as the format stores it: "RSDS", GUID, age and PDB
  // name (Windows), or "BpEL" and the ELF build id (Linux). Owned by the
  // snapshot; size 0 when the module has none.
  const uint8_t* codeview;
  uint32_t codeview_size;
};

struct ExceptionFacts {
  uint32_t thread_id;  // the faulting thread; its ThreadFacts carry the same registers
  uint32_t code;       // Windows exception code, or the Linux signal number
  uint32_t flags;      // Linux: si_code
  uint64_t record;     // address of a nested exception record; 0 when none
  uint64_t address;    // where the fault happened (Linux: the faulting data address for memory faults)
  uint32_t parameter_count;  // at most 15
  uint64_t parameters[15];
  Amd64Registers registers;  // the context at the fault
};

enum class OsFamily : uint8_t { kWindows, kLinux };

struct SystemFacts {
  OsFamily os;
  uint32_t cpu_count;
  uint32_t major_version, minor_version, build_number;
  // Free text after the version: the service pack on Windows; on Linux the
  // rest of uname ("Linux 6.1.0-18-amd64 #1 SMP ... x86_64"). UTF-8, owned
  // by the snapshot.
  const char* version_text;
};

// A stream of the target OS beyond the common ones (on Linux: the contents of
// /proc/self/maps, status, cmdline, auxv, /etc/os-release, /proc/cpuinfo),
// read chunk by chunk because its size is known only at its end.
struct ExtraStreamFacts {
  uint32_t stream_type;  // the format's stream type number
};

class ProcessSnapshot {
 public:
  virtual ~ProcessSnapshot() = default;

  virtual const SystemFacts& System() const = 0;
  virtual const ExceptionFacts& Exception() const = 0;

  virtual uint32_t ThreadCount() const = 0;
  virtual const ThreadFacts& Thread(uint32_t index) const = 0;

  virtual uint32_t ModuleCount() const = 0;
  virtual const ModuleFacts& Module(uint32_t index) const = 0;

  // Copies up to size bytes of the process's memory at address into buffer
  // and returns how many were copied from the start (0 when unreadable).
  // Never faults on an unmapped or guarded page.
  virtual size_t ReadMemory(uint64_t address, void* buffer, size_t size) const = 0;

  virtual uint32_t ExtraStreamCount() const = 0;
  virtual const ExtraStreamFacts& ExtraStream(uint32_t index) const = 0;
  // Copies up to size bytes of extra stream index from offset; 0 at its end.
  virtual size_t ReadExtraStream(uint32_t index, uint64_t offset, void* buffer, size_t size) const = 0;
};

}  // namespace Vextra::minidump
