#include "crash/library_threads.h"

#include <atomic>

namespace Vextra {
namespace {
std::atomic<void (*)()> g_prepare{nullptr};
}  // namespace

void PrepareLibraryThreadForCrashes() {
  if (void (*prepare)() = g_prepare.load(std::memory_order_acquire)) prepare();
}

void SetLibraryThreadPreparation(void (*prepare)()) { g_prepare.store(prepare, std::memory_order_release); }

}  // namespace Vextra
