#include "sysinfo/wmi_value_win.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "sysinfo/gpu_choice.h"

namespace lumarobase {
namespace {

// A VARIANT as a query property arrives: a number, a text (a null text is a
// null BSTR), a one-element text array, or only a type.
struct VariantCase {
  const char* name;
  VARTYPE vt;
  LONG number;
  const wchar_t* text;
  UINT text_chars;  // 0: up to the terminator
};

class OwnedVariant {
 public:
  explicit OwnedVariant(const VariantCase& c) {
    VariantInit(&value);
    value.vt = c.vt;
    if (c.vt == VT_BSTR) {
      value.bstrVal = c.text == nullptr ? nullptr
                      : c.text_chars > 0 ? SysAllocStringLen(c.text, c.text_chars)
                                         : SysAllocString(c.text);
    } else if (c.vt == (VT_ARRAY | VT_BSTR)) {
      value.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
    } else if (c.vt == VT_I2) {
      value.iVal = static_cast<SHORT>(c.number);
    } else if (c.vt == VT_UI1) {
      value.bVal = static_cast<BYTE>(c.number);
    } else {
      value.lVal = c.number;
    }
  }
  ~OwnedVariant() { VariantClear(&value); }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
  VARIANT value;
};

TEST(WmiValue, NumbersAreReadAsUnsigned32Bits) {
  static const struct {
    VariantCase variant;
    std::optional<uint32_t> number;
  } kCases[] = {
      {{"512 MiB as VT_I4", VT_I4, 536870912, nullptr, 0}, 536870912u},
      // 4 GiB and more arrives cut to 32 bits, above 2 GiB as a negative VT_I4.
      {{"negative VT_I4", VT_I4, static_cast<LONG>(0xFFF00000u), nullptr, 0}, 0xFFF00000u},
      {{"VT_UI4", VT_UI4, static_cast<LONG>(0xFFFFFFFFu), nullptr, 0}, 0xFFFFFFFFu},
      {{"VT_UI1 converted", VT_UI1, 200, nullptr, 0}, 200u},
      {{"numeric text converted", VT_BSTR, 0, L"1048576", 0}, 1048576u},
      {{"text that is no number", VT_BSTR, 0, L"lots", 0}, std::nullopt},
      {{"negative VT_I2 does not fit", VT_I2, -1, nullptr, 0}, std::nullopt},
      {{"VT_EMPTY", VT_EMPTY, 0, nullptr, 0}, std::nullopt},
      {{"VT_NULL", VT_NULL, 0, nullptr, 0}, std::nullopt},
      {{"VT_ERROR", VT_ERROR, 0, nullptr, 0}, std::nullopt},
      {{"VT_UNKNOWN", VT_UNKNOWN, 0, nullptr, 0}, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.variant.name);
    OwnedVariant v(c.variant);
    EXPECT_EQ(WmiNumberValue(v.value), c.number);
  }
}

TEST(WmiValue, AdapterMemoryOfFourGibOrMoreStaysBelow4096Mib) {
  OwnedVariant v({"4 GiB - 1 MiB as VT_I4", VT_I4, static_cast<LONG>(0xFFF00000u), nullptr, 0});
  std::optional<uint32_t> bytes = WmiNumberValue(v.value);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(AdapterRamToMib(*bytes), 4095);
}

TEST(WmiValue, TextsAreReadUpToTheirTerminatorOrConverted) {
  static const struct {
    VariantCase variant;
    std::optional<std::string> text;
  } kCases[] = {
      {{"caption", VT_BSTR, 0, L"NVIDIA GeForce GTX 1060", 0}, std::string("NVIDIA GeForce GTX 1060")},
      {{"empty text", VT_BSTR, 0, L"", 0}, std::string()},
      {{"null BSTR", VT_BSTR, 0, nullptr, 0}, std::string()},
      {{"embedded terminator", VT_BSTR, 0, L"31.0\0junk", 9}, std::string("31.0")},
      {{"number converted", VT_I4, 42, nullptr, 0}, std::string("42")},
      {{"array cannot be text", VT_ARRAY | VT_BSTR, 0, nullptr, 0}, std::nullopt},
      {{"VT_EMPTY", VT_EMPTY, 0, nullptr, 0}, std::nullopt},
      {{"VT_NULL", VT_NULL, 0, nullptr, 0}, std::nullopt},
      {{"VT_ERROR", VT_ERROR, 0, nullptr, 0}, std::nullopt},
      {{"VT_UNKNOWN", VT_UNKNOWN, 0, nullptr, 0}, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.variant.name);
    OwnedVariant v(c.variant);
    EXPECT_EQ(WmiTextValue(v.value), c.text);
  }
}

}  // namespace
}  // namespace lumarobase
