#pragma once
// What the crash host (crash_host.cpp) and the programs that run it agree on.

namespace vextra_test {

// Written beside the host program: one "key value" line per fact.
constexpr char kFactsFileName[] = "host.facts";
// The host's own filter resumed the faulting thread in a function that exits
// with this code.
constexpr unsigned kResumedExitCode = 42;
// The host could not set its scenario up (an export or module missing, a
// crash that did not happen).
constexpr unsigned kHostSetupFailed = 97;
// Logged with PrintLog after start-up; the ring travels as "vextraLog.zip".
constexpr char kRingMarker[] = "crash host ring line before the crash";

}  // namespace vextra_test
