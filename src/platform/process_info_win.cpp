#include "platform/process_info.h"

#include <windows.h>

namespace Vextra::platform {

std::wstring ExecutablePath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(GetModuleHandleA(nullptr), path, MAX_PATH);
  return path;
}

std::string ExecutablePathNarrow() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::wstring LibraryPath() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&LibraryPath), &module);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return path;
}

uint32_t ProcessId() { return GetCurrentProcessId(); }
uint32_t ThreadId() { return GetCurrentThreadId(); }

}  // namespace Vextra::platform
