#include "core/process_flags.h"

namespace Vextra {
namespace {
std::atomic<bool> g_initialized{false};
std::atomic<bool> g_debug_mode{false};
}  // namespace

bool IsInitialized() { return g_initialized.load(std::memory_order_acquire); }
void MarkInitialized() { g_initialized.store(true, std::memory_order_release); }

bool IsDebugMode() { return g_debug_mode.load(std::memory_order_relaxed); }
void SetDebugMode(bool on) { g_debug_mode.store(on, std::memory_order_relaxed); }

}  // namespace Vextra

namespace Vextra::testing_hooks {
void ResetInitializedForTesting() { g_initialized.store(false, std::memory_order_release); }
}  // namespace Vextra::testing_hooks
