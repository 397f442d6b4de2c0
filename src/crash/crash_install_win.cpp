#include <windows.h>

#include "crash/crash_context.h"
#include "crash/crash_entries.h"
#include "crash/crash_install.h"
#include "crash/dump/own_dump_writer_win.h"
#include "crash/exception_facts.h"
#include "crash/hook/minhook_api.h"
#include "crash/prepared_crash_guid.h"
#include "crash/send_exception.h"
#include "crash/stack_overflow_helper.h"
#include "log/sdk_log.h"

namespace Vextra {
namespace {

using SetFilterFn = LPTOP_LEVEL_EXCEPTION_FILTER(WINAPI*)(LPTOP_LEVEL_EXCEPTION_FILTER);
using IsBadReadPtrFn = BOOL(WINAPI*)(const void*, UINT_PTR);
using ExitUserProcessFn = void(NTAPI*)(LONG);

// Trampolines to the replaced system functions; set once by MH_CreateHook.
SetFilterFn g_set_filter_original = nullptr;
IsBadReadPtrFn g_is_bad_read_ptr_original = nullptr;
ExitUserProcessFn g_exit_user_process_original = nullptr;

// The library's top-level filter, registered as it stands (on x86-64 the
// system's filter type has the plain calling convention).
TopLevelFilter OurFilter() { return &HcSpyUnhandledExceptionFilter; }
LPTOP_LEVEL_EXCEPTION_FILTER OurSystemFilter() { return reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(OurFilter()); }
// What the system does with a stack overflow after the vectored pass. Wine
// (its ntdll exports wine_get_version) needs more than the page of stack an
// overflow leaves to walk the frame handlers, and the thread dies there;
// Windows goes on to the frame handlers and the top-level filter.
OverflowDispatch OverflowDispatchOfThisSystem() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  return wine ? OverflowDispatch::kStopsHere : OverflowDispatch::kGoesOn;
}
// Set at installation, before the vectored handler is registered.
OverflowDispatch g_overflow_dispatch = OverflowDispatch::kGoesOn;

// A stack overflow is processed on the helper (the faulting thread has about
// a page of stack left) and its answer given to the system; the process is
// ended here only where the system's own dispatch could not go on.
// crash path: hands an overflow to the helper and waits boundedly, allocates
// nothing; other exceptions go to the vectored entry.
LONG WINAPI VectoredHandler(EXCEPTION_POINTERS* pointers) {
  const ExceptionFacts facts = ExceptionFactsOf(pointers);
  if (facts.has_record && facts.code == EXCEPTION_STACK_OVERFLOW) {
    const OverflowAnswer answer =
        AnswerStackOverflow(OverflowPass::kVectored, facts, g_overflow_dispatch, &RunStackOverflowOnHelper);
    if (answer.end_process) TerminateProcess(GetCurrentProcess(), EXCEPTION_STACK_OVERFLOW);
    return answer.answer;
  }
  return HcSpyVectoredExceptionHandler(facts);
}

// The host's SetUnhandledExceptionFilter: the library's filter stays on top,
// the host's becomes the next one and the host gets back the one before.
LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetUnhandledExceptionFilterDetour(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  LogDebug("SetUnhandledExceptionFilter Called %ld HC Fun is %p exp is %p\n", static_cast<long>(GetCurrentThreadId()),
           reinterpret_cast<void*>(OurFilter()), reinterpret_cast<void*>(filter));
  g_set_filter_original(OurSystemFilter());
  return reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(ChainHostFilter(reinterpret_cast<TopLevelFilter>(filter)));
}

// Memory probes raise and catch faults of their own: the send step drops
// crashes while one runs.
BOOL WINAPI IsBadReadPtrDetour(const void* pointer, UINT_PTR size) {
  ProbeBegin();
  const BOOL result = g_is_bad_read_ptr_original(pointer, size);
  ProbeEnd();
  return result;
}

// Once the process exits, nothing is captured any more.
void NTAPI RtlExitUserProcessDetour(LONG status) {
  CHcSpyGlobal::Instance().enabled.store(0, std::memory_order_release);
  g_exit_user_process_original(status);
}

void PlaceDetour(HMODULE module, const char* name, void* detour, void** original) {
  void* target = reinterpret_cast<void*>(GetProcAddress(module, name));
  if (target == nullptr) {
    LogDebug("Fail to get address of %s\n", name);
    return;
  }
  LogDebug("Hook %s\n", name);
  const MH_STATUS status = MH_CreateHook(target, detour, original);
  if (status == MH_OK) {
    CHcSpyGlobal::Instance().AddHookedTarget(target);
    LogDebug("%s succeed.\n", name);
  } else {
    LogDebug("%s failed, %d.\n", name, static_cast<int>(status));
  }
  MH_EnableHook(target);
}

// Keeps this module mapped for the life of the process: its filter, vectored
// handler and detours must never point into unmapped code.
void PinThisModule() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&PinThisModule), &self);
}

}  // namespace

void InstallCrashHandlers() {
  PinThisModule();
  g_overflow_dispatch = OverflowDispatchOfThisSystem();
  StartStackOverflowHelper();
  PrepareCrashGuid();

  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(OurSystemFilter());
  KeepPreviousFilter(reinterpret_cast<TopLevelFilter>(previous));
  LogDebug("SET UNHANDLE EXCEPTION RETURN FUNC IS %p\n", reinterpret_cast<void*>(previous));

  void* handle = AddVectoredExceptionHandler(1, &VectoredHandler);
  if (handle != nullptr) {
    context.veh_handle.store(handle, std::memory_order_release);
  } else {
    LogDebug("fail to add veh %d\n", static_cast<int>(GetLastError()));
  }
  PrepareDumpWriters();  // after the vectored handler: its guard must see a writer's fault first

  if (MH_Initialize() != MH_OK) {
    LogDebug("Initialize MinHook failed.\n");
    return;
  }
  LogDebug("Initialize MinHook\n");
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) {
    LogDebug("Fail to GetModuleHandle kernel32\n");
  } else {
    PlaceDetour(kernel32, "SetUnhandledExceptionFilter", reinterpret_cast<void*>(&SetUnhandledExceptionFilterDetour),
                reinterpret_cast<void**>(&g_set_filter_original));
    PlaceDetour(kernel32, "IsBadReadPtr", reinterpret_cast<void*>(&IsBadReadPtrDetour),
                reinterpret_cast<void**>(&g_is_bad_read_ptr_original));
  }
  LogDebug("NOT IGNORE EXIT EXCEPTION\n");
  if (HMODULE ntdll = GetModuleHandleA("ntdll.dll")) {
    PlaceDetour(ntdll, "RtlExitUserProcess", reinterpret_cast<void*>(&RtlExitUserProcessDetour),
                reinterpret_cast<void**>(&g_exit_user_process_original));
  }
}

void RemoveCrashHandlers() {
  CHcSpyGlobal& context = CHcSpyGlobal::Instance();
  if (void* handle = context.veh_handle.exchange(nullptr)) RemoveVectoredExceptionHandler(handle);
  const TopLevelFilter next = context.next_filter.load(std::memory_order_acquire);
  MH_DisableHook(MH_ALL_HOOKS);
  for (size_t i = 0; i < context.HookedTargetCount(); ++i) MH_RemoveHook(context.HookedTarget(i));
  MH_Uninitialize();
  // With the detour gone this reaches the system.
  if (next != nullptr && next != OurFilter()) SetUnhandledExceptionFilter(reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(next));
}

}  // namespace Vextra
