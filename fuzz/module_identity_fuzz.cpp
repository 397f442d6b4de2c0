// Executables, libraries and debug files handed to `symbols add` (from anyone
// who can upload symbols): their identity is read only inside the file, and
// what comes back is no larger than the file and safe as a folder name.
#include <string>
#include <string_view>

#include "collector/symbols/module_identity.h"
#include "fuzz_target.h"

VEXTRA_FUZZ_TARGET(module_identity) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  collector::ModuleIdentity identity;
  std::string error;
  if (!collector::ParseModuleIdentity(file, &identity, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(identity.format != collector::ModuleFormat::kUnknown);
  FUZZ_CHECK(identity.debug_id.size() <= 2 * size);
  FUZZ_CHECK(identity.debug_id.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos);
  FUZZ_CHECK(identity.pdb_name.size() <= size && identity.debuglink_name.size() <= size);
  FUZZ_CHECK(identity.debuglink_name.find('\0') == std::string::npos);
  return 0;
}
