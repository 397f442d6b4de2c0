#pragma once
// What a dump's module list says of a mapped PE image, read from the image's
// headers in memory: its size, time stamp and checksum, the CodeView record
// of its debug directory (GUID, age and PDB name) and the fixed part of its
// version resource. Plain code over a reader, so it runs on any bytes.

#include <cstddef>
#include <cstdint>

namespace Vextra {

// Copies up to size bytes at address into buffer; returns how many were
// copied from the start (0 when unreadable).
using ImageReader = size_t (*)(uint64_t address, void* buffer, size_t size, void* context);

struct PeImageFacts {
  uint32_t size_of_image = 0;
  uint32_t time_date_stamp = 0;
  uint32_t checksum = 0;
  // VS_FIXEDFILEINFO; all zero without a version resource.
  uint32_t file_version_ms = 0, file_version_ls = 0;
  uint32_t product_version_ms = 0, product_version_ls = 0;
  // Bytes of the "RSDS" record copied into the caller's buffer; 0 without one
  // (or when it does not fit).
  uint32_t codeview_size = 0;
};

// The CodeView record's fixed part: "RSDS", a 16-byte GUID, a 4-byte age;
// the PDB name follows, NUL-terminated.
constexpr uint32_t kCodeViewFixedBytes = 24;

// Reads the facts of the PE32+ image mapped at base. False when the headers
// are not those of a PE32+ image; a missing debug record or version resource
// only leaves its facts zero.
// crash path: allocates nothing, takes no lock; every read goes through read.
bool ReadPeImageFacts(uint64_t base, ImageReader read, void* context, uint8_t* codeview, uint32_t codeview_capacity,
                      PeImageFacts* facts);

}  // namespace Vextra
