#pragma once
// The host's manual crash report: an exception with the manual crash code
// raised in the caller's thread, which the vectored handler sees first, and
// which then resumes, so the call returns normally.

namespace Vextra {

// Windows: raises 0x6000AAAA (continuable, no arguments) under a guard that
// continues execution. POSIX: nothing to raise.
void RaiseManualCrashReport();

}  // namespace Vextra
