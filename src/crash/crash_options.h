#pragma once
// Switches the host sets for crash capture: the vectored-handler switch, the
// C runtime extra handlers and the exception codes that always count as
// crashes. Host threads write them; faulting threads read them without a lock.

#include <cstddef>
#include <cstdint>

namespace Vextra {

// Stores the vectored-handler switch (effective from the next exception) and
// returns the stored value.
bool StoreVehEnable(bool enable);
// crash path: one atomic load.
bool IsVehEnabled();

void SetExtraHandlerFlag(bool enable);
bool IsExtraHandlerOn();

// Room for accepted codes, in static storage. The set only grows; a new code
// past the room is not added, said once in the SDK log.
constexpr size_t kAcceptedCodeCapacity = 4096;

// Codes are only ever added; a code already accepted is not stored twice.
// Host threads only (adders take turns; readers never wait for them).
void AddAcceptedCode(uint32_t code);
// crash path: reads a fixed table without a lock, allocates nothing.
bool IsAcceptedCode(uint32_t code);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: no accepted code, VEH and extra handlers off.
void ResetCrashOptionsForTesting();
}  // namespace Vextra::testing_hooks
