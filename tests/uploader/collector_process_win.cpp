// Windows side of CollectorProcess (tests/uploader/collector_process.h): no
// tests here. The collector is a Linux program, so it can only run when this
// test program runs under Wine, which starts Unix programs through
// CreateProcess and translates paths between the two file systems.

#include <windows.h>

#include <cstdlib>

#include "uploader/collector_process.h"

namespace vextra_test {
namespace {

using UnixFileNameFn = char*(CDECL*)(const wchar_t*);
using DosFileNameFn = wchar_t*(CDECL*)(const char*);

template <typename Fn>
Fn WineExport(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

std::wstring DosPathOf(const std::string& unixPath) {
  const auto toDos = WineExport<DosFileNameFn>("wine_get_dos_file_name");
  if (toDos == nullptr) return L"";
  wchar_t* dos = toDos(unixPath.c_str());
  if (dos == nullptr) return L"";
  std::wstring path(dos);
  HeapFree(GetProcessHeap(), 0, dos);
  return path;
}

// One argument as the command-line parser reads it back.
std::wstring Quoted(const std::string& arg) {
  std::wstring wide(arg.begin(), arg.end());
  if (!wide.empty() && wide.find_first_of(L" \t\"") == std::wstring::npos) return wide;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : wide) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

}  // namespace

std::string CollectorProgram(std::string* why) {
  if (WineExport<UnixFileNameFn>("wine_get_unix_file_name") == nullptr) {
    *why = "the collector is a Linux program: run this test program under Wine";
    return "";
  }
  const char* program = std::getenv("VEXTRA_COLLECTOR");
  if (program == nullptr || *program == '\0') {
    *why = "set VEXTRA_COLLECTOR to the Linux path of vextra-collector";
    return "";
  }
  return program;
}

std::string CollectorSidePath(const std::filesystem::path& path) {
  const auto toUnix = WineExport<UnixFileNameFn>("wine_get_unix_file_name");
  if (toUnix == nullptr) return "";
  char* unixPath = toUnix(path.wstring().c_str());
  if (unixPath == nullptr) return "";
  std::string result(unixPath);
  HeapFree(GetProcessHeap(), 0, unixPath);
  return result;
}

bool CollectorProcess::Launch(const std::string& program, const std::vector<std::string>& args) {
  const std::wstring dosProgram = DosPathOf(program);
  if (dosProgram.empty()) {
    error_ = "Wine cannot translate " + program;
    return false;
  }
  std::wstring commandLine = Quoted(std::string(dosProgram.begin(), dosProgram.end()));
  for (const std::string& arg : args) commandLine += L" " + Quoted(arg);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(dosProgram.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    error_ = "cannot start " + program + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  // Wine gives no waitable handle for a Unix program; the stop file is the only way to it.
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  handle_ = static_cast<long long>(info.dwProcessId);
  return true;
}

bool CollectorProcess::Exited() { return handle_ == -1; }

void CollectorProcess::Finish() { handle_ = -1; }

}  // namespace vextra_test
