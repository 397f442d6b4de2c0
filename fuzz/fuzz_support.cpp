// The libFuzzer side of fuzz_target.h: a failed check prints and aborts, so
// the fuzzer stops and keeps the input that broke it.
#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"

namespace vextra_fuzz {

bool Register(const char*, Entry) { return true; }

void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", condition, file, line);
  std::abort();
}

}  // namespace vextra_fuzz
