#pragma once
// Timed modes of the crash host, run by vextra_crash_bench. Each prints its
// figure as "<name> <microseconds or nanoseconds>" on standard output.

#include <windows.h>

namespace vextra_test {

// A C++ throw/catch loop. mode: "none" (the library is not loaded), "lib"
// (started, vectored handling off) or "veh" (started, vectored handling on).
// Prints "throw-ns <nanoseconds per throw and catch>".
int BenchThrow(const char* mode, const char* dll, const char* address);
// Starts the library, faults, and prints "fault-to-stored-us <microseconds>"
// from the fault until the host's own filter runs, which the library calls
// only after the collector has stored the report and answered.
int BenchFault(const char* dll, const char* address);
// The library loaded but not started (so nothing of it is installed, yet the
// process holds the same modules): faults, and from the fault writes a
// minidump of this process with MiniDumpWriteDump and sends the body in
// body_file with one HTTPS POST to the collector. Prints "baseline-us
// <microseconds>".
int BenchBaseline(const char* body_file, const char* dll, const char* address);

// Provided by crash_host.cpp.
HMODULE HostLoadLibrary(const char* dll);
void HostStart(const char* address, bool debug_log, bool veh);
void HostFact(const char* key, const char* value);

}  // namespace vextra_test
