#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstring>

#include "crash/stack_overflow_helper.h"

namespace Vextra {
namespace {

struct Helper {
  std::atomic<bool> started{false};
  std::atomic<bool> busy{false};
  std::atomic<uint32_t> thread_id{0};
  std::atomic<uint32_t> acting_for{0};  // the faulting thread of the current job
  HANDLE request = nullptr;             // auto-reset: one job was handed over
  HANDLE done = nullptr;                // auto-reset: the job is finished
  // The job, written by the faulting thread before `request` is set.
  OverflowPass pass = OverflowPass::kVectored;
  ExceptionFacts facts;
  OverflowDispatch dispatch = OverflowDispatch::kGoesOn;
  OverflowAnswer answer;
};

Helper g_helper;

// The system's handler of __try/__except frames, as each runtime exports it;
// filled at start, before any job.
constexpr int kSehHandlerExports = 4;
void* g_seh_handlers[kSehHandlerExports] = {};

void FindSehHandlers() {
  const char* modules[kSehHandlerExports] = {"ntdll.dll", "msvcrt.dll", "vcruntime140.dll", "ucrtbase.dll"};
  for (int i = 0; i < kSehHandlerExports; ++i) {
    if (HMODULE module = GetModuleHandleA(modules[i])) {
      g_seh_handlers[i] = reinterpret_cast<void*>(GetProcAddress(module, "__C_specific_handler"));
    }
  }
}

// A handler named in unwind information may be a module's import thunk
// (jmp qword ptr [rip+offset]); the function it jumps to.
void* ThroughImportThunk(void* code) {
  const auto* bytes = static_cast<const unsigned char*>(code);
  if (bytes[0] != 0xFF || bytes[1] != 0x25) return code;
  int32_t offset = 0;
  std::memcpy(&offset, bytes + 2, sizeof offset);
  void* target = nullptr;
  std::memcpy(&target, bytes + 6 + offset, sizeof target);
  return target;
}

bool IsSehHandler(void* handler) {
  void* function = ThroughImportThunk(handler);
  for (void* known : g_seh_handlers) {
    if (known != nullptr && (function == known || handler == known)) return true;
  }
  return false;
}

struct ScopeRecord {
  ULONG begin;
  ULONG end;
  ULONG handler;  // the filter's address, or 1 for "execute the handler"
  ULONG jump_target;  // 0 for a __finally
};
struct ScopeTable {
  ULONG count;
  ScopeRecord records[1];
};

// The __except scopes of one frame at pc: whether one of their filters takes
// the exception (answers anything but "continue search").
bool ScopeTakesIt(const ScopeTable& table, DWORD64 image_base, DWORD64 pc, EXCEPTION_POINTERS* pointers,
                  DWORD64 establisher) {
  using Filter = LONG (*)(EXCEPTION_POINTERS*, DWORD64);
  for (ULONG i = 0; i < table.count; ++i) {
    const ScopeRecord& scope = table.records[i];
    if (scope.jump_target == 0 || pc < image_base + scope.begin || pc >= image_base + scope.end) continue;
    if (scope.handler == 1) return true;
    const Filter filter = reinterpret_cast<Filter>(image_base + scope.handler);
    if (filter(pointers, establisher) != EXCEPTION_CONTINUE_SEARCH) return true;
  }
  return false;
}

// Walks the faulting thread's frames from the fault, as the system's dispatch
// would, and asks the filters of its __try/__except frames. Frames of other
// handlers (C++ and others) do not take a structured exception. The thread
// waits meanwhile, so its stack is read as it stands.
// crash path: runs on the helper, reads the waiting thread's stack within its
// committed part, calls the host's filters, allocates nothing.
bool AFrameHandlerTakesIt(const ExceptionFacts& facts) {
  if (facts.pointers == nullptr || facts.pointers->ContextRecord == nullptr) return false;
  CONTEXT context = *facts.pointers->ContextRecord;
  // The stack's committed part runs from the fault up to the thread's stack
  // base; a walk that leaves it stops.
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<void*>(context.Rsp), &region, sizeof region) == 0) return false;
  const DWORD64 stack_low = context.Rsp;
  const DWORD64 stack_high = reinterpret_cast<DWORD64>(region.BaseAddress) + region.RegionSize;
  constexpr int kMaxFrames = 1 << 20;
  for (int frame = 0; frame < kMaxFrames && context.Rip != 0; ++frame) {
    if (context.Rsp < stack_low || context.Rsp + 8 > stack_high) return false;
    const DWORD64 pc = context.Rip;
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &image_base, nullptr);
    if (function == nullptr) {  // a leaf function: its return address is on top
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handler_data = nullptr;
    DWORD64 establisher = 0;
    const DWORD64 stack_before = context.Rsp;
    PEXCEPTION_ROUTINE handler = RtlVirtualUnwind(UNW_FLAG_EHANDLER, image_base, pc, function, &context,
                                                  &handler_data, &establisher, nullptr);
    if (handler != nullptr && handler_data != nullptr && IsSehHandler(reinterpret_cast<void*>(handler)) &&
        ScopeTakesIt(*static_cast<const ScopeTable*>(handler_data), image_base, pc, facts.pointers, establisher)) {
      return true;
    }
    if (context.Rsp <= stack_before) return false;  // no progress: a damaged stack
  }
  return false;
}

