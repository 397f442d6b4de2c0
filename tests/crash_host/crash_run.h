#pragma once
// Runs the crash host (crash_host.cpp) as a child process in a directory of
// its own, as the crash driver and the crash benchmark do: the host program,
// Vextra64.dll and vextra_crash_module.dll are copied there, so the library's
// dump directory, workspace and SDK log of each run start empty.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crash_host/crash_host_protocol.h"

namespace vextra_test {

struct HostPrograms {
  std::filesystem::path dll;     // Vextra64.dll
  std::filesystem::path host;    // vextra_crash_host.exe
  std::filesystem::path module;  // vextra_crash_module.dll
};

struct HostRun {
  std::filesystem::path dir;
  DWORD process_id = 0;
  bool ended = false;  // within the time given
  DWORD exit_code = 0;
  int64_t exit_unix_seconds = 0;  // when the process ended, by the system's account
  std::multimap<std::string, std::string> facts;

  std::vector<std::string> Facts(const std::string& key) const {
    std::vector<std::string> values;
    for (auto [at, end] = facts.equal_range(key); at != end; ++at) values.push_back(at->second);
    return values;
  }
  // The one value of key, or "" when there is none.
  std::string Fact(const std::string& key) const {
    const std::vector<std::string> values = Facts(key);
    return values.empty() ? std::string() : values.front();
  }
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh directory under this process's own temporary directory holding
// copies of the three programs; "" on failure.
inline std::filesystem::path PrepareRunDir(const HostPrograms& programs, const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::filesystem::path dir =
      std::filesystem::path(temp) / ("vextra-crash-" + std::to_string(GetCurrentProcessId())) / name;
  std::error_code error;
  std::filesystem::remove_all(dir, error);  // Wine reuses process ids
  std::filesystem::create_directories(dir, error);
  if (error) return {};
  for (const auto& [from, to] : {std::pair{programs.dll, "Vextra64.dll"}, std::pair{programs.host, "vextra_crash_host.exe"},
                                 std::pair{programs.module, "vextra_crash_module.dll"}}) {
    if (!CopyFileW(from.wstring().c_str(), (dir / to).wstring().c_str(), FALSE)) return {};
  }
  return dir;
}

// Runs the host copied into dir with the scenario and arguments; waits at most
// timeout_ms, then ends it by force (ended stays false).
inline HostRun RunHost(const std::filesystem::path& dir, const std::string& scenario, const std::string& address,
                       const std::string& argument, DWORD timeout_ms) {
  HostRun run;
  run.dir = dir;
  const std::wstring program = (dir / "vextra_crash_host.exe").wstring();
  std::wstring command = L"\"" + program + L"\" \"" + (dir / "Vextra64.dll").wstring() + L"\" " +
                         std::wstring(scenario.begin(), scenario.end()) + L" " +
                         std::wstring(address.begin(), address.end());
  if (!argument.empty()) command += L" \"" + std::wstring(argument.begin(), argument.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.wstring().c_str(),
                      &startup, &child)) {
    run.exit_code = GetLastError();
    return run;
  }
  run.process_id = child.dwProcessId;
  run.ended = WaitForSingleObject(child.hProcess, timeout_ms) == WAIT_OBJECT_0;
  if (!run.ended) {
    TerminateProcess(child.hProcess, 0xDEAD);
    WaitForSingleObject(child.hProcess, INFINITE);
  }
  GetExitCodeProcess(child.hProcess, &run.exit_code);
  FILETIME created{}, exited{}, kernel{}, user{};
  if (GetProcessTimes(child.hProcess, &created, &exited, &kernel, &user)) {
    const uint64_t ticks = (uint64_t{exited.dwHighDateTime} << 32) | exited.dwLowDateTime;  // 100 ns since 1601
    run.exit_unix_seconds = static_cast<int64_t>(ticks / 10000000) - 11644473600;
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  std::istringstream facts(ReadWholeFile(dir / kFactsFileName));
  for (std::string line; std::getline(facts, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space != std::string::npos) run.facts.emplace(line.substr(0, space), line.substr(space + 1));
  }
  return run;
}

}  // namespace vextra_test
