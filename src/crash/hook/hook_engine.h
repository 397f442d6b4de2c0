#pragma once
// The library's own x64 detour engine. A detour replaces the first bytes of a
// target function with a jump (through a relay) to the detour; the trampoline
// handed back runs the replaced instructions and continues in the target, so
// the detour can call the original. Status numbers are the ones written to
// log lines.
//
// The calls may come from any thread and are serialised by one lock; none of
// them is meant for a crashing thread. The trampoline itself takes no lock and
// allocates nothing, so a detour may call it anywhere, the crash path included.

#include <cstddef>

enum MH_STATUS {
  MH_UNKNOWN = -1,
  MH_OK = 0,
  MH_ERROR_ALREADY_INITIALIZED = 1,
  MH_ERROR_NOT_INITIALIZED = 2,
  MH_ERROR_ALREADY_CREATED = 3,
  MH_ERROR_NOT_CREATED = 4,
  MH_ERROR_ENABLED = 5,
  MH_ERROR_DISABLED = 6,
  MH_ERROR_NOT_EXECUTABLE = 7,
  MH_ERROR_UNSUPPORTED_FUNCTION = 8,
  MH_ERROR_MEMORY_ALLOC = 9,
  MH_ERROR_MEMORY_PROTECT = 10,
  MH_ERROR_MODULE_NOT_FOUND = 11,
  MH_ERROR_FUNCTION_NOT_FOUND = 12,
};

// Stands for every created hook in MH_EnableHook and MH_DisableHook.
#define MH_ALL_HOOKS NULL

MH_STATUS MH_Initialize();
// Disables and removes every hook, frees the trampolines.
MH_STATUS MH_Uninitialize();
// Builds the trampoline of `target` (stored in `*original` when that is not
// null) and the relay to `detour`; the target is left unchanged until enabled.
MH_STATUS MH_CreateHook(void* target, void* detour, void** original);
// Disables the hook if needed and frees its trampoline.
MH_STATUS MH_RemoveHook(void* target);
// Writes (or restores) the jump at the target, or at every target with
// MH_ALL_HOOKS, while the process's other threads are paused.
MH_STATUS MH_EnableHook(void* target);
MH_STATUS MH_DisableHook(void* target);
