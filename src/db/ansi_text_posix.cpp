#include "db/ansi_text.h"

#include "platform/text_encoding.h"

namespace Vextra {

std::wstring AnsiToWide(const std::string& text) {
  return platform::NarrowToWide(text.c_str(), text.size());
}

}  // namespace Vextra
