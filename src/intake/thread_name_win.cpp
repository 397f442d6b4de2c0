#include <windows.h>

#include <cstdint>
#include <string>

#include "intake/thread_name.h"
#include "platform/text_encoding.h"

namespace Vextra {
namespace {

// The exception a debugger reads a thread's name from.
constexpr DWORD kSetThreadNameCode = 0x406D1388;

#pragma pack(push, 8)
struct ThreadNameInfo {
  DWORD type;        // 0x1000
  LPCSTR name;
  DWORD threadId;
  DWORD flags;       // 0
};
#pragma pack(pop)

// Handles exactly the naming exception when no debugger took it, so the
// raise returns to the caller. Any other exception goes on to the next
// handler untouched.
LONG CALLBACK ContinueAfterThreadName(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode == kSetThreadNameCode) return EXCEPTION_CONTINUE_EXECUTION;
  return EXCEPTION_CONTINUE_SEARCH;
}

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// Newer systems only, so looked up rather than imported.
template <typename Function>
Function Kernel32Function(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

// MinGW GCC has no __try: the naming exception is raised under a vectored
// handler of our own, added first in the chain for the raise only, that
// continues execution for this one code: being first, it ends the search
// before a host's vectored handlers or its unhandled-exception filter could
// take the exception for a crash. A debugger sees the exception before any
// handler and reads the name from it. The thread description, which newer
// debuggers and crash dumps read, is set too where the system has it.
void SetThreadName(const char* name) {
  if (auto set = Kernel32Function<SetThreadDescriptionFn>("SetThreadDescription")) {
    set(GetCurrentThread(), platform::NarrowToWide(name).c_str());
  }
  ThreadNameInfo info{0x1000, name, GetCurrentThreadId(), 0};
  PVOID handler = AddVectoredExceptionHandler(1, ContinueAfterThreadName);
  if (handler == nullptr) return;
  RaiseException(kSetThreadNameCode, 0, sizeof(info) / sizeof(ULONG_PTR), reinterpret_cast<const ULONG_PTR*>(&info));
  RemoveVectoredExceptionHandler(handler);
}

std::string CurrentThreadName() {
  auto get = Kernel32Function<GetThreadDescriptionFn>("GetThreadDescription");
  if (get == nullptr) return "";
  PWSTR text = nullptr;
  if (FAILED(get(GetCurrentThread(), &text)) || text == nullptr) return "";
  std::string name = platform::WideToUtf8(text);
  LocalFree(text);
  return name;
}

}  // namespace Vextra