// The host's main thread is the process's first: the thread of this process
// created earliest.
// crash path: a system thread snapshot, no allocation of the library's own.
bool OnMainThread(const ExceptionFacts&) {
  const DWORD faulting = g_helper.acting_for.load();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD first = 0;
  ULONGLONG first_created = ~ULONGLONG{0};
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
      const ULONGLONG at = (ULONGLONG{created.dwHighDateTime} << 32) | created.dwLowDateTime;
      if (at < first_created) {
        first_created = at;
        first = entry.th32ThreadID;
      }
    }
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return first != 0 && first == faulting;
}

const OverflowQueries kOverflowQueries{&AFrameHandlerTakesIt, &OnMainThread};

DWORD WINAPI HelperLoop(void*) {
  g_helper.thread_id.store(GetCurrentThreadId());
  for (;;) {
    if (WaitForSingleObject(g_helper.request, INFINITE) != WAIT_OBJECT_0) return 1;
    g_helper.answer = ProcessStackOverflow(g_helper.pass, g_helper.facts, g_helper.dispatch, kOverflowQueries);
    g_helper.acting_for.store(0);
    SetEvent(g_helper.done);
  }
}

}  // namespace

bool StartStackOverflowHelper() {
  static std::atomic<bool> tried{false};
  if (tried.exchange(true)) return g_helper.started.load();
  FindSehHandlers();
  g_helper.request = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_helper.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_helper.request == nullptr || g_helper.done == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, kHelperStackBytes, &HelperLoop, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                               nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);
  g_helper.started.store(true, std::memory_order_release);
  return true;
}

HelperOutcome RunStackOverflowOnHelper(OverflowPass pass, const ExceptionFacts& facts, OverflowDispatch dispatch,
                                       OverflowAnswer* answer) {
  if (!g_helper.started.load(std::memory_order_acquire)) return HelperOutcome::kNoHelper;
  if (g_helper.busy.exchange(true, std::memory_order_acq_rel)) return HelperOutcome::kBusy;
  g_helper.pass = pass;
  g_helper.facts = facts;
  g_helper.dispatch = dispatch;
  g_helper.acting_for.store(GetCurrentThreadId());
  SetEvent(g_helper.request);
  if (WaitForSingleObject(g_helper.done, kHelperWaitMs) != WAIT_OBJECT_0) return HelperOutcome::kLate;
  *answer = g_helper.answer;
  g_helper.busy.store(false, std::memory_order_release);
  return HelperOutcome::kDone;
}

uint32_t ActingThreadId(uint32_t self) {
  if (self != g_helper.thread_id.load(std::memory_order_acquire)) return self;
  const uint32_t acting = g_helper.acting_for.load(std::memory_order_acquire);
  return acting != 0 ? acting : self;
}

uint32_t StackOverflowHelperThreadId() { return g_helper.thread_id.load(std::memory_order_acquire); }

}  // namespace Vextra
