#include "crash/dump/dump_writer_order.h"

#include "log/sdk_log.h"

namespace Vextra {

const char* DumpWriterName(DumpWriterKind kind) {
  return kind == DumpWriterKind::kOwn ? "the library's own writer" : "the system's MiniDumpWriteDump";
}

uint64_t WriteDumpFileInOrder(bool own_first, const wchar_t* path, int32_t dump_type, const DumpWriterPair& writers,
                              DumpWriterKind* used) {
  const DumpWriterKind first = own_first ? DumpWriterKind::kOwn : DumpWriterKind::kSystem;
  const DumpWriterKind second = own_first ? DumpWriterKind::kSystem : DumpWriterKind::kOwn;
  for (const DumpWriterKind kind : {first, second}) {
    const uint64_t size = writers.write(kind, path, dump_type, writers.context);
    if (size > 0) {
      LogAlways("dump written by %s\n", DumpWriterName(kind));
      if (used != nullptr) *used = kind;
      return size;
    }
    LogAlways("%s wrote no dump\n", DumpWriterName(kind));
  }
  return 0;
}

}  // namespace Vextra
