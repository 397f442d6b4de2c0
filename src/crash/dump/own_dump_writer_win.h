#pragma once
// The crash dump's two writers on Windows: the system's MiniDumpWriteDump,
// loaded from dbghelp.dll at installation and called under a guard, and the
// library's own writer over a snapshot of this process, which takes over when
// the system's is missing, fails or faults (or goes first when the
// configuration asks for it).

#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include <cstdint>

namespace Vextra {

// Loads dbghelp.dll and looks up MiniDumpWriteDump, reserves the snapshot's
// storage and registers the guard's vectored handler. Runs when the crash
// handlers are installed, on the host's thread; idempotent. Not for the crash
// path (it loads a library and allocates).
void PrepareDumpWriters();

// MiniDumpWriteDump as loaded by PrepareDumpWriters, run under a guard: FALSE
// with ERROR_MOD_NOT_FOUND when it could not be loaded, FALSE with
// ERROR_UNHANDLED_EXCEPTION (574) when it faulted in its own module and no frame
// of its own had a handler for the fault (the fault is logged and the call
// abandoned). A fault elsewhere, or one its own frames may handle, is left
// to the handlers that see it anyway. A program that never
// prepared (a test linking the core) is prepared here on first use.
// crash path: allocates nothing once prepared; takes no lock of its own.
BOOL GuardedMiniDumpWriteDump(HANDLE process, DWORD process_id, HANDLE file, MINIDUMP_TYPE type,
                              PMINIDUMP_EXCEPTION_INFORMATION exception, PMINIDUMP_USER_STREAM_INFORMATION streams,
                              PMINIDUMP_CALLBACK_INFORMATION callback);

// Writes path with the library's own writer: the exception of thread_id
// (pointers in this process), every thread with the others suspended, the
// modules and the memory around the fault. The file's size, or 0 (the file
// is then deleted).
// crash path: allocates nothing, takes no lock another thread may hold; one
// dump at a time (the crash lock).
uint64_t WriteOwnDumpFile(const wchar_t* path, EXCEPTION_POINTERS* pointers, uint32_t thread_id);

// The system writer's file step (create, MiniDumpWriteDump, size or delete).
using SystemDumpFileFn = uint64_t (*)(const wchar_t* path, EXCEPTION_POINTERS* pointers, int32_t dump_type,
                                      uint32_t thread_id);

// One dump file: the preferred writer first (the own one when the
// configuration says so), the other when it wrote nothing; the SDK log names
// the writer whose file stays. The size, or 0.
// crash path: allocates nothing, takes no lock another thread may hold.
uint64_t WriteDumpFileWithFallback(const wchar_t* path, EXCEPTION_POINTERS* pointers, int32_t dump_type,
                                   uint32_t thread_id, SystemDumpFileFn system_writer);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: the MiniDumpWriteDump the guarded call uses from now on
// (nullptr: as if dbghelp.dll could not be loaded).
using MiniDumpWriteDumpFn = decltype(&MiniDumpWriteDump);
void SetSystemDumpWriterForTesting(MiniDumpWriteDumpFn writer);
// Tests only: the one loaded from dbghelp.dll again.
void RestoreSystemDumpWriterForTesting();
}  // namespace Vextra::testing_hooks
