#pragma once
// How modules and addresses are written as text, the same for a dump's
// reader and for the files a symbol store keys by the identity a dump names.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vextra::minidump {

// "0x" and the lowest-case hex digits of value, without leading zeros.
std::string HexNumber(uint64_t value);

// Two hex digits per byte, in the order given.
std::string HexBytes(const uint8_t* bytes, size_t size, bool upper);

// A CodeView "RSDS" identity: the GUID with its first three fields read as
// little-endian numbers, then the age, all uppercase hex (the age without
// leading zeros), as symbol stores index PDB files.
std::string PdbDebugId(const uint8_t (&guid)[16], uint32_t age);

// A PE image's code id: TimeDateStamp as 8 uppercase hex digits, then
// SizeOfImage in lowercase hex, the key of an image whose dump entry carries
// no CodeView record.
std::string PeCodeId(uint32_t time_date_stamp, uint32_t size_of_image);

}  // namespace Vextra::minidump
