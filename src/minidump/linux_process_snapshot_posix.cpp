#include "minidump/linux_process_snapshot.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace Vextra::minidump {
namespace {

const char* const kStreamPaths[kExtraStreamCount] = {"/proc/cpuinfo", "/proc/self/status", "/etc/os-release",
                                                     "/proc/self/cmdline", "/proc/self/auxv", "/proc/self/maps"};

std::atomic<LinuxProcessSnapshot*> g_snapshot{nullptr};

int RawOpen(const char* path) { return static_cast<int>(syscall(SYS_open, path, O_RDONLY | O_CLOEXEC)); }
long RawRead(int fd, void* buffer, size_t size) { return syscall(SYS_read, fd, buffer, size); }
void RawClose(int fd) { syscall(SYS_close, fd); }

// Reads a decimal number at *p and moves past it.
uint32_t Decimal(const char*& p) {
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  return value;
}

void Append(char* out, size_t capacity, size_t* used, const char* text) {
  while (*text != '\0' && *used + 1 < capacity) out[(*used)++] = *text++;
  out[*used] = '\0';
}

size_t ReadThroughSnapshot(uint64_t address, void* buffer, size_t size, void* context) {
  return static_cast<const LinuxProcessSnapshot*>(context)->ReadMemory(address, buffer, size);
}

bool SamePath(const char* stored, const MapsEntry& entry) {
  return std::strlen(stored) == entry.path_length && std::memcmp(stored, entry.path, entry.path_length) == 0;
}

}  // namespace

const char* ExtraStreamPath(uint32_t index) { return index < kExtraStreamCount ? kStreamPaths[index] : nullptr; }

void LinuxProcessSnapshot::PrepareSystemFacts() {
  system_.os = OsFamily::kLinux;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  int count = 0;
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) count = CPU_COUNT(&cpus);
  if (count <= 0) count = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  system_.cpu_count = count > 0 ? static_cast<uint32_t>(count) : 1;
  utsname name{};
  size_t used = 0;
  version_text_[0] = '\0';
  if (uname(&name) == 0) {
    const char* p = name.release;
    system_.major_version = Decimal(p);
    if (*p == '.') ++p;
    system_.minor_version = Decimal(p);
    if (*p == '.') ++p;
    system_.build_number = Decimal(p);
    Append(version_text_, sizeof version_text_, &used, name.sysname);
    Append(version_text_, sizeof version_text_, &used, " ");
    Append(version_text_, sizeof version_text_, &used, name.release);
    Append(version_text_, sizeof version_text_, &used, " ");
    Append(version_text_, sizeof version_text_, &used, name.version);
    Append(version_text_, sizeof version_text_, &used, " ");
    Append(version_text_, sizeof version_text_, &used, name.machine);
  }
  system_.version_text = version_text_;
}

void LinuxProcessSnapshot::Capture(const CrashSignalFacts& crash, uint32_t wait_ms) {
  module_count_ = 0;
  ThreadFacts& crashing = threads_[0];
  std::memset(&crashing, 0, sizeof crashing);
  crashing.thread_id = crash.thread_id;
  crashing.registers_known = crash.context != nullptr;
  if (crash.context != nullptr) RegistersFromContext(*crash.context, &crashing.registers);

  std::memset(&exception_, 0, sizeof exception_);
  exception_.thread_id = crash.thread_id;
  exception_.code = static_cast<uint32_t>(crash.signal);
  exception_.flags = static_cast<uint32_t>(crash.si_code);
  exception_.address = crash.fault_address;
  exception_.registers = crashing.registers;

  const uint32_t others = StopOtherThreads(crash.thread_id, threads_ + 1, kMaxDumpThreads - 1, wait_ms);
  stopped_ = true;
  thread_count_ = 1 + others;
  ReadMaps();
  ReadBuildIds();
}

void LinuxProcessSnapshot::Release() {
  if (stopped_) ResumeStoppedThreads();
  stopped_ = false;
  for (uint32_t i = 0; i < kExtraStreamCount; ++i) {
    if (stream_fd_[i] >= 0) RawClose(stream_fd_[i]);
    stream_fd_[i] = -1;
    stream_position_[i] = 0;
  }
}

uint32_t LinuxProcessSnapshot::AnsweredThreadCount() const {
  uint32_t answered = 0;
  for (uint32_t i = 1; i < thread_count_; ++i) answered += threads_[i].registers_known ? 1 : 0;
  return answered;
}

