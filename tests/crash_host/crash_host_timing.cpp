// Timed modes of the crash host (crash_host_timing.h).

#include <winsock2.h>

#include "crash_host/crash_host_timing.h"

#include <dbghelp.h>
#include <httplib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace vextra_test {
namespace {

constexpr int kThrowIterations = 100000;

double Now() {
  static const double ticks_per_second = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / ticks_per_second;
}

void Print(const char* name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::printf("%s %s\n", name, text);
  std::fflush(stdout);
  HostFact(name, text);
}

__attribute__((noinline)) void Throw(int value) { throw value; }

double g_fault_at = 0;
std::string g_body;
std::string g_address;
std::string g_dump_path;

__attribute__((noinline)) void FaultNow() {
  g_fault_at = Now();
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x9C40)) = 5;
}

LONG WINAPI StopTheClock(EXCEPTION_POINTERS*) {
  Print("fault-to-stored-us", (Now() - g_fault_at) * 1e6);
  TerminateProcess(GetCurrentProcess(), 0);
  return EXCEPTION_EXECUTE_HANDLER;
}

LONG WINAPI DumpAndPost(EXCEPTION_POINTERS* pointers) {
  HANDLE file = CreateFileA(g_dump_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  MINIDUMP_EXCEPTION_INFORMATION exception{GetCurrentThreadId(), pointers, TRUE};
  const BOOL dumped = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception,
                                        nullptr, nullptr);
  CloseHandle(file);
  // The client settings the library's transport uses: a new connection, no
  // keep-alive, no certificate check on loopback.
  httplib::SSLClient client(g_address, 443);
  client.enable_server_certificate_verification(false);
  client.set_keep_alive(false);
  auto answer = client.Post("/pb/async", g_body, "application/octet-stream");
  const double elapsed = Now() - g_fault_at;
  if (!dumped || !answer || answer->status != 200) {
    std::printf("baseline failed: dump %d, answer %d\n", dumped ? 1 : 0, answer ? answer->status : -1);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  Print("baseline-us", elapsed * 1e6);
  TerminateProcess(GetCurrentProcess(), 0);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Throws and catches count integers; the sum of what was caught.
long long ThrowAndCatch(int count) {
  long long sum = 0;
  for (int i = 0; i < count; ++i) {
    try {
      Throw(i);
    } catch (int value) {
      sum += value;
    }
  }
  return sum;
}

// ns per throw of one timed loop, after a warm-up; false if a catch was missed.
bool TimeThrowLoop(double* ns_per_throw) {
  if (ThrowAndCatch(kThrowIterations / 10) == 0) return false;
  const double begin = Now();
  const long long sum = ThrowAndCatch(kThrowIterations);
  *ns_per_throw = (Now() - begin) * 1e9 / kThrowIterations;
  return sum != 0;
}

}  // namespace

int BenchThrow(const char* mode, const char* dll, const char* address) {
  const std::string which = mode;
  if (which != "lib" && which != "veh" && which != "none") return 2;
  // The same process first without the library: the machine's differences
  // between processes fall out of the ratio of the two loops.
  double without = 0;
  if (!TimeThrowLoop(&without)) return 1;
  Print("throw-ns-without", without);
  if (which != "none") {
    if (HostLoadLibrary(dll) == nullptr) return 1;
    HostStart(address, false, which == "veh");
  }
  double with = 0;
  if (!TimeThrowLoop(&with)) return 1;
  Print("throw-ns", with);
  return 0;
}

int BenchFault(const char* dll, const char* address) {
  SetUnhandledExceptionFilter(StopTheClock);
  if (HostLoadLibrary(dll) == nullptr) return 1;
  HostStart(address, false, false);
  Sleep(500);  // the start-up's own request is over
  FaultNow();
  return 1;
}

int BenchBaseline(const char* body_file, const char* dll, const char* address) {
  if (HostLoadLibrary(dll) == nullptr) return 1;
  std::ifstream in(body_file, std::ios::binary);
  g_body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (g_body.empty()) return 1;
  g_address = address;
  g_dump_path = std::string(body_file) + ".baseline.dmp";
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SetUnhandledExceptionFilter(DumpAndPost);
  FaultNow();
  return 1;
}

}  // namespace vextra_test
