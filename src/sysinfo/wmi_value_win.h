#pragma once
// How a management-query property value becomes a device fact: which VARIANTs
// count as present and how a text or a 32-bit number is read from them.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <optional>
#include <string>

namespace lumarobase {

// A present value as text in the ANSI code page, up to its first terminator.
// A value of another type is converted to text in place (VariantChangeType),
// or counts as absent when it cannot be.
std::optional<std::string> WmiTextValue(VARIANT& value);

// A present value as an unsigned 32-bit number. WMI hands unsigned 32-bit
// properties over as VT_I4, so 0xFFF00000 arrives as a negative VT_I4 and is
// read back bit for bit; other types are converted in place or count as absent.
std::optional<uint32_t> WmiNumberValue(VARIANT& value);

}  // namespace lumarobase
