#include "crash/caught_integer.h"

extern "C" int MsvcCatchInt(void (*call)());

// The type_info vtable an MSVC-ABI object names in its catch's type
// descriptor. Catches match types by their decorated names, so any address
// serves; the runtime DLL exports its own only as data.
asm(".section .rdata,\"dr\"\n"
    ".globl \"??_7type_info@@6B@\"\n"
    ".p2align 3\n"
    "\"??_7type_info@@6B@\":\n"
    ".quad 0\n"
    ".text\n");

namespace vextra_test {

std::optional<int> CatchThrownInteger(void (*raise)(), std::string* why) {
  const int caught = MsvcCatchInt(raise);
  if (caught == -1) *why = "returned";
  if (caught == -2) *why = "threw something other than an int";
  if (caught < 0) return std::nullopt;
  return caught;
}

}  // namespace vextra_test
