#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "crash/dump/crash_dump_dir.h"
#include "crash/dump/dump_files.h"
#include "crash/dump/dump_settings.h"
#include "crash/dump/minidump_writer.h"
#include "crash/signal_record_posix.h"
#include "log/sdk_log.h"
#include "log/time_stamp.h"
#include "minidump/linux_process_snapshot.h"
#include "minidump/minidump_file_writer.h"
#include "platform/process_info.h"

namespace Vextra {
namespace {

// UTF-8 of a path buffer: at most four bytes per character.
constexpr size_t kNarrowPathBytes = kDumpPathChars * 4;

// crash path: encodes into the caller's buffer, allocates nothing.
bool ToUtf8(const wchar_t* path, char (&out)[kNarrowPathBytes]) {
  size_t used = 0;
  for (; *path != L'\0'; ++path) {
    const uint32_t c = static_cast<uint32_t>(*path);
    char bytes[4];
    size_t n;
    if (c < 0x80) {
      bytes[0] = static_cast<char>(c);
      n = 1;
    } else if (c < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (c >> 6));
      bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
      n = 2;
    } else if (c < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (c >> 12));
      bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | ((c >> 18) & 0x07));
      bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
      n = 4;
    }
    if (used + n >= kNarrowPathBytes) return false;
    for (size_t i = 0; i < n; ++i) out[used++] = bytes[i];
  }
  out[used] = '\0';
  return true;
}

int PathLength(const wchar_t* path) {
  int length = 0;
  while (path[length] != L'\0') ++length;
  return length;
}

// crash path: stat and mkdir system calls on a stack buffer.
void CreateIfMissing(const wchar_t* directory) {
  char narrow[kNarrowPathBytes];
  if (!ToUtf8(directory, narrow)) return;
  struct stat status;
  if (stat(narrow, &status) == 0 && S_ISDIR(status.st_mode)) return;
  mkdir(narrow, 0755);
}

// The library directory as the installation published it. Never looked up
// here: the lookup builds strings on the heap.
// crash path: copies the published text, allocates nothing.
bool LibraryDirectory(wchar_t (&out)[kDumpPathChars]) {
  return ReadLibraryDirectory(out) && out[0] != L'\0';
}

// The dump's bytes through pwrite on a file descriptor.
class FileDumpOutput final : public minidump::DumpOutput {
 public:
  explicit FileDumpOutput(int fd) : fd_(fd) {}
  // crash path: pwrite system calls, allocates nothing.
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t written = pwrite(fd_, bytes, size, static_cast<off_t>(offset));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      bytes += written;
      offset += static_cast<uint64_t>(written);
      size -= static_cast<size_t>(written);
    }
    return true;
  }

 private:
  int fd_;
};

int32_t NowSeconds() { return DumpNameSeconds(static_cast<int64_t>(WallClockSeconds())); }

// The companion of a large dump keeps less of each stack.
minidump::DumpLimits LimitsFor(bool small) {
  minidump::DumpLimits limits;
  if (small) {
    limits.max_stack_bytes = 16 * 1024;
    limits.faulting_stack_bytes = 64 * 1024;
  }
  return limits;
}

