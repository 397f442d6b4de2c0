// Timed modes of the Linux crash host (crash_host_linux_timing.h).

#include "crash_host_linux/crash_host_linux_timing.h"

#include <httplib.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace vextra_test {
namespace {

FactWriter g_fact = nullptr;
double g_fault_at = 0;
std::string g_body;
std::string g_address;

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void Figure(const char* name, double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds * 1e6);
  g_fact(name, text);
}

__attribute__((noinline)) void FaultNow() {
  g_fault_at = Now();
  *reinterpret_cast<volatile int*>(static_cast<uintptr_t>(0x9C40)) = 5;
}

void InstallSegvHandler(void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGSEGV, &action, nullptr);
}

// Runs after the library's crash path, which returns once the collector has
// answered (and so stored) the report.
void StopTheClock(int, siginfo_t*, void*) {
  Figure("fault-to-stored-us", Now() - g_fault_at);
  _exit(0);
}

void PostTheBody(int, siginfo_t*, void*) {
  // The client settings the library's transport uses: a new connection, no
  // keep-alive, no certificate check on loopback.
  httplib::SSLClient client(g_address, 443);
  client.enable_server_certificate_verification(false);
  client.set_keep_alive(false);
  auto answer = client.Post("/pb/async", g_body, "application/octet-stream");
  const double elapsed = Now() - g_fault_at;
  if (!answer || answer->status != 200) {
    g_fact("baseline-failed", answer ? std::to_string(answer->status).c_str() : "no answer");
    _exit(1);
  }
  Figure("baseline-us", elapsed);
  _exit(0);
}

}  // namespace

void BenchFault(FactWriter fact, void (*start)(const char*), void (*settle)(), const char* address) {
  g_fact = fact;
  // Installed before the library's, so the library chains to it.
  InstallSegvHandler(&StopTheClock);
  start(address);
  settle();
  FaultNow();
  _exit(3);  // the fault did not happen
}

void BenchBaseline(FactWriter fact, const char* body_file, const char* address) {
  g_fact = fact;
  std::ifstream in(body_file, std::ios::binary);
  g_body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  g_address = address;
  if (g_body.empty()) {
    fact("baseline-failed", "empty body");
    _exit(1);
  }
  InstallSegvHandler(&PostTheBody);
  FaultNow();
  _exit(3);
}

}  // namespace vextra_test
