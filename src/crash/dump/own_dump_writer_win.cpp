#include "crash/dump/own_dump_writer_win.h"

#include <atomic>
#include <cstring>

#include "crash/dump/dump_settings.h"
#include "crash/dump/dump_writer_order.h"
#include "crash/dump/pe_image_facts.h"
#include "crash/dump/windows_snapshot_win.h"
#include "log/sdk_log.h"
#include "minidump/minidump_file_writer.h"

namespace Vextra {
namespace {

using MiniDumpWriteDumpFn = testing_hooks::MiniDumpWriteDumpFn;

// The system's code for a call ended by an exception (winerror.h: 574).
constexpr DWORD kErrorUnhandledException = 574;

std::atomic<bool> g_prepared{false};
std::atomic<MiniDumpWriteDumpFn> g_loaded{nullptr};  // from dbghelp.dll
std::atomic<MiniDumpWriteDumpFn> g_writer{nullptr};  // the one called
// The image of the module that holds the writer: only a fault there is the
// writer's own. A fault it causes in the system's libraries (a heap call on a
// stale pointer) is theirs to handle, as they do.
std::atomic<uint64_t> g_writer_low{0};
std::atomic<uint64_t> g_writer_high{0};

// The guard around the system writer: a vectored handler registered once,
// armed for one thread at a time (dumps are written one at a time).
std::atomic<DWORD> g_guarded_thread{0};
void* g_guard_jump[5];
volatile DWORD g_guard_code = 0;
volatile DWORD64 g_guard_address = 0;

// Faults of the writer's own code; a C++ exception or a debug event passes.
bool IsFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      return true;
    default:
      return false;
  }
}

// The stack pointer of the guarded call's frame: frames below it belong to the writer.
volatile DWORD64 g_guard_frame = 0;
alignas(16) CONTEXT g_unwind_context;  // one guard at a time

// Whether a frame of the writer between the fault and the guarded call has a
// handler of its own: a system writer catches some faults itself (reading
// memory that may be gone), and those must reach it.
bool WriterMayHandle(const CONTEXT& at_fault) {
  g_unwind_context = at_fault;
  CONTEXT& context = g_unwind_context;
  constexpr int kMaxFrames = 256;
  for (int frame = 0; frame < kMaxFrames && context.Rip != 0 && context.Rsp < g_guard_frame; ++frame) {
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
    if (function == nullptr) {  // a leaf: the return address is on top of the stack
      const NT_TIB* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
      if (context.Rsp < reinterpret_cast<DWORD64>(tib->StackLimit) ||
          context.Rsp + 8 > reinterpret_cast<DWORD64>(tib->StackBase)) {
        return false;
      }
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handler_data = nullptr;
    DWORD64 establisher = 0;
    if (RtlVirtualUnwind(UNW_FLAG_EHANDLER, image_base, context.Rip, function, &context, &handler_data, &establisher,
                         nullptr) != nullptr) {
      return true;
    }
  }
  return false;
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* pointers) {
  const DWORD self = GetCurrentThreadId();
  if (g_guarded_thread.load(std::memory_order_acquire) != self) return EXCEPTION_CONTINUE_SEARCH;
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  const uint64_t at = reinterpret_cast<uint64_t>(pointers->ExceptionRecord->ExceptionAddress);
  if (!IsFault(code) || at < g_writer_low.load() || at >= g_writer_high.load() ||
      WriterMayHandle(*pointers->ContextRecord)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  g_guard_code = code;
  g_guard_address = reinterpret_cast<DWORD64>(pointers->ExceptionRecord->ExceptionAddress);
  g_guarded_thread.store(0, std::memory_order_release);
  __builtin_longjmp(g_guard_jump, 1);
}

// crash path: allocates nothing, takes no lock; the file is ours alone.
class FileOutput final : public minidump::DumpOutput {
 public:
  explicit FileOutput(HANDLE file) : file_(file) {}
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
      const DWORD ask = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(file_, bytes, ask, &written, nullptr) || written == 0) return false;
      bytes += written;
      size -= written;
    }
    return true;
  }

 private:
  HANDLE file_;
};

size_t ReadOwnMemory(uint64_t address, void* buffer, size_t size, void*) {
  std::memcpy(buffer, reinterpret_cast<const void*>(address), size);
  return size;
}

