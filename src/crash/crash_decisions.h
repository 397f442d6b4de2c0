#pragma once
// The decisions of crash capture as plain code over the crash context, the
// host's switches and the platform's clock.

#include <cstddef>
#include <cstdint>

namespace Vextra {

constexpr uint32_t kManualCrashCode = 0x6000AAAA;
constexpr uint32_t kFatalAppExitCode = 0x40000015;
constexpr uint32_t kCppThrowCode = 0xE06D7363;
constexpr uint32_t kStackOverflowCode = 0xC00000FD;
// A manual report within this many seconds of a processed crash is refused.
constexpr int64_t kManualReportWindowSeconds = 30;
constexpr char kMarkerFileName[] = "HexaCubStat.ini";
constexpr size_t kMarkerPathChars = 520;

// Whether the vectored handler treats the code as a crash.
// crash path: reads atomics and a fixed table, allocates nothing.
bool IsCrashExceptionCode(uint32_t code);

// The marker path: the directory of host_path (up to its last backslash, at
// most 259 characters) joined with "HexaCubStat.ini" by a backslash.
void BuildMarkerPath(const char* host_path, char (&out)[kMarkerPathChars]);
// The same with sep as the separator (the platform's: '/' on Linux).
void BuildMarkerPath(const char* host_path, char sep, char (&out)[kMarkerPathChars]);

// False once capture was switched off (process exit, or the marker file seen
// within a second of the context's creation); looks for the marker only in
// that first second and switches capture off when it finds it.
// crash path: reads atomics, one file-status query in the first second,
// allocates nothing.
bool IsCaptureEnabled();

// ignored-module table: the address lies strictly inside an entered module.
// crash path: reads without a lock, allocates nothing.
bool IsInIgnoredModule(uintptr_t address);

// Offers one loaded module to the ignored-module table: a module named on the
// ignore list is appended with its log lines, or dropped with
// "IGNORE DLL BUF OVERLOAD!\n" when the 32 entries are used.
// crash path: matches a fixed copy of the list, allocates nothing.
void OfferLoadedModule(const char* name, uintptr_t base, uint32_t size);

// Takes a module snapshot and offers every module to the table (Windows; a
// POSIX process enters nothing). False when the snapshot cannot be read.
// crash path: allocates nothing of the library's own; the system's snapshot
// call may wait for the loader's lock.
bool RefreshIgnoredModules();

}  // namespace Vextra
