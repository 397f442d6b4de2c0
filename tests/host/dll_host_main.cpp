// Loads Vextra64.dll with LoadLibrary, resolves exports with GetProcAddress and
// checks what a host can see: the export table, the exports' results and the
// SDK log file beside this program.
//   vextra_dll_host <path of Vextra64.dll> <exported_names.txt> <scenario>
// Exit status 0 when every check of the scenario passed.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++g_failures;
}

std::string ExecutableDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of('\\'));
}

// The SDK log file of a process run from this program's directory:
// VextraLog\Vextra.<time>.<pid>.log.
std::string FindLogFileOf(DWORD process_id) {
  std::string pattern = ExecutableDirectory() + "\\VextraLog\\Vextra.*." + std::to_string(process_id) + ".log";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  FindClose(search);
  return ExecutableDirectory() + "\\VextraLog\\" + found.cFileName;
}

std::string FindOwnLogFile() { return FindLogFileOf(GetCurrentProcessId()); }

// Wine reuses process ids between runs, so a file of an earlier run can carry
// this process's id; remove those before the library writes anything.
void RemoveStaleLogFiles() {
  for (std::string path = FindOwnLogFile(); !path.empty(); path = FindOwnLogFile()) {
    if (!DeleteFileA(path.c_str())) break;
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Names in the export directory of a loaded module.
std::set<std::string> ExportedNames(HMODULE module) {
  auto* base = reinterpret_cast<const unsigned char*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::set<std::string> names;
  if (entry.VirtualAddress == 0) return names;
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  auto* name_rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.insert(reinterpret_cast<const char*>(base + name_rvas[i]));
  Check(exports->NumberOfFunctions == exports->NumberOfNames, "every exported function has a name");
  return names;
}

std::set<std::string> ExpectedNames(const char* list_path) {
  std::ifstream in(list_path);
  std::set<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] != '#') names.insert(line);
  }
  return names;
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  auto address = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  Check(address != nullptr, std::string("GetProcAddress ") + name);
  return address;
}

using BoolFn = bool (*)(bool);
using TextFn = void (*)(const char*);
using DumpTypeFn = bool (*)(int32_t);
using SessionFn = void (*)(char*);

void ScenarioExports(HMODULE module, const char* list_path) {
  std::set<std::string> expected = ExpectedNames(list_path);
  std::set<std::string> actual = ExportedNames(module);
  Check(expected.size() == 47, "the list names 47 exports");
  Check(actual == expected, "the export table holds exactly the listed names");
  for (const std::string& name : actual) {
    if (expected.count(name) == 0) std::printf("     unexpected export %s\n", name.c_str());
  }
  for (const std::string& name : expected) Resolve<void (*)()>(module, name.c_str());

  char session[33] = {};
  Resolve<SessionFn>(module, "VX_GetSessionId")(session);
  Check(session[0] == '\0', "no session id before start-up");
}

void ScenarioDebugLog(HMODULE module) {
  Check(Resolve<BoolFn>(module, "VX_ConfigDebugMode")(true), "VX_ConfigDebugMode returns its argument");
  Resolve<TextFn>(module, "VX_SetAppVersion")("1.0");
  std::string path = FindOwnLogFile();
  Check(!path.empty(), "the SDK log file exists beside the executable in VextraLog");
  std::string text = ReadFile(path);
  const std::string line = "SetAppVersion: app version is 1.0 \r\n";
  size_t at = text.find(line);
  Check(at != std::string::npos, "the log holds the SetAppVersion line with a CR LF line end");
  Check(at == 25 && text[24] == ':', "the line starts with the 24-character time stamp and a colon");
  std::string stamp = text.substr(0, 24);
  Check(stamp[3] == ' ' && stamp[7] == ' ' && stamp[13] == ':' && stamp[16] == ':' && stamp[19] == ' ',
        "the time stamp has the asctime shape: " + stamp);
  Check(text.find("ConfigDebugMode") == std::string::npos, "switching debug mode on is not logged");
}

// The SDK log of a host that exits: runs this program again as a child that
// logs and returns, then reads the child's log file.
void ScenarioExitLog(const char* dll_path, const char* list_path) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" \"" + dll_path + "\" \"" + list_path + "\" exit-log-child";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
  Check(started, "start the child host");
  if (!started) return;
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD exit_code = 1;
  GetExitCodeProcess(child.hProcess, &exit_code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  Check(exit_code == 0, "the child host ran and exited");
  std::string text = ReadFile(FindLogFileOf(child.dwProcessId));
  const std::string tail = ":Term\r\nCLOSE LOG!\r\n";
  Check(text.find("SetAppVersion: app version is exiting \r\n") != std::string::npos, "the child's line is in its log");
  Check(text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0,
        "at exit the log ends with the teardown line, then CLOSE LOG!");
}

