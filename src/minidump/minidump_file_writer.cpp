#include "minidump/minidump_file_writer.h"

#include <cstring>

#include "minidump/minidump_format.h"

// The file is laid out front to back with a cursor: the header, the stream
// directory (its size is known from the snapshot's counts), the fixed-size
// streams, then everything whose size shows only as it is read (names,
// debug records, contexts, memory, the extra streams). Each record is
// written once its place and contents are known; the header and the
// directory come last. Everything lives on the stack: nothing here
// allocates, locks or calls into stdio.

namespace Vextra::minidump {
// crash path: everything below runs on the faulting thread: stack buffers only, no allocation, no lock.
namespace {

constexpr uint32_t kRedZone = 128;           // bytes below rsp a leaf function may use
constexpr size_t kCopyChunk = 4096;          // memory and extra streams pass through this much stack
constexpr uint32_t kFixedStreamCount = 5;    // threads, modules, memory, exception, system
constexpr uint64_t kPageSize = 4096;         // the unit in which memory is readable or not

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

struct Range {
  uint64_t low = 0;
  uint64_t high = 0;  // exclusive
  bool Empty() const { return high <= low; }
  bool Overlaps(const Range& other) const {
    return !Empty() && !other.Empty() && low < other.high && other.low < high;
  }
};

// Writes records at a growing offset; remembers the first failure.
class Cursor {
 public:
  explicit Cursor(DumpOutput& out) : out_(out) {}

  bool ok() const { return ok_; }
  uint64_t position() const { return position_; }
  // Reserves size bytes at the next 8-byte boundary and returns their offset.
  uint64_t Reserve(uint64_t size) {
    const uint64_t at = AlignUp(position_, 8);
    position_ = at + size;
    return at;
  }
  // The end of the last byte written: the file's size.
  uint64_t end() const { return end_; }
  void WriteAt(uint64_t offset, const void* data, size_t size) {
    if (!ok_ || size == 0) return;
    // Offsets are 32-bit in the format: a dump that outgrows them is a failure.
    if (offset + size > UINT32_MAX || !out_.WriteAt(offset, data, size)) ok_ = false;
    if (offset + size > end_) end_ = offset + size;
  }
  void Extend(uint64_t end) {
    if (end > position_) position_ = end;
  }

 private:
  DumpOutput& out_;
  uint64_t position_ = 0;
  uint64_t end_ = 0;
  bool ok_ = true;
};

// One code point from UTF-8 at text[*index]; malformed input gives U+FFFD.
uint32_t NextCodePoint(const char* text, size_t* index) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const unsigned char lead = bytes[*index];
  ++*index;
  if (lead < 0x80) return lead;
  int extra = 0;
  uint32_t code = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    code = lead & 0x07;
  } else {
    return 0xFFFD;
  }
  for (int i = 0; i < extra; ++i) {
    const unsigned char next = bytes[*index];
    if ((next & 0xC0) != 0x80) return 0xFFFD;  // a cut sequence; the next byte starts afresh
    code = (code << 6) | (next & 0x3F);
    ++*index;
  }
  static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0xFFFD;
  return code;
}

// UTF-16 code units of text.
uint32_t Utf16Length(const char* text) {
  uint32_t units = 0;
  for (size_t i = 0; text[i] != '\0';) units += NextCodePoint(text, &i) >= 0x10000 ? 2 : 1;
  return units;
}

// Writes text as a length-prefixed UTF-16 string at the cursor; returns its offset.
uint32_t WriteString(Cursor& cursor, const char* text) {
  if (text == nullptr) text = "";
  const uint32_t units = Utf16Length(text);
  const uint64_t at = cursor.Reserve(4 + (uint64_t{units} + 1) * 2);
  const uint32_t length = units * 2;
  cursor.WriteAt(at, &length, sizeof(length));
  uint16_t buffer[128];
  size_t used = 0;
  uint64_t offset = at + 4;
  auto flush = [&] {
    cursor.WriteAt(offset, buffer, used * 2);
    offset += used * 2;
    used = 0;
  };
  for (size_t i = 0; text[i] != '\0';) {
    if (used + 2 > sizeof(buffer) / sizeof(buffer[0])) flush();
    const uint32_t code = NextCodePoint(text, &i);
    if (code >= 0x10000) {
      buffer[used++] = static_cast<uint16_t>(0xD800 + ((code - 0x10000) >> 10));
      buffer[used++] = static_cast<uint16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      buffer[used++] = static_cast<uint16_t>(code);
    }
  }
  buffer[used++] = 0;
  flush();
  return static_cast<uint32_t>(at);
}

