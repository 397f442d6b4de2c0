#pragma once
// Which minidump writer writes a crash dump: the system's (MiniDumpWriteDump)
// or the library's own, over a snapshot of the process. The preferred one goes
// first and the other takes over when it writes nothing, so a system writer
// that is missing, fails or faults still leaves a dump.

#include <cstdint>

namespace Vextra {

enum class DumpWriterKind { kSystem, kOwn };

// The writer's name as the SDK log gives it.
const char* DumpWriterName(DumpWriterKind kind);

// What writing one dump file needs from the platform.
struct DumpWriterPair {
  // Writes the dump file at path with the writer kind; its size in bytes, or
  // 0 when nothing was written (no file is then left at path).
  uint64_t (*write)(DumpWriterKind kind, const wchar_t* path, int32_t dump_type, void* context);
  void* context;
};

// Writes path with the preferred writer (the own one when own_first) and,
// when that one wrote nothing, with the other. Logs "dump written by <name>"
// for the writer whose file stays, or that neither wrote one. Returns the
// size (0: no dump) and, when used is given, the writer that wrote it.
// crash path: allocates nothing, takes no lock of its own.
uint64_t WriteDumpFileInOrder(bool own_first, const wchar_t* path, int32_t dump_type, const DumpWriterPair& writers,
                              DumpWriterKind* used);

}  // namespace Vextra
