#include <stdlib.h>

#include "crash/crt_handlers.h"

namespace Vextra {
namespace {

_invalid_parameter_handler g_saved_invalid_parameter = nullptr;
_purecall_handler g_saved_purecall = nullptr;

void InvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned int line,
                      uintptr_t reserved) {
  HcInvalidParameterHandler(expression, function, file, line, reserved);
}
void PureCall() { HcPureCallHandler(); }

}  // namespace

void ApplyRuntimeHandlers(bool on) {
  if (on) {
    // Each setter answers the handler it replaces (this runtime has no
    // getter for the pure-call handler).
    g_saved_invalid_parameter = _set_invalid_parameter_handler(&InvalidParameter);
    g_saved_purecall = _set_purecall_handler(&PureCall);
    return;
  }
  if (g_saved_invalid_parameter != nullptr) _set_invalid_parameter_handler(g_saved_invalid_parameter);
  if (g_saved_purecall != nullptr) _set_purecall_handler(g_saved_purecall);
}

}  // namespace Vextra
