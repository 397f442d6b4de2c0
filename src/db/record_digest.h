#pragma once
// The MD5 column of a report's record.

#include <cstddef>
#include <string>

namespace Vextra {

// Bytes of a data file that its digest covers: the first 5 MiB.
constexpr size_t kRecordDigestBytes = 5242880;

// MD5 of at most the first 5 MiB of the file at path, as 32 lower-case
// hexadecimal digits; 32 "A" characters when the file cannot be opened or read.
// Reads the file in pieces; may run on a crashing thread.
std::string CrashRecordDigest(const std::wstring& path);

}  // namespace Vextra
