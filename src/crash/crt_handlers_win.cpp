#include <windows.h>

#include <stdint.h>
#include <stdlib.h>

#include "crash/crt_handlers.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

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
  // What the last switch-on replaced (the switch-off puts these back).
  _invalid_parameter_handler saved_invalid_parameter = nullptr;
  _purecall_handler saved_purecall = nullptr;
  // The runtime's own handlers, before the library first installed its own
  // (teardown puts these back).
  bool installed = false;
  _invalid_parameter_handler original_invalid_parameter = nullptr;
  _purecall_handler original_purecall = nullptr;
};

Runtime g_runtimes[2];

void InvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned int line,
                      uintptr_t reserved) {
  HcInvalidParameterHandler(expression, function, file, line, reserved);
}
void PureCall() { HcPureCallHandler(); }

// What the compiler runtime's catch matching reads of a thrown object on
// x86-64: each reference is an offset from the image base passed beside it.
struct TypeDescriptor {
  const void* type_info_vtable;
  void* spare;
  char name[4];  // the decorated type name: ".H" is int
};
struct CatchableType {
  uint32_t properties;  // 1: a simple type, copied bytewise into the catch
  int32_t type;
  int32_t member_displacement;
  int32_t vbtable_displacement;  // -1: no virtual base
  int32_t vbase_displacement;
  int32_t size;
  int32_t copy_function;
};
struct CatchableTypeArray {
  int32_t count;
  int32_t types[1];
};
struct ThrowInfo {
  uint32_t attributes;
  int32_t destructor;
  int32_t forward_compat;
  int32_t catchable_types;
};

constexpr DWORD kCompilerThrowCode = 0xE06D7363;
constexpr ULONG_PTR kThrowMagic = 0x19930520;

int32_t ImageOffset(const void* address) {
  return static_cast<int32_t>(reinterpret_cast<const char*>(address) - reinterpret_cast<const char*>(&__ImageBase));
}

// Filled when the module loads, before any handler can run.
TypeDescriptor g_int_type = {nullptr, nullptr, ".H"};
CatchableType g_int_catchable = {1, ImageOffset(&g_int_type), 0, -1, 0, sizeof(int), 0};
CatchableTypeArray g_int_catchables = {1, {ImageOffset(&g_int_catchable)}};
ThrowInfo g_int_throw = {0, 0, 0, ImageOffset(&g_int_catchables)};

// The type_info vtable of the runtime an MSVC-built host catches with, when it
// is loaded (matching compares the names; the vtable serves whoever reads the
// descriptor as a type_info).
void FindTypeInfoVtable() {
  if (HMODULE runtime = GetModuleHandleA("vcruntime140.dll")) {
    g_int_type.type_info_vtable = reinterpret_cast<const void*>(GetProcAddress(runtime, "??_7type_info@@6B@"));
  }
}

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

// Keeps this module mapped for the life of the process: a runtime may call
// its handlers whenever the host gets a parameter wrong, also after the host
// has unloaded the library as often as it likes.
void PinThisModule() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&InvalidParameter), &self);
}

}  // namespace

void ApplyRuntimeHandlers(bool on) {
  if (on) {
    PinThisModule();
    FindTypeInfoVtable();
    FindRuntimes();
  }
  for (Runtime& runtime : g_runtimes) {
    if (on) {
      // Each setter answers the handler it replaces.
      if (runtime.set_invalid_parameter) runtime.saved_invalid_parameter = runtime.set_invalid_parameter(&InvalidParameter);
      if (runtime.set_purecall) runtime.saved_purecall = runtime.set_purecall(&PureCall);
      if (!runtime.installed && (runtime.set_invalid_parameter || runtime.set_purecall)) {
        runtime.installed = true;
        runtime.original_invalid_parameter = runtime.saved_invalid_parameter;
        runtime.original_purecall = runtime.saved_purecall;
      }
      continue;
    }
    if (runtime.set_invalid_parameter && runtime.saved_invalid_parameter) {
      runtime.set_invalid_parameter(runtime.saved_invalid_parameter);
    }
    if (runtime.set_purecall && runtime.saved_purecall) runtime.set_purecall(runtime.saved_purecall);
  }
}

void RestoreRuntimeHandlers() {
  for (Runtime& runtime : g_runtimes) {
    if (!runtime.installed) continue;
    // A handler the host set after ours stays; only ours is replaced.
    if (runtime.set_invalid_parameter) {
      const _invalid_parameter_handler current = runtime.set_invalid_parameter(runtime.original_invalid_parameter);
      if (current != &InvalidParameter) runtime.set_invalid_parameter(current);
    }
    if (runtime.set_purecall) {
      const _purecall_handler current = runtime.set_purecall(runtime.original_purecall);
      if (current != &PureCall) runtime.set_purecall(current);
    }
  }
}

void ThrowIntegerOne() {
  // Lives in this frame, as a thrown object does, until a catch has copied it.
  int thrown = 1;
  const ULONG_PTR arguments[4] = {kThrowMagic, reinterpret_cast<ULONG_PTR>(&thrown),
                                  reinterpret_cast<ULONG_PTR>(&g_int_throw), reinterpret_cast<ULONG_PTR>(&__ImageBase)};
  RaiseException(kCompilerThrowCode, EXCEPTION_NONCONTINUABLE, 4, arguments);
  // A non-continuable exception never comes back here.
  TerminateProcess(GetCurrentProcess(), kCompilerThrowCode);
  __builtin_unreachable();
}

}  // namespace Vextra
