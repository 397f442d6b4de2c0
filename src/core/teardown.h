#pragma once

namespace Vextra {

// Runs when the library is unloaded: takes the library out of the crash path
// and closes the SDK log for writing. At most once per process.
void TermHookContext();

}  // namespace Vextra
