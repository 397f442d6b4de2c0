#pragma once
// The MAC address text every request carries: six bytes as two lower-case
// hexadecimal digits each, joined by hyphens ("00-1a-2b-3c-4d-5e").

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumarobase {

constexpr size_t kMacBytes = 6;

// Formats the first six bytes of `bytes` into out, at most capacity - 1
// characters and always terminated; nothing is written when capacity is 0.
void FormatMacAddress(const uint8_t* bytes, char* out, size_t capacity);
std::string FormatMacAddress(const uint8_t* bytes);

// Reads the colon-separated form the kernel shows ("de:33:86:ab:c0:d0").
// False unless the text is exactly six hex pairs; `bytes` may then hold part
// of an address.
bool ParseColonMac(const std::string& text, uint8_t (&bytes)[kMacBytes]);

}  // namespace lumarobase
