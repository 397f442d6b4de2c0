#include <windows.h>

#include <climits>

#include "platform/text_encoding.h"
#include "uploader/protocol_text.h"

namespace Vextra::platform {

std::string LegacyTextToUtf8(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return RepairUtf8AsLatin1(text);
  const int length = static_cast<int>(text.size());
  const int wide_length = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (wide_length <= 0) return RepairUtf8AsLatin1(text);
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), wide_length);
  return WideToUtf8(wide);
}

}  // namespace Vextra::platform
