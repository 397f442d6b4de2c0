#pragma once

#include <cstdlib>
#include <string>

namespace vextra_test {

// How many asynchronous reports the long runs make on this target: Wine's
// TLS and thread switches are several times slower than Linux's.
int ReliabilityReportCountForTarget();

// VEXTRA_RELIABILITY_REPORTS overrides the target's count (for trying things
// out; `make test` uses the target's).
inline int ReliabilityReportCount() {
  const char* given = std::getenv("VEXTRA_RELIABILITY_REPORTS");
  if (given != nullptr && std::atoi(given) > 0) return std::atoi(given);
  return ReliabilityReportCountForTarget();
}

}  // namespace vextra_test
