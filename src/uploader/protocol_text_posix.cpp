#include "uploader/protocol_text.h"

namespace Vextra::platform {

// Narrow texts are UTF-8 here; stray bytes keep their value as Latin-1.
std::string LegacyTextToUtf8(const std::string& text) { return RepairUtf8AsLatin1(text); }

}  // namespace Vextra::platform
