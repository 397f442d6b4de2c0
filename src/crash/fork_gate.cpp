#include "crash/fork_gate.h"

namespace Vextra {
namespace {
std::atomic<int32_t> g_open{0};
}  // namespace

ForkSensitiveSection::ForkSensitiveSection() { g_open.fetch_add(1, std::memory_order_acq_rel); }
ForkSensitiveSection::~ForkSensitiveSection() { g_open.fetch_sub(1, std::memory_order_acq_rel); }

int32_t OpenForkSensitiveSections() { return g_open.load(std::memory_order_acquire); }

bool WaitForForkQuiet(uint32_t max_ms, uint64_t (*monotonic_ms)(), void (*sleep_ms)(uint32_t)) {
  const uint64_t deadline = monotonic_ms() + max_ms;
  // A section the forking thread left open in an earlier child may read below zero.
  while (g_open.load(std::memory_order_acquire) > 0) {
    if (monotonic_ms() >= deadline) return false;
    sleep_ms(1);
  }
  return true;
}

void ForgetForkSensitiveSections() { g_open.store(0, std::memory_order_release); }

}  // namespace Vextra
