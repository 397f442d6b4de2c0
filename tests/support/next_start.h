#pragma once
// The library's next start in the same process, as a later run of the host
// would make it: the start-up's background re-send of stored bodies runs on
// the calling thread before Init returns, so a test reads its outcome at once.

#include <functional>
#include <memory>

#include "app/vextra_agent.h"
#include "core/process_flags.h"

namespace vextra_test {

// Marks the library as not started and gives an agent whose Init() sends the
// stored bodies before it returns.
inline std::unique_ptr<Vextra::VextraAgent> NextStartSendingStoredBodiesFirst() {
  Vextra::testing_hooks::ResetInitializedForTesting();
  return std::make_unique<Vextra::VextraAgent>(Vextra::AgentServices{
      nullptr, nullptr, [](const std::function<void()>& released, std::function<void()> beforeQueue) {
        released();
        beforeQueue();
        return true;
      }});
}

}  // namespace vextra_test
