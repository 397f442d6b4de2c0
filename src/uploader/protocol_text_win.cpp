#include <climits>

#include "platform/text_encoding.h"
#include "uploader/protocol_text.h"

namespace Vextra::platform {

// Read in the ANSI code page; a text the conversion cannot take (too long, or
// refused by the code page) keeps its bytes as Latin-1 instead of vanishing.
std::string LegacyTextToUtf8(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return RepairUtf8AsLatin1(text);
  const std::wstring wide = AnsiToWide(text);
  return wide.empty() ? RepairUtf8AsLatin1(text) : WideToUtf8(wide);
}

}  // namespace Vextra::platform
