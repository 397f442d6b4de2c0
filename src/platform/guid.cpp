#include "platform/guid.h"

#include <cstdio>

namespace Vextra::platform {

void FormatGuidText(const Guid& g, char (&text)[kGuidTextChars]) {
  std::snprintf(text, sizeof text, "%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1],
                g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

std::string FormatGuidText(const Guid& g) {
  char text[kGuidTextChars];
  FormatGuidText(g, text);
  return std::string(text, 32);
}

}  // namespace Vextra::platform