// Writes one file from the captured snapshot; the size, or 0 after a failure
// (the file is then removed).
// crash path: open, pwrite, close and unlink system calls, allocates nothing.
uint64_t WriteSnapshotFile(const wchar_t* path, const minidump::ProcessSnapshot& snapshot, bool small) {
  LogDebug("enter _HcSpyCreateDumpFile\n");
  const int length = PathLength(path);
  char narrow[kNarrowPathBytes];
  int fd = -1;
  if (ToUtf8(path, narrow)) fd = open(narrow, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int error = fd < 0 ? errno : 0;
  uint64_t size = 0;
  if (fd >= 0) {
    FileDumpOutput out(fd);
    size = minidump::WriteMinidump(snapshot, out, LimitsFor(small));
    if (size == 0) error = errno != 0 ? errno : EIO;
  }
  if (size > 0) {
    LogDebug("file path lenth: %d,  game dump by self succeed\n", length);
    close(fd);
    return size;
  }
  // strerrordesc_np returns a fixed text and is safe in a signal handler.
  const char* text = strerrordesc_np(error);
  LogDebug("file name length %d game dump by self also failed errid(%X) res(%s)\n", length,
           static_cast<unsigned>(error), text != nullptr ? text : "");
  if (fd >= 0) close(fd);
  if (unlink(narrow) != 0) LogDebug("DeleteFile fail %d\n", length);
  return 0;
}

struct CaptureOfCrash {
  const minidump::ProcessSnapshot* snapshot;
  int files_written;  // the first file is the full dump, the second its companion
};

uint64_t WriteCapturedDump(const wchar_t* path, int32_t, void* context) {
  auto& capture = *static_cast<CaptureOfCrash*>(context);
  const bool small = capture.files_written++ > 0;
  return WriteSnapshotFile(path, *capture.snapshot, small);
}

// The signal's facts as the snapshot records them.
minidump::CrashSignalFacts SignalFactsOf(const _EXCEPTION_POINTERS& pointers, uint32_t thread_id) {
  minidump::CrashSignalFacts facts{};
  facts.signal = pointers.signal;
  facts.si_code = pointers.info != nullptr ? pointers.info->si_code : 0;
  facts.thread_id = thread_id;
  facts.context = pointers.context;
  const uint64_t rip =
      pointers.context != nullptr ? static_cast<uint64_t>(pointers.context->uc_mcontext.gregs[REG_RIP]) : 0;
  switch (pointers.signal) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGTRAP:
      facts.fault_address =
          pointers.info != nullptr ? reinterpret_cast<uint64_t>(pointers.info->si_addr) : rip;
      break;
    default:
      facts.fault_address = rip;
  }
  return facts;
}

}  // namespace

bool GetDefaultDumpDir(wchar_t (&out)[kDumpPathChars]) {
  wchar_t library_dir[kDumpPathChars];
  if (!LibraryDirectory(library_dir) || !FormatDefaultDumpDir(library_dir, L'/', out)) {
    out[0] = L'\0';
    return true;
  }
  CreateIfMissing(out);
  return true;
}

uint32_t _HcSpyCreateDumpFile(const wchar_t* path, _EXCEPTION_POINTERS* pointers, int32_t,
                              uint32_t thread_id) {
  minidump::LinuxProcessSnapshot* snapshot = minidump::CrashSnapshot();
  if (snapshot == nullptr || pointers == nullptr) {
    LogDebug("enter _HcSpyCreateDumpFile\n");
    LogDebug("crash capture is not installed, no dump written\n");
    return 0;
  }
  snapshot->Capture(SignalFactsOf(*pointers, thread_id));
  const uint64_t size = WriteSnapshotFile(path, *snapshot, false);
  snapshot->Release();
  return SaturatedDumpSize(size);
}

void WriteCrashDumpForThread(_EXCEPTION_POINTERS* pointers, uint32_t thread_id,
                             wchar_t (&dump_path)[kDumpPathChars]) {
  dump_path[0] = L'\0';
  minidump::LinuxProcessSnapshot* snapshot = minidump::CrashSnapshot();
  if (snapshot == nullptr || pointers == nullptr) {
    LogDebug("crash capture is not installed, no dump written\n");
    return;
  }
  wchar_t dump_dir[kDumpPathChars];
  if (!ChooseCrashDumpDir(L'/', CrashDumpDirCalls{&LibraryDirectory, &CreateIfMissing}, dump_dir)) return;
  // Every other thread stays stopped until both files are written.
  snapshot->Capture(SignalFactsOf(*pointers, thread_id));
  CaptureOfCrash capture{snapshot, 0};
  const DumpFileWriter writer{&WriteCapturedDump, &NowSeconds, &capture};
  if (!WriteDumpWithCompanion(dump_dir, L'/', ReadDumpType(), writer, dump_path)) {
    LogDebug("dump directory too long, no dump written\n");
  }
  snapshot->Release();
}

void WriteCrashDump(_EXCEPTION_POINTERS* pointers, wchar_t (&dump_path)[kDumpPathChars]) {
  WriteCrashDumpForThread(pointers, pointers != nullptr ? pointers->thread_id : platform::ThreadId(), dump_path);
}

long WriteTestDump(uint32_t, _EXCEPTION_POINTERS*) {
  LogDebug("minidump writing is not available on this platform\n");
  return 1;
}

}  // namespace Vextra
