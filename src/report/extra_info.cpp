#include "report/extra_info.h"

namespace Vextra {

ExtraInfoPairs ParseExtraInfo(std::string_view text) {
  ExtraInfoPairs pairs;
  bool inKey = false;
  bool inValue = false;
  bool escaped = false;
  std::string key;
  std::string value;
  for (const char byte : text) {
    if (inKey || inValue) {
      std::string& current = inKey ? key : value;
      if (escaped) {
        current += byte;
        escaped = false;
      } else if (byte == '\\') {
        escaped = true;
      } else if (byte == '"') {
        inKey = false;
        inValue = false;
      } else {
        current += byte;
      }
      continue;
    }
    if (byte == '"') {
      // After an empty quoted key the next quoted text is read as the key again.
      if (key.empty()) {
        inKey = true;
      } else {
        inValue = true;
      }
    } else if (byte == ',' || byte == '}') {
      pairs[key] = value;
      key.clear();
      value.clear();
    }
  }
  return pairs;
}

}  // namespace Vextra
