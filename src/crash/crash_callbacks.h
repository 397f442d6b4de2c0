#pragma once
// The host's hooks into crash handling: the crash callback, the crash observer
// and the engine callback behind the built-in observer. Each registration is a
// single pointer read without a lock, also on a crashing thread.

#include <cstdint>

#include "vextra.h"

namespace Vextra {

// Stores the crash callback (0 clears) and returns the value.
uint64_t StoreCrashCallback(uint64_t callback);
// Takes the registered callback and clears the registration, so a second crash
// calls nothing unless the host registers again. May run on a crashing thread.
VextraCrashCallback TakeCrashCallback();

// Stores the observer (null clears) and logs the registration.
void SetCrashObserver(HRBCrashObserver* observer);
HRBCrashObserver* GetCrashObserver();

// Non-null: stores it and registers the built-in observer that forwards to it;
// null: clears it and clears the observer.
void SetUnityCallback(VextraUnityCallback callback);

// The built-in observer: forwards to the engine callback with (1012, kind, 0),
// or answers an empty text when none is set.
class unityCrashObserver : public HRBCrashObserver {
 public:
  const char* OnCrashExtraMessage(int32_t kind) override;
};

}  // namespace Vextra
