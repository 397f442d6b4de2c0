#pragma once
// The host's hooks into crash handling: the crash callback, the crash observer
// and the engine callback behind the built-in observer. Each registration is a
// single pointer read without a lock, also on a crashing thread.

#include <cstddef>
#include <cstdint>

#include "vextra.h"

namespace Vextra {

// Stores the crash callback (0 clears) and returns the value.
uint64_t StoreCrashCallback(uint64_t callback);
// Takes the registered callback and clears the registration, so a second crash
// calls nothing unless the host registers again; the crash flow calls the
// result with (1, crash GUID text) before the dump is written.
// crash path: one atomic exchange, no lock, allocates nothing.
VextraCrashCallback TakeCrashCallback();

// Stores the observer (null clears) and logs the registration.
void SetCrashObserver(HRBCrashObserver* observer);
HRBCrashObserver* GetCrashObserver();

// Where OnCrashExtraMessage sits in an observer's virtual table: after the one
// destructor slot and OnCrashReserved, as MSVC lays a host's class out and as
// vextra.h lays it out for GCC and Clang hosts.
constexpr size_t kExtraMessageSlot = 2;

// Calls the observer's OnCrashExtraMessage(kind) through the third slot of its
// virtual table, so that a host class built by MSVC (one destructor slot) and
// one built by GCC or Clang from vextra.h (see there) answer alike. On x86-64
// a member function takes the object as its first plain argument on Windows
// (rcx) and on Linux (rdi), so the slot is called as a plain function. The
// observer must not be null; the text it returns belongs to it.
const char* CallOnCrashExtraMessage(HRBCrashObserver* observer, int32_t kind);

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