void ExitLogChild(HMODULE module) {
  Resolve<BoolFn>(module, "VX_ConfigDebugMode")(true);
  Resolve<TextFn>(module, "VX_SetAppVersion")("exiting");
}

// A host with debug mode on whose second thread logs without pause while main
// returns: Windows ends that thread wherever it is (often inside the SDK log)
// before the library's unload code writes its last lines. Each of 20 runs must
// end within 5 s and leave a log of whole lines ending with the teardown line
// and CLOSE LOG!.
void ScenarioExitBusyLog(const char* dll_path, const char* list_path) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string command =
      std::string("\"") + self + "\" \"" + dll_path + "\" \"" + list_path + "\" exit-busy-log-child";
  const std::regex whole_line("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}:.*|CLOSE LOG!");
  int ended_in_time = 0;
  int whole_logs = 0;
  constexpr int kRuns = 20;
  for (int run = 0; run < kRuns; ++run) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    std::string line = command;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
      Check(false, "start the child host");
      return;
    }
    const DWORD started = GetTickCount();
    const bool ended = WaitForSingleObject(child.hProcess, 5000) == WAIT_OBJECT_0;
    const DWORD elapsed = GetTickCount() - started;
    DWORD exit_code = 1;
    if (!ended) TerminateProcess(child.hProcess, 99);
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &exit_code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    const std::string text = ReadFile(FindLogFileOf(child.dwProcessId));
    // Every line whole: a stamp and a message, or the closing line; the text
    // ends with a line end.
    bool whole = !text.empty() && text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
    size_t lines = 0;
    for (size_t begin = 0, end; whole && (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
      whole = std::regex_match(text.substr(begin, end - begin), whole_line);
      ++lines;
    }
    const std::string tail = ":Term\r\nCLOSE LOG!\r\n";
    whole = whole && text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    std::printf("     run %d: %s in %lu ms, exit code %lu, %zu lines, log %s\n", run + 1,
                ended ? "ended" : "KILLED", static_cast<unsigned long>(elapsed), static_cast<unsigned long>(exit_code),
                lines, whole ? "whole" : "BROKEN");
    if (!whole) std::printf("     last bytes: %s\n", text.substr(text.size() > 200 ? text.size() - 200 : 0).c_str());
    if (ended && exit_code == 0) ++ended_in_time;
    if (whole) ++whole_logs;
  }
  Check(ended_in_time == kRuns, "every host ended within 5 s (" + std::to_string(ended_in_time) + " of 20)");
  Check(whole_logs == kRuns, "every log is whole and ends with Term and CLOSE LOG! (" + std::to_string(whole_logs) +
                                 " of 20)");
}

DWORD WINAPI LogWithoutPause(LPVOID module) {
  using PrintLogFn = bool (*)(int32_t, const char*, const char*, ...);
  auto print_log = reinterpret_cast<PrintLogFn>(
      reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), "PrintLog")));
  for (int i = 0;; ++i) print_log(2, "Game", "busy %d", i);
  return 0;
}

void ExitBusyLogChild(HMODULE module) {
  Resolve<BoolFn>(module, "VX_ConfigDebugMode")(true);
  HANDLE thread = CreateThread(nullptr, 0, LogWithoutPause, module, 0, nullptr);
  Check(thread != nullptr, "start the logging thread");
  Sleep(200);
}

// Hosts in other languages pass any non-zero byte for true.
void ScenarioHostBools(HMODULE module) {
  using ByteFn = unsigned char (*)(unsigned char);
  auto debug_mode = Resolve<ByteFn>(module, "VX_ConfigDebugMode");
  static const unsigned char kTrueBytes[] = {2, 0x10, 0xFF};
  for (unsigned char byte : kTrueBytes) {
    const std::string what = "byte " + std::to_string(byte);
    Check(debug_mode(byte) == 1, "VX_ConfigDebugMode(" + what + ") returns true");
    Resolve<TextFn>(module, "VX_SetAppVersion")(what.c_str());
    std::string text = ReadFile(FindOwnLogFile());
    Check(text.find("SetAppVersion: app version is " + what + " \r\n") != std::string::npos,
          "debug mode is on after " + what);
  }
  for (const char* name : {"SetVehEnable", "VX_SetVehEnable"}) {
    auto set_veh = Resolve<ByteFn>(module, name);
    Check(set_veh(0x80) == 1, std::string(name) + "(0x80) stores and returns true");
    Check(set_veh(0) == 0, std::string(name) + "(0) stores and returns false");
  }
  Check(Resolve<ByteFn>(module, "VX_ConfigDebugMode")(0) == 0, "VX_ConfigDebugMode(0) returns false");
}

