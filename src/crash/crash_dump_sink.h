#pragma once
// Where the send step hands a crash: the dump directory, the dump writer and
// the upload. The send step calls only through this, so tests inject fakes.
// crash path: the directory and the dump functions allocate nothing and wait
// on no lock; the upload runs once the dump is written.

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vextra {

struct CrashDumpSink {
  // Makes sure the default dump directory exists and yields its path.
  bool (*default_dump_dir)(wchar_t (&)[260]);
  // Writes the dump of the calling thread's exception and yields the path to send.
  void (*write_dump)(_EXCEPTION_POINTERS*, wchar_t (&)[260]);
  // Uploads the dump: path, GUID text, crash kind, compressed copy into the dump directory.
  int32_t (*upload)(const wchar_t*, const char*, int32_t, bool);
  // Optional (may be null): as write_dump, for an exception raised on another
  // thread, named by its id (the stack-overflow helper writes the dump of the
  // faulting thread that waits for it).
  void (*write_dump_for_thread)(_EXCEPTION_POINTERS*, uint32_t thread_id, wchar_t (&)[260]);
};

// The dump side's functions.
const CrashDumpSink& DefaultCrashDumpSink();

}  // namespace Vextra
