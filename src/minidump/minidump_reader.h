#pragma once
// Reads a minidump file's bytes into plain values and checks that it holds
// together: the header, every stream's place and size, every thread's
// context and stack, every module's name and debug record, every memory
// range, and no two memory ranges overlapping. Used to check dumps and to
// show them; allocates freely and is never on the crash path.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Vextra::minidump {

// The integer registers of a context record, indexed in the processor's own
// register numbering (rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8 ... r15).
struct DumpRegisters {
  static constexpr int kRax = 0, kRcx = 1, kRdx = 2, kRbx = 3, kRsp = 4, kRbp = 5, kRsi = 6, kRdi = 7;
  uint64_t gpr[16] = {};
  uint64_t rip = 0;
};

struct DumpThread {
  uint32_t thread_id = 0;
  uint64_t teb = 0;
  bool has_registers = false;  // the context names the control and integer registers
  uint32_t context_flags = 0;
  uint64_t rip = 0, rsp = 0, rbp = 0, rax = 0;
  DumpRegisters registers;  // all of them, when has_registers
  uint64_t stack_start = 0;
  uint32_t stack_size = 0;
  std::string stack;  // the stored bytes
};

struct DumpModule {
  uint64_t base = 0;
  uint32_t size = 0;
  std::string name;  // UTF-8
  // "BpEL": the build id in lowercase hex. "RSDS": the GUID and age in
  // uppercase hex (as symbol stores index them). Empty without a record.
  std::string debug_id;
  std::string debug_file;  // "RSDS": the PDB name
  uint32_t time_date_stamp = 0;
  // The PE code id (TimeDateStamp as 8 uppercase hex digits, then SizeOfImage
  // in lowercase hex), for dumps whose writer left the debug record out;
  // empty when the entry has no time stamp (ELF modules).
  std::string code_id;
  uint32_t codeview_signature = 0;
  uint32_t file_version_ms = 0, file_version_ls = 0;
};

struct DumpException {
  bool present = false;
  uint32_t thread_id = 0;
  uint32_t code = 0;
  uint32_t flags = 0;
  uint64_t address = 0;
  std::vector<uint64_t> parameters;
  bool has_registers = false;
  uint64_t rip = 0, rsp = 0;
  DumpRegisters registers;  // the faulting thread's, at the fault
};

struct DumpSystem {
  bool present = false;
  uint16_t processor_architecture = 0;
  uint32_t cpu_count = 0;
  uint32_t platform_id = 0;
  uint32_t major_version = 0, minor_version = 0, build_number = 0;
  std::string version_text;  // UTF-8
};

struct DumpMemoryRange {
  uint64_t start = 0;
  uint32_t size = 0;
  uint32_t rva = 0;
};

struct MinidumpContents {
  uint32_t stream_count = 0;
  DumpSystem system;
  std::vector<DumpThread> threads;
  std::vector<DumpModule> modules;
  DumpException exception;
  std::vector<DumpMemoryRange> memory;
  std::map<uint32_t, std::string> other_streams;  // by stream type, the raw bytes
  std::vector<std::string> problems;              // empty when the dump is sound

  bool Valid() const { return problems.empty(); }
  // The stored bytes at [address, address + size), when one memory range
  // holds them all; empty otherwise.
  std::string MemoryAt(const std::string& file, uint64_t address, size_t size) const;
};

// Parses file (the dump's bytes). Never throws on malformed input: whatever
// does not hold together is listed in problems and left out.
MinidumpContents ReadMinidump(const std::string& file);

// "Linux", "Windows NT" or the platform id in hex.
std::string PlatformName(uint32_t platform_id);

}  // namespace Vextra::minidump