void FillContext(const Amd64Registers& registers, bool known, ContextAmd64* context) {
  std::memset(context, 0, sizeof(*context));
  context->context_flags = kContextAmd64;
  if (!known) return;  // a record that says no register set is present
  context->context_flags = kContextControl | kContextInteger | kContextSegments;
  context->mx_csr = registers.mxcsr;
  context->seg_cs = registers.cs;
  context->seg_ds = registers.ds;
  context->seg_es = registers.es;
  context->seg_fs = registers.fs;
  context->seg_gs = registers.gs;
  context->seg_ss = registers.ss;
  context->eflags = registers.eflags;
  context->rax = registers.rax;
  context->rcx = registers.rcx;
  context->rdx = registers.rdx;
  context->rbx = registers.rbx;
  context->rsp = registers.rsp;
  context->rbp = registers.rbp;
  context->rsi = registers.rsi;
  context->rdi = registers.rdi;
  context->r8 = registers.r8;
  context->r9 = registers.r9;
  context->r10 = registers.r10;
  context->r11 = registers.r11;
  context->r12 = registers.r12;
  context->r13 = registers.r13;
  context->r14 = registers.r14;
  context->r15 = registers.r15;
  context->rip = registers.rip;
  if (registers.has_fxsave) {
    context->context_flags |= kContextFloatingPoint;
    std::memcpy(context->flt_save, registers.fxsave, sizeof(context->flt_save));
  }
}

LocationDescriptor WriteContext(Cursor& cursor, const Amd64Registers& registers, bool known) {
  ContextAmd64 context;
  FillContext(registers, known, &context);
  const uint64_t at = cursor.Reserve(sizeof(context));
  cursor.WriteAt(at, &context, sizeof(context));
  return LocationDescriptor{sizeof(context), static_cast<uint32_t>(at)};
}

// Copies [range.low, range.high) of the process's memory to the cursor, as far
// as it reads; returns the descriptor of what was stored (size 0: nothing).
MemoryDescriptor CopyMemory(Cursor& cursor, const ProcessSnapshot& snapshot, const Range& range) {
  MemoryDescriptor descriptor{range.low, {0, 0}};
  if (range.Empty()) return descriptor;
  uint8_t buffer[kCopyChunk];
  const uint64_t at = cursor.Reserve(0);
  uint64_t stored = 0;
  const uint64_t wanted = range.high - range.low;
  while (stored < wanted && cursor.ok()) {
    const size_t ask = wanted - stored < sizeof(buffer) ? static_cast<size_t>(wanted - stored) : sizeof(buffer);
    const size_t got = snapshot.ReadMemory(range.low + stored, buffer, ask);
    const size_t kept = got < ask ? got : ask;
    cursor.WriteAt(at + stored, buffer, kept);
    stored += kept;
    if (kept < ask) break;  // unreadable from here on: keep what was read
  }
  cursor.Extend(at + stored);
  if (stored > 0) descriptor.memory = LocationDescriptor{static_cast<uint32_t>(stored), static_cast<uint32_t>(at)};
  return descriptor;
}

// Copies the part of window the process can read: a stretch that does not
// read is skipped to the next page, where reading starts a new range.
template <typename Add>
void CopyReadable(Cursor& cursor, const ProcessSnapshot& snapshot, const Range& window, Add add) {
  uint64_t at = window.low;
  while (at < window.high && cursor.ok()) {
    const MemoryDescriptor stored = CopyMemory(cursor, snapshot, Range{at, window.high});
    add(stored);
    at += stored.memory.data_size;
    if (at >= window.high) break;
    const uint64_t next_page = (at | (kPageSize - 1)) + 1;
    if (next_page == 0) break;  // the top of the address space
    at = next_page;
  }
}

// The most ranges CopyReadable can store for window: one per page it touches.
uint64_t MostRanges(const Range& window) {
  if (window.Empty()) return 0;
  return ((window.high - 1) / kPageSize) - (window.low / kPageSize) + 1;
}