size_t LinuxProcessSnapshot::ReadMemory(uint64_t address, void* buffer, size_t size) const {
  if (size == 0) return 0;
  iovec local{buffer, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  const long got = syscall(SYS_process_vm_readv, static_cast<long>(syscall(SYS_getpid)), &local, 1UL, &remote, 1UL,
                           0UL);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

size_t LinuxProcessSnapshot::ReadExtraStream(uint32_t index, uint64_t offset, void* buffer, size_t size) const {
  if (index >= kExtraStreamCount || size == 0) return 0;
  int& fd = stream_fd_[index];
  uint64_t& position = stream_position_[index];
  if (fd >= 0 && position != offset) {
    RawClose(fd);
    fd = -1;
  }
  if (fd < 0) {
    fd = RawOpen(kStreamPaths[index]);
    position = 0;
    if (fd < 0) return 0;
    // /proc files are read in order: skip to the offset through the buffer.
    while (position < offset) {
      const uint64_t want = offset - position < size ? offset - position : size;
      const long got = RawRead(fd, buffer, static_cast<size_t>(want));
      if (got <= 0) return 0;
      position += static_cast<uint64_t>(got);
    }
  }
  const long got = RawRead(fd, buffer, size);
  if (got <= 0) {
    RawClose(fd);
    fd = -1;
    return 0;
  }
  position += static_cast<uint64_t>(got);
  return static_cast<size_t>(got);
}

void LinuxProcessSnapshot::OfferMapping(const MapsEntry& entry) {
  // The stack of each thread: the mapping holding its stack pointer.
  for (uint32_t i = 0; i < thread_count_; ++i) {
    ThreadFacts& thread = threads_[i];
    if (!thread.registers_known) continue;
    const uint64_t rsp = thread.registers.rsp;
    if (rsp >= entry.start && rsp < entry.end) {
      thread.stack_low = entry.start;
      thread.stack_high = entry.end;
    }
  }
  if (!IsModuleMapping(entry)) return;
  if (module_count_ > 0) {
    ModuleFacts& last = modules_[module_count_ - 1];
    if (entry.offset != 0 && SamePath(last.path, entry)) {
      last.size = entry.end - last.base;
      return;
    }
  }
  // A module starts where its file is mapped from the beginning.
  if (entry.offset != 0 || module_count_ >= kMaxSnapshotModules) return;
  const uint32_t index = module_count_++;
  ModuleFacts& module = modules_[index];
  std::memset(&module, 0, sizeof module);
  module.base = entry.start;
  module.size = entry.end - entry.start;
  const size_t length = entry.path_length < kModulePathChars - 1 ? entry.path_length : kModulePathChars - 1;
  std::memcpy(module_paths_[index], entry.path, length);
  module_paths_[index][length] = '\0';
  module.path = module_paths_[index];
}

void LinuxProcessSnapshot::ReadMaps() {
  const int fd = RawOpen("/proc/self/maps");
  if (fd < 0) return;
  LineSplitter lines(maps_buffer_, sizeof maps_buffer_);
  auto on_line = [](const char* text, size_t length, void* context) {
    MapsEntry entry;
    if (ParseMapsLine(text, length, &entry)) static_cast<LinuxProcessSnapshot*>(context)->OfferMapping(entry);
  };
  for (;;) {
    const size_t room = lines.FreeBytes();
    const long got = RawRead(fd, lines.FreeSpace(), room);
    if (got <= 0) break;
    lines.Feed(static_cast<size_t>(got), on_line, this);
  }
  lines.Feed(0, on_line, this);
  RawClose(fd);
}

void LinuxProcessSnapshot::ReadBuildIds() {
  // Files mapped from their start that are not ELF images (fonts, data) are dropped.
  uint32_t kept = 0;
  for (uint32_t i = 0; i < module_count_; ++i) {
    char magic[4] = {};
    if (ReadMemory(modules_[i].base, magic, sizeof magic) != sizeof magic || std::memcmp(magic, "\x7f" "ELF", 4) != 0) {
      continue;
    }
    if (kept != i) {
      modules_[kept] = modules_[i];
      std::memcpy(module_paths_[kept], module_paths_[i], kModulePathChars);
      modules_[kept].path = module_paths_[kept];
    }
    ModuleFacts& module = modules_[kept];
    uint8_t id[kMaxBuildIdBytes];
    const size_t length = ReadElfBuildId(module.base, &ReadThroughSnapshot, this, id);
    module.codeview = nullptr;
    module.codeview_size = 0;
    if (length > 0) {
      uint8_t* out = codeviews_[kept];
      const uint32_t signature = kElfBuildIdSignature;
      std::memcpy(out, &signature, 4);
      std::memcpy(out + 4, id, length);
      module.codeview = out;
      module.codeview_size = static_cast<uint32_t>(4 + length);
    }
    ++kept;
  }
  module_count_ = kept;
}

LinuxProcessSnapshot* CrashSnapshot() { return g_snapshot.load(std::memory_order_acquire); }

bool ReserveCrashSnapshot() {
  if (g_snapshot.load(std::memory_order_acquire) != nullptr) return true;
  void* storage = mmap(nullptr, sizeof(LinuxProcessSnapshot), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (storage == MAP_FAILED) return false;
  auto* snapshot = new (storage) LinuxProcessSnapshot();
  snapshot->PrepareSystemFacts();
  g_snapshot.store(snapshot, std::memory_order_release);
  return true;
}

}  // namespace Vextra::minidump
