// Configuration file text: any bytes a file beside the library may hold.
#include "core/common_info.h"
#include "core/config_file.h"
#include "fuzz_target.h"

VEXTRA_FUZZ_TARGET(config_file) {
  Vextra::CommonInfo settings;
  Vextra::ApplyConfigText(std::string(reinterpret_cast<const char*>(data), size), settings);
  // A value is taken from within one line, so it never outgrows the text.
  FUZZ_CHECK(settings.GetAppId().size() <= size);
  FUZZ_CHECK(settings.GetServerUrl().size() <= size);
  FUZZ_CHECK(settings.GetGameName().size() <= size);
  FUZZ_CHECK(settings.GetIgnoredDlls().size() <= static_cast<size_t>(Vextra::kMaxIgnoreDllLines));
  return 0;
}