// Where a thread's stack would be stored: from below its stack pointer up to
// the top of its stack, bounded. A stack pointer outside the thread's stack
// (an overflow, a signal stack) keeps the window above the stack pointer.
Range PlannedStack(const ThreadFacts& thread, uint32_t limit) {
  Range range;
  if (!thread.registers_known || limit == 0) return range;
  const uint64_t sp = thread.registers.rsp;
  range.low = sp >= kRedZone ? sp - kRedZone : 0;
  const bool inside = sp >= thread.stack_low && sp < thread.stack_high;
  if (inside && range.low < thread.stack_low) range.low = thread.stack_low;
  const uint64_t top = inside ? thread.stack_high : UINT64_MAX;
  range.high = top - range.low > limit ? range.low + limit : top;
  return range;
}

class StackPlan {
 public:
  StackPlan(const ProcessSnapshot& snapshot, const DumpLimits& limits) : snapshot_(snapshot), limits_(limits) {}

  // The stack range stored for thread index: its planned range, or nothing
  // when that overlaps an earlier thread's (the memory list never overlaps).
  Range Stored(uint32_t index) const {
    const Range range = Planned(index);
    for (uint32_t earlier = 0; earlier < index && !range.Empty(); ++earlier) {
      if (range.Overlaps(Planned(earlier))) return Range{};
    }
    return range;
  }

  // The stored stack range holding address; false when none does.
  bool Covering(uint64_t address, Range* covering) const {
    for (uint32_t i = 0; i < snapshot_.ThreadCount(); ++i) {
      const Range range = Stored(i);
      if (!range.Empty() && range.low <= address && address < range.high) {
        *covering = range;
        return true;
      }
    }
    return false;
  }
  // The lowest start of a stored stack range above address, or limit.
  uint64_t NextStart(uint64_t address, uint64_t limit) const {
    uint64_t next = limit;
    for (uint32_t i = 0; i < snapshot_.ThreadCount(); ++i) {
      const Range range = Stored(i);
      if (!range.Empty() && range.low > address && range.low < next) next = range.low;
    }
    return next;
  }

 private:
  Range Planned(uint32_t index) const {
    const ThreadFacts& thread = snapshot_.Thread(index);
    const bool faulting = thread.thread_id == snapshot_.Exception().thread_id;
    return PlannedStack(thread, faulting ? limits_.faulting_stack_bytes : limits_.max_stack_bytes);
  }

  const ProcessSnapshot& snapshot_;
  const DumpLimits& limits_;
};

// The windows around the fault address and the instruction pointer, in
// address order, merged when they touch.
struct FaultWindows {
  Range windows[2];
  int count = 0;
};

FaultWindows AroundFault(const ExceptionFacts& exception, uint32_t around) {
  FaultWindows result;
  if (around == 0) return result;
  Range found[2];
  const uint64_t addresses[2] = {exception.address, exception.registers.rip};
  for (int i = 0; i < 2; ++i) {
    found[i].low = addresses[i] >= around ? addresses[i] - around : 0;
    found[i].high = UINT64_MAX - addresses[i] >= around ? addresses[i] + around : UINT64_MAX;
  }
  if (found[1].low < found[0].low) {
    const Range swap = found[0];
    found[0] = found[1];
    found[1] = swap;
  }
  result.windows[0] = found[0];
  result.count = 1;
  if (found[1].low <= found[0].high) {
    if (found[1].high > result.windows[0].high) result.windows[0].high = found[1].high;
  } else {
    result.windows[1] = found[1];
    result.count = 2;
  }
  return result;
}

// Calls piece for each part of window that no stored stack holds.
template <typename Piece>
void ForEachUncovered(const StackPlan& stacks, const Range& window, Piece piece) {
  uint64_t at = window.low;
  while (at < window.high) {
    Range covering;
    if (stacks.Covering(at, &covering)) {
      at = covering.high;
      continue;
    }
    const uint64_t end = stacks.NextStart(at, window.high);
    piece(Range{at, end});
    at = end;
  }
}

void WriteSystemInfo(Cursor& cursor, const SystemFacts& system, uint64_t at) {
  SystemInfo info;
  std::memset(&info, 0, sizeof(info));
  info.processor_architecture = kProcessorArchitectureAmd64;
  info.number_of_processors = static_cast<uint8_t>(system.cpu_count > 255 ? 255 : system.cpu_count);
  const bool windows = system.os == OsFamily::kWindows;
  info.product_type = windows ? kProductTypeWorkstation : 0;
  info.major_version = system.major_version;
  info.minor_version = system.minor_version;
  info.build_number = system.build_number;
  info.platform_id = windows ? kPlatformIdWin32Nt : kPlatformIdLinux;
  info.csd_version_rva = WriteString(cursor, system.version_text);
  cursor.WriteAt(at, &info, sizeof(info));
}

