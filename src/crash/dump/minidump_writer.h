#pragma once
// Writing a crash dump of this process: where it goes, what it is named, the
// small companion of a large dump, and the test dump of a failed attach.
// One platform file writes the dump (Windows: MiniDumpWriteDump); elsewhere
// no dump is written yet and the SDK log says so.

#include <cstdint>

#include "crash/dump/dump_rules.h"

struct _EXCEPTION_POINTERS;

namespace Vextra {

// Fills out with the default dump directory ("pxr64\dump" beside the library)
// and creates its last level when missing. Returns true; when the directory
// would not fit in 260 characters the buffer is left empty.
// crash path: allocates nothing, takes no lock (the library directory is
// read from what the attach remembered).
bool GetDefaultDumpDir(wchar_t (&out)[kDumpPathChars]);

// Writes the crash dump of the current thread's exception into the custom
// workspace or the default dump directory and leaves in dump_path the file to
// upload: the full dump, or its small companion when the full one is larger
// than 3 MiB. A path that would not fit leaves dump_path empty and writes
// nothing. Elsewhere than Windows: writes nothing, dump_path empty.
// crash path: allocates nothing, takes no lock that another thread may hold.
void WriteCrashDump(_EXCEPTION_POINTERS* pointers, wchar_t (&dump_path)[kDumpPathChars]);
// The same for a dump whose exception belongs to another thread (the faulting
// thread waits while a helper with a sound stack writes its dump).
// crash path: allocates nothing, takes no lock that another thread may hold.
void WriteCrashDumpForThread(_EXCEPTION_POINTERS* pointers, uint32_t thread_id,
                             wchar_t (&dump_path)[kDumpPathChars]);

// Writes one dump of the given type to path with the exception of thread_id;
// returns the file's size, 0 when writing failed (the file is then deleted).
// crash path: allocates nothing, takes no lock that another thread may hold.
uint32_t _HcSpyCreateDumpFile(const wchar_t* path, _EXCEPTION_POINTERS* pointers, int32_t dump_type,
                              uint32_t thread_id);

// The filter of the guard around the attach setup: writes "test.dmp" of type
// 0 in the current directory and returns 1 (execute the handler).
long WriteTestDump(uint32_t code, _EXCEPTION_POINTERS* pointers);

}  // namespace Vextra
