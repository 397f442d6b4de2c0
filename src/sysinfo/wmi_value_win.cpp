#include "sysinfo/wmi_value_win.h"

#include "platform/text_encoding.h"
#include "sysinfo/fact_text.h"

namespace lumarobase {

std::optional<std::string> WmiTextValue(VARIANT& value) {
  if (!IsPresentVariantType(value.vt)) return std::nullopt;
  if (value.vt != VT_BSTR && FAILED(VariantChangeType(&value, &value, 0, VT_BSTR))) return std::nullopt;
  if (value.bstrVal == nullptr) return std::string();
  // The text ends at its terminator, as the conversion of a C string does.
  return Vextra::platform::WideToAnsi(std::wstring(value.bstrVal));
}

std::optional<uint32_t> WmiNumberValue(VARIANT& value) {
  if (!IsPresentVariantType(value.vt)) return std::nullopt;
  switch (value.vt) {
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      return static_cast<uint32_t>(value.ulVal);
    default:
      if (FAILED(VariantChangeType(&value, &value, 0, VT_UI4))) return std::nullopt;
      return static_cast<uint32_t>(value.ulVal);
  }
}

}  // namespace lumarobase
