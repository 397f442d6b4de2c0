#pragma once
// Rules for the raw values the system's queries answer with, before they are
// stored: which values count as present and which texts fit their buffer.

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumarobase {

// A query property counts as present unless its VARIANT type is VT_EMPTY,
// VT_NULL, VT_ERROR or VT_UNKNOWN (0, 1, 10, 13).
bool IsPresentVariantType(uint16_t variant_type);

// Copies text with its terminator into out when it is shorter than capacity
// and returns true; otherwise out keeps its earlier content.
bool CopyIfShorter(const std::string& text, char* out, size_t capacity);

}  // namespace lumarobase
