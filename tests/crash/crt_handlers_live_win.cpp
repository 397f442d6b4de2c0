// The C runtime handlers under Wine, in the shared runtime a host built with a
// current compiler uses: a real invalid parameter and a pure-call report
// become the integer 1, thrown as the compiler runtime throws objects, with
// the user value "Exception Type".

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "crash/caught_integer.h"
#include "crash/crt_handlers.h"
#include "report/map_recorder.h"

namespace {

using ItoaSecureFn = int(__cdecl*)(int, char*, size_t, int);
using PureCallFn = int(__cdecl*)();
ItoaSecureFn g_itoa_s = nullptr;
PureCallFn g_purecall = nullptr;

std::string ExceptionTypeValue() {
  char value[64] = {};
  Vextra::MapRecorder::Instance().Remove("Exception Type", value, sizeof value);
  return value;
}

TEST(CrtHandlersLive, SharedRuntimeReportsBecomeAThrownOneWithTheExceptionType) {
  HMODULE shared = LoadLibraryA("ucrtbase.dll");
  ASSERT_NE(shared, nullptr);
  g_itoa_s = reinterpret_cast<ItoaSecureFn>(reinterpret_cast<void*>(GetProcAddress(shared, "_itoa_s")));
  g_purecall = reinterpret_cast<PureCallFn>(reinterpret_cast<void*>(GetProcAddress(shared, "_purecall")));
  ASSERT_TRUE(g_itoa_s != nullptr && g_purecall != nullptr);
  static constexpr struct {
    const char* what;
    void (*raise)();
    const char* value;
  } kCases[] = {
      {"invalid parameter", [] { g_itoa_s(1, nullptr, 0, 10); }, "invalidParameer"},
      {"pure call", [] { g_purecall(); }, "PureCall"},
  };
  Vextra::SwitchExtraHandlers(true);
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    std::string why;
    EXPECT_EQ(vextra_test::CatchThrownInteger(row.raise, &why), 1) << why;
    EXPECT_EQ(ExceptionTypeValue(), row.value);
  }
  Vextra::SwitchExtraHandlers(false);
}

}  // namespace
