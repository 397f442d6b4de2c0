#pragma once
// Switches the host sets for crash capture: the vectored-handler switch, the
// C runtime extra handlers and the exception codes that always count as crashes.

#include <cstdint>
#include <set>

namespace Vextra {

// Stores the vectored-handler switch (effective from the next exception) and
// returns the stored value.
bool StoreVehEnable(bool enable);
bool IsVehEnabled();

void SetExtraHandlerFlag(bool enable);
bool IsExtraHandlerOn();

// Codes are only ever added.
void AddAcceptedCode(uint32_t code);
bool IsAcceptedCode(uint32_t code);
std::set<uint32_t> AcceptedCodes();

}  // namespace Vextra
