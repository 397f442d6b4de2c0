#pragma once
// Timed modes of the Linux crash host, for the crash benchmark:
// - "bench-fault": starts the library, faults once its threads wait, and
//   writes "fault-to-stored-us <microseconds>" from its own SIGSEGV handler,
//   which the library chains to after the report is stored by the collector;
// - "bench-baseline <body file>": without the library, faults and sends the
//   body with one HTTPS POST from its SIGSEGV handler, then writes
//   "baseline-us <microseconds>".
// Both end the process with status 0 once the figure is written.

namespace vextra_test {

// fact writes one "key value" line to the host's facts; start starts the
// library against address; settle waits until the library's threads wait.
using FactWriter = void (*)(const char* key, const char* value);

[[noreturn]] void BenchFault(FactWriter fact, void (*start)(const char* address), void (*settle)(),
                             const char* address);
[[noreturn]] void BenchBaseline(FactWriter fact, const char* body_file, const char* address);

}  // namespace vextra_test