void ScenarioQuietLog(HMODULE module) {
  Resolve<TextFn>(module, "VX_SetAppVersion")("1.0");
  Resolve<TextFn>(module, "VX_SetUserId")("player");
  Resolve<TextFn>(module, "VX_ConfigCrashServerUrl")("https://127.0.0.2");
  Check(FindOwnLogFile().empty(), "with debug mode off debug lines create no log file");
  Resolve<BoolFn>(module, "VX_ConfigDebugMode")(false);
  Check(FindOwnLogFile().empty(), "switching debug mode off from off writes nothing either");
  Resolve<BoolFn>(module, "VX_ConfigDebugMode")(true);
  Resolve<BoolFn>(module, "VX_ConfigDebugMode")(false);
  std::string text = ReadFile(FindOwnLogFile());
  Check(text.find("ConfigDebugMode: false \r\n") != std::string::npos, "switching debug mode off is logged");
  Check(text.find("SetAppVersion") == std::string::npos, "earlier debug lines were never written");
}

void ScenarioDumpTypes(HMODULE module) {
  auto set_dump_type = Resolve<DumpTypeFn>(module, "VX_SetDumpType");
  std::vector<int32_t> accepted;
  for (int32_t value = -16; value <= 0x800000; ++value) {
    if (set_dump_type(value)) accepted.push_back(value);
  }
  for (int32_t value : {INT32_MIN, INT32_MAX, 0x3FFFFF * 2, 0x40000000}) {
    if (set_dump_type(value)) accepted.push_back(value);
  }
  std::vector<int32_t> expected = {0};
  for (int bit = 0; bit <= 21; ++bit) expected.push_back(1 << bit);
  expected.push_back(0x3FFFFF);
  std::sort(expected.begin(), expected.end());
  Check(accepted == expected, "VX_SetDumpType accepts exactly 0, the 22 single bits and 0x3FFFFF (" +
                                  std::to_string(accepted.size()) + " accepted)");
}

// A copy of the DLL in a fresh directory, with a configuration file beside
// it: the library must find the file in its own module directory.
std::string PrepareDllWithConfig(const char* dll_path, std::string* directory) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  *directory = std::string(temp) + "vextra-host-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(directory->c_str(), nullptr);
  std::string copy = *directory + "\\Vextra64.dll";
  Check(CopyFileA(dll_path, copy.c_str(), FALSE) != 0, "copy the DLL into " + *directory);
  std::ofstream config(*directory + "\\VextraConfig64.dat");
  config << "<!-- settings of the host -->\n"
         << "<AppId> cfg-app </AppId>\n"
         << "<LogOutput>cfg-app</LogOutput>\n";
  return copy;
}

void ScenarioConfigFile(HMODULE module) {
  Resolve<TextFn>(module, "VX_InitWithAppId")("host-app");
  std::string text = ReadFile(FindOwnLogFile());
  Check(text.find("InitWithAppId") == std::string::npos && text.find("ShortName") == std::string::npos,
        "debug mode is off until the file is read");
  Check(text.find(":Begin Hook\r\n") == 24,
        "the file's <LogOutput> matches its <AppId> and switches debug mode on for the next line");
}

}  // namespace

int main(int argc, char** argv) {
  // Unbuffered: a run that dies part-way still shows every check it made.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <Vextra64.dll> <exported_names.txt> <scenario>\n", argv[0]);
    return 2;
  }
  RemoveStaleLogFiles();
  std::string scenario = argv[3];
  std::string config_dir;
  std::string dll_path = scenario == "config-file" ? PrepareDllWithConfig(argv[1], &config_dir) : argv[1];
  HMODULE module = LoadLibraryA(dll_path.c_str());
  Check(module != nullptr, "LoadLibrary " + dll_path);
  if (module == nullptr) return 1;
  if (scenario == "exports") {
    ScenarioExports(module, argv[2]);
  } else if (scenario == "debug-log") {
    ScenarioDebugLog(module);
  } else if (scenario == "exit-log") {
    ScenarioExitLog(argv[1], argv[2]);
  } else if (scenario == "exit-log-child") {
    ExitLogChild(module);
  } else if (scenario == "exit-busy-log") {
    ScenarioExitBusyLog(argv[1], argv[2]);
  } else if (scenario == "exit-busy-log-child") {
    ExitBusyLogChild(module);
    return 0;  // returns from main while the other thread still logs
  } else if (scenario == "host-bools") {
    ScenarioHostBools(module);
  } else if (scenario == "quiet-log") {
    ScenarioQuietLog(module);
  } else if (scenario == "dump-types") {
    ScenarioDumpTypes(module);
  } else if (scenario == "config-file") {
    ScenarioConfigFile(module);
    FreeLibrary(module);
    DeleteFileA((config_dir + "\\VextraConfig64.dat").c_str());
    DeleteFileA((config_dir + "\\Vextra64.dll").c_str());
    RemoveDirectoryA(config_dir.c_str());
  } else {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  std::printf("%d failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
