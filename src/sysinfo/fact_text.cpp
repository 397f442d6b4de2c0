#include "sysinfo/fact_text.h"

#include <cstring>

namespace lumarobase {

bool IsPresentVariantType(uint16_t variant_type) {
  constexpr uint16_t kEmpty = 0, kNull = 1, kError = 10, kUnknown = 13;
  return variant_type != kEmpty && variant_type != kNull && variant_type != kError &&
         variant_type != kUnknown;
}

bool CopyIfShorter(const std::string& text, char* out, size_t capacity) {
  if (out == nullptr || text.size() >= capacity) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace lumarobase
