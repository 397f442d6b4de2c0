#pragma once
// Sections of library work that a child made by fork could never finish if
// fork cut them off in another thread: a TLS exchange holds the TLS
// library's internal locks, and the child, whose crash report needs TLS,
// would wait for them for ever. Before the host forks, the library waits a
// bounded time for open sections to close.

#include <atomic>
#include <cstdint>

namespace Vextra {

// How long a fork waits for the library's open sections.
constexpr uint32_t kForkQuietWaitMs = 2000;

// Open for its lifetime. Any thread.
class ForkSensitiveSection {
 public:
  ForkSensitiveSection();
  ~ForkSensitiveSection();
  ForkSensitiveSection(const ForkSensitiveSection&) = delete;
  ForkSensitiveSection& operator=(const ForkSensitiveSection&) = delete;
};

// Sections open now (the child after a fork starts again from none).
int32_t OpenForkSensitiveSections();

// Waits until no section is open, polling every millisecond through
// sleep_ms, for at most max_ms of monotonic_ms; true when none is open.
bool WaitForForkQuiet(uint32_t max_ms, uint64_t (*monotonic_ms)(), void (*sleep_ms)(uint32_t));

// In a child made by fork: the parent's other threads are gone, and so are their sections.
void ForgetForkSensitiveSections();

}  // namespace Vextra
