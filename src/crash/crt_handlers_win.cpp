#include <windows.h>

#include <stdlib.h>

#include "crash/crt_handlers.h"

namespace Vextra {
namespace {

using SetInvalidParameterFn = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
using SetPureCallFn = _purecall_handler(__cdecl*)(_purecall_handler);

// The C runtimes whose reports become crashes: the one this library links
// (whose setters may only be a local emulation), and the shared runtime a host
// built with a current compiler uses, when it is loaded.
struct Runtime {
  SetInvalidParameterFn set_invalid_parameter = nullptr;
  SetPureCallFn set_purecall = nullptr;
  _invalid_parameter_handler saved_invalid_parameter = nullptr;
  _purecall_handler saved_purecall = nullptr;
};

Runtime g_runtimes[2];

void InvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned int line,
                      uintptr_t reserved) {
  HcInvalidParameterHandler(expression, function, file, line, reserved);
}
void PureCall() { HcPureCallHandler(); }

void FindRuntimes() {
  g_runtimes[0].set_invalid_parameter = &_set_invalid_parameter_handler;
  g_runtimes[0].set_purecall = &_set_purecall_handler;
  if (HMODULE shared = GetModuleHandleA("ucrtbase.dll")) {
    g_runtimes[1].set_invalid_parameter = reinterpret_cast<SetInvalidParameterFn>(
        reinterpret_cast<void*>(GetProcAddress(shared, "_set_invalid_parameter_handler")));
    g_runtimes[1].set_purecall =
        reinterpret_cast<SetPureCallFn>(reinterpret_cast<void*>(GetProcAddress(shared, "_set_purecall_handler")));
  }
}

}  // namespace

void ApplyRuntimeHandlers(bool on) {
  if (on) FindRuntimes();
  for (Runtime& runtime : g_runtimes) {
    if (on) {
      // Each setter answers the handler it replaces.
      if (runtime.set_invalid_parameter) runtime.saved_invalid_parameter = runtime.set_invalid_parameter(&InvalidParameter);
      if (runtime.set_purecall) runtime.saved_purecall = runtime.set_purecall(&PureCall);
      continue;
    }
    if (runtime.set_invalid_parameter && runtime.saved_invalid_parameter) {
      runtime.set_invalid_parameter(runtime.saved_invalid_parameter);
    }
    if (runtime.set_purecall && runtime.saved_purecall) runtime.set_purecall(runtime.saved_purecall);
  }
}

}  // namespace Vextra
