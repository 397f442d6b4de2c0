#include "crash/caught_integer.h"

namespace vextra_test {

std::optional<int> CatchThrownInteger(void (*raise)(), std::string* why) {
  try {
    raise();
  } catch (int value) {
    return value;
  } catch (...) {
    *why = "threw something other than an int";
    return std::nullopt;
  }
  *why = "returned";
  return std::nullopt;
}

}  // namespace vextra_test
