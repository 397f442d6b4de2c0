#pragma once
// The detour calls the crash handlers use: the library's own engine, or, in a
// Windows build configured with VEXTRA_USE_MINHOOK, an installed MinHook with
// the same calls and status numbers.

#if defined(VEXTRA_USE_SYSTEM_MINHOOK)
#include <MinHook.h>
#else
#include "crash/hook/hook_engine.h"
#endif
