#include "app/start_up_guard.h"

namespace Vextra {
namespace {

constexpr uint32_t kErrorSeverity = 0xC0000000;
constexpr uint32_t kMsvcThrowCode = 0xE06D7363;
constexpr uint32_t kRpcRuntimeFacility = 2;
constexpr uint32_t kRpcStubsFacility = 3;

}  // namespace

bool IsStartUpFault(uint32_t code) {
  if ((code & kErrorSeverity) != kErrorSeverity || code == kMsvcThrowCode) return false;
  const uint32_t facility = (code >> 16) & 0x0FFF;
  return facility != kRpcRuntimeFacility && facility != kRpcStubsFacility;
}

}  // namespace Vextra