// Remembers the image range of the module holding writer. Not for the crash
// path (it asks the loader).
void RememberWriterModule(MiniDumpWriteDumpFn writer) {
  HMODULE module = nullptr;
  PeImageFacts facts;
  if (writer == nullptr ||
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(writer), &module) ||
      !ReadPeImageFacts(reinterpret_cast<uint64_t>(module), &ReadOwnMemory, nullptr, nullptr, 0, &facts)) {
    g_writer_low.store(0);
    g_writer_high.store(0);
    return;
  }
  g_writer_low.store(reinterpret_cast<uint64_t>(module));
  g_writer_high.store(reinterpret_cast<uint64_t>(module) + facts.size_of_image);
}

struct FallbackContext {
  EXCEPTION_POINTERS* pointers;
  uint32_t thread_id;
  SystemDumpFileFn system_writer;
};

uint64_t WriteWith(DumpWriterKind kind, const wchar_t* path, int32_t dump_type, void* context) {
  const FallbackContext& fallback = *static_cast<const FallbackContext*>(context);
  if (kind == DumpWriterKind::kOwn) return WriteOwnDumpFile(path, fallback.pointers, fallback.thread_id);
  return fallback.system_writer(path, fallback.pointers, dump_type, fallback.thread_id);
}

void PrepareOnce() {
  if (g_prepared.exchange(true)) return;
  HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
  MiniDumpWriteDumpFn loaded =
      dbghelp != nullptr
          ? reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")))
          : nullptr;
  if (loaded == nullptr) {
    LogDebug("dbghelp.dll MiniDumpWriteDump not loaded (%lu): dumps are written by %s\n",
             static_cast<unsigned long>(GetLastError()), DumpWriterName(DumpWriterKind::kOwn));
  }
  g_loaded.store(loaded);
  g_writer.store(loaded);
  RememberWriterModule(loaded);
  WindowsSnapshot::Instance().Reserve();
  // Registered last so that it runs before the crash handlers' own vectored
  // handler: a fault inside the system writer never reads as a second crash.
  AddVectoredExceptionHandler(1, &GuardHandler);
}

}  // namespace

void PrepareDumpWriters() {
  RefreshDumpSettings();  // the configuration file has been read: its writer choice counts from now
  PrepareOnce();
}

BOOL GuardedMiniDumpWriteDump(HANDLE process, DWORD process_id, HANDLE file, MINIDUMP_TYPE type,
                              PMINIDUMP_EXCEPTION_INFORMATION exception, PMINIDUMP_USER_STREAM_INFORMATION streams,
                              PMINIDUMP_CALLBACK_INFORMATION callback) {
  if (!g_prepared.load()) PrepareOnce();
  const MiniDumpWriteDumpFn writer = g_writer.load();
  if (writer == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (__builtin_setjmp(g_guard_jump) != 0) {
    LogAlways("MiniDumpWriteDump faulted (%X at %p)\n", static_cast<unsigned>(g_guard_code),
              reinterpret_cast<void*>(g_guard_address));
    SetLastError(kErrorUnhandledException);
    return FALSE;
  }
  g_guard_frame = reinterpret_cast<DWORD64>(__builtin_frame_address(0));
  g_guarded_thread.store(GetCurrentThreadId(), std::memory_order_release);
  const BOOL written = writer(process, process_id, file, type, exception, streams, callback);
  g_guarded_thread.store(0, std::memory_order_release);
  return written;
}

uint64_t WriteOwnDumpFile(const wchar_t* path, EXCEPTION_POINTERS* pointers, uint32_t thread_id) {
  if (!g_prepared.load()) PrepareOnce();
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LogDebug("own dump writer cannot create the file (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return 0;
  }
  WindowsSnapshot& snapshot = WindowsSnapshot::Instance();
  snapshot.Capture(pointers, thread_id);
  FileOutput output(file);
  const uint64_t size = minidump::WriteMinidump(snapshot, output);
  snapshot.Release();
  CloseHandle(file);
  if (size == 0) DeleteFileW(path);
  return size;
}

uint64_t WriteDumpFileWithFallback(const wchar_t* path, EXCEPTION_POINTERS* pointers, int32_t dump_type,
                                   uint32_t thread_id, SystemDumpFileFn system_writer) {
  FallbackContext context{pointers, thread_id, system_writer};
  const DumpWriterPair writers{&WriteWith, &context};
  return WriteDumpFileInOrder(ReadOwnDumpWriterFirst(), path, dump_type, writers, nullptr);
}

}  // namespace Vextra

namespace Vextra::testing_hooks {

void SetSystemDumpWriterForTesting(MiniDumpWriteDumpFn writer) {
  if (!g_prepared.load()) PrepareOnce();
  g_writer.store(writer);
  RememberWriterModule(writer);
}

void RestoreSystemDumpWriterForTesting() {
  g_writer.store(g_loaded.load());
  RememberWriterModule(g_loaded.load());
}

}  // namespace Vextra::testing_hooks