// Copies extra stream index chunk by chunk (its size is known only at its
// end) and returns its directory entry.
DirectoryEntry CopyExtraStream(Cursor& cursor, const ProcessSnapshot& snapshot, uint32_t index) {
  uint8_t buffer[kCopyChunk];
  const uint64_t at = cursor.Reserve(0);
  uint64_t size = 0;
  while (cursor.ok()) {
    const size_t got = snapshot.ReadExtraStream(index, size, buffer, sizeof(buffer));
    if (got == 0) break;
    const size_t kept = got < sizeof(buffer) ? got : sizeof(buffer);
    cursor.WriteAt(at + size, buffer, kept);
    size += kept;
  }
  cursor.Extend(at + size);
  // An empty stream points at the start of the file, which always exists.
  return DirectoryEntry{snapshot.ExtraStream(index).stream_type,
                        {static_cast<uint32_t>(size), size == 0 ? 0 : static_cast<uint32_t>(at)}};
}

}  // namespace

uint64_t WriteMinidump(const ProcessSnapshot& snapshot, DumpOutput& out, const DumpLimits& limits) {
  Cursor cursor(out);
  const SystemFacts& system = snapshot.System();
  const ExceptionFacts& exception = snapshot.Exception();
  const uint32_t thread_count = snapshot.ThreadCount();
  const uint32_t module_count = snapshot.ModuleCount();
  const uint32_t extra_count = snapshot.ExtraStreamCount();
  const StackPlan stacks(snapshot, limits);
  const FaultWindows windows = AroundFault(exception, limits.bytes_around_fault);

  // The memory list holds at most one range per stored stack and per page
  // of each uncovered piece of the fault windows.
  uint64_t memory_capacity = 0;
  for (uint32_t i = 0; i < thread_count; ++i) memory_capacity += stacks.Stored(i).Empty() ? 0 : 1;
  for (int w = 0; w < windows.count; ++w) {
    ForEachUncovered(stacks, windows.windows[w], [&](const Range& piece) { memory_capacity += MostRanges(piece); });
  }

  const uint64_t stream_count = uint64_t{kFixedStreamCount} + extra_count;
  cursor.Reserve(sizeof(MinidumpHeader));
  const uint64_t directory_at = cursor.Reserve(stream_count * sizeof(DirectoryEntry));
  const uint64_t system_at = cursor.Reserve(sizeof(SystemInfo));
  const uint64_t threads_at = cursor.Reserve(sizeof(ThreadListHeader) + uint64_t{thread_count} * sizeof(ThreadEntry));
  const uint64_t modules_at = cursor.Reserve(sizeof(ModuleListHeader) + uint64_t{module_count} * sizeof(ModuleEntry));
  const uint64_t exception_at = cursor.Reserve(sizeof(ExceptionStream));
  const uint64_t memory_at = cursor.Reserve(sizeof(MemoryListHeader) + memory_capacity * sizeof(MemoryDescriptor));
  if (cursor.position() > UINT32_MAX) return 0;

  WriteSystemInfo(cursor, system, system_at);

  // Memory list descriptors are written as each range is stored.
  uint32_t memory_count = 0;
  auto add_memory = [&](const MemoryDescriptor& descriptor) {
    if (descriptor.memory.data_size == 0 || memory_count >= memory_capacity) return;
    cursor.WriteAt(memory_at + sizeof(MemoryListHeader) + uint64_t{memory_count} * sizeof(MemoryDescriptor),
                   &descriptor, sizeof(descriptor));
    ++memory_count;
  };

  // Threads: the context, then the stack.
  const ThreadListHeader thread_header{thread_count};
  cursor.WriteAt(threads_at, &thread_header, sizeof(thread_header));
  for (uint32_t i = 0; i < thread_count && cursor.ok(); ++i) {
    const ThreadFacts& thread = snapshot.Thread(i);
    ThreadEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.thread_id = thread.thread_id;
    entry.teb = thread.environment_block;
    entry.thread_context = WriteContext(cursor, thread.registers, thread.registers_known);
    const Range stack = stacks.Stored(i);
    entry.stack = CopyMemory(cursor, snapshot, stack);
    add_memory(entry.stack);
    cursor.WriteAt(threads_at + sizeof(ThreadListHeader) + uint64_t{i} * sizeof(ThreadEntry), &entry, sizeof(entry));
  }

  // Memory around the fault that no stack already holds.
  for (int w = 0; w < windows.count; ++w) {
    ForEachUncovered(stacks, windows.windows[w],
                     [&](const Range& piece) { CopyReadable(cursor, snapshot, piece, add_memory); });
  }
  const MemoryListHeader memory_header{memory_count};
  cursor.WriteAt(memory_at, &memory_header, sizeof(memory_header));

  // Modules: name and debug record beside each entry.
  const ModuleListHeader module_header{module_count};
  cursor.WriteAt(modules_at, &module_header, sizeof(module_header));
  const bool windows_flavour = system.os == OsFamily::kWindows;
  for (uint32_t i = 0; i < module_count && cursor.ok(); ++i) {
    const ModuleFacts& module = snapshot.Module(i);
    ModuleEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.base_of_image = module.base;
    entry.size_of_image = module.size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(module.size);
    entry.checksum = module.checksum;
    entry.time_date_stamp = module.time_date_stamp;
    entry.module_name_rva = WriteString(cursor, module.path);
    if (windows_flavour) {
      entry.version_info.signature = kFixedFileInfoSignature;
      entry.version_info.struct_version = kFixedFileInfoVersion;
    }
    entry.version_info.file_version_ms = module.file_version_ms;
    entry.version_info.file_version_ls = module.file_version_ls;
    entry.version_info.product_version_ms = module.product_version_ms;
    entry.version_info.product_version_ls = module.product_version_ls;
    if (module.codeview != nullptr && module.codeview_size > 0) {
      const uint64_t at = cursor.Reserve(module.codeview_size);
      cursor.WriteAt(at, module.codeview, module.codeview_size);
      entry.cv_record = LocationDescriptor{module.codeview_size, static_cast<uint32_t>(at)};
    }
    cursor.WriteAt(modules_at + sizeof(ModuleListHeader) + uint64_t{i} * sizeof(ModuleEntry), &entry, sizeof(entry));
  }

  // The exception with the context at the fault.
  ExceptionStream fault;
  std::memset(&fault, 0, sizeof(fault));
  fault.thread_id = exception.thread_id;
  fault.exception_record.exception_code = exception.code;
  fault.exception_record.exception_flags = exception.flags;
  fault.exception_record.exception_record = exception.record;
  fault.exception_record.exception_address = exception.address;
  const uint32_t parameters =
      exception.parameter_count > kExceptionMaximumParameters ? kExceptionMaximumParameters : exception.parameter_count;
  fault.exception_record.number_parameters = parameters;
  for (uint32_t i = 0; i < parameters; ++i) fault.exception_record.exception_information[i] = exception.parameters[i];
  fault.thread_context = WriteContext(cursor, exception.registers, true);
  cursor.WriteAt(exception_at, &fault, sizeof(fault));

  DirectoryEntry directory[kFixedStreamCount] = {
      {kSystemInfoStream, {sizeof(SystemInfo), static_cast<uint32_t>(system_at)}},
      {kThreadListStream,
       {static_cast<uint32_t>(sizeof(ThreadListHeader) + uint64_t{thread_count} * sizeof(ThreadEntry)),
        static_cast<uint32_t>(threads_at)}},
      {kModuleListStream,
       {static_cast<uint32_t>(sizeof(ModuleListHeader) + uint64_t{module_count} * sizeof(ModuleEntry)),
        static_cast<uint32_t>(modules_at)}},
      {kExceptionStream, {sizeof(ExceptionStream), static_cast<uint32_t>(exception_at)}},
      {kMemoryListStream,
       {static_cast<uint32_t>(sizeof(MemoryListHeader) + uint64_t{memory_count} * sizeof(MemoryDescriptor)),
        static_cast<uint32_t>(memory_at)}},
  };
  cursor.WriteAt(directory_at, directory, sizeof(directory));

  for (uint32_t i = 0; i < extra_count && cursor.ok(); ++i) {
    const DirectoryEntry entry = CopyExtraStream(cursor, snapshot, i);
    cursor.WriteAt(directory_at + (uint64_t{kFixedStreamCount} + i) * sizeof(DirectoryEntry), &entry, sizeof(entry));
  }

  MinidumpHeader header;
  std::memset(&header, 0, sizeof(header));
  header.signature = kMinidumpSignature;
  header.version = kMinidumpVersion;
  header.number_of_streams = static_cast<uint32_t>(stream_count);
  header.stream_directory_rva = static_cast<uint32_t>(directory_at);
  cursor.WriteAt(0, &header, sizeof(header));
  return cursor.ok() ? cursor.end() : 0;
}

}  // namespace Vextra::minidump
