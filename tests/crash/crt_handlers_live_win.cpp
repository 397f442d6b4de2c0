// The C runtime handlers under Wine, in the shared runtime a host built with a
// current compiler uses: a real invalid parameter and a pure-call report
// become the integer 1, thrown as the compiler runtime throws objects, with
// the user value "Exception Type".

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/teardown.h"
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

// The handlers a host had before the library's; told apart by address.
void HostInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}
void HostPureCall() {}
void LaterHostInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}

using SetInvalidParameterFn = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
using SetPureCallFn = _purecall_handler(__cdecl*)(_purecall_handler);

// One runtime's setters: the one this program links, or the shared one.
struct RuntimeSetters {
  const char* name;
  SetInvalidParameterFn set_invalid_parameter;
  SetPureCallFn set_purecall;
};

RuntimeSetters SharedRuntime() {
  HMODULE shared = LoadLibraryA("ucrtbase.dll");
  return {"shared", reinterpret_cast<SetInvalidParameterFn>(
                        reinterpret_cast<void*>(GetProcAddress(shared, "_set_invalid_parameter_handler"))),
          reinterpret_cast<SetPureCallFn>(reinterpret_cast<void*>(GetProcAddress(shared, "_set_purecall_handler")))};
}

const char* NameOf(_invalid_parameter_handler handler) {
  if (handler == &HostInvalidParameter) return "host";
  if (handler == &LaterHostInvalidParameter) return "later-host";
  return handler == nullptr ? "none" : "other";
}
const char* NameOf(_purecall_handler handler) {
  if (handler == &HostPureCall) return "host";
  return handler == nullptr ? "none" : "other";
}

// In a process of its own (teardown happens once per process): the host's
// handlers in both runtimes, the library's switched on twice (the second time
// saves its own), optionally a handler the host sets afterwards, then the
// teardown; prints which handler each runtime holds.
void SwitchOnThenTearDown(bool host_sets_one_later) {
  const RuntimeSetters runtimes[] = {{"local", &_set_invalid_parameter_handler, &_set_purecall_handler},
                                     SharedRuntime()};
  for (const RuntimeSetters& runtime : runtimes) {
    runtime.set_invalid_parameter(&HostInvalidParameter);
    runtime.set_purecall(&HostPureCall);
  }
  Vextra::SwitchExtraHandlers(true);
  Vextra::SwitchExtraHandlers(true);
  if (host_sets_one_later) runtimes[1].set_invalid_parameter(&LaterHostInvalidParameter);
  Vextra::TermHookContext();
  for (const RuntimeSetters& runtime : runtimes) {
    // A setter answers what it replaces: set once more to read, and put back.
    const _invalid_parameter_handler invalid_parameter = runtime.set_invalid_parameter(nullptr);
    runtime.set_invalid_parameter(invalid_parameter);
    const _purecall_handler purecall = runtime.set_purecall(nullptr);
    runtime.set_purecall(purecall);
    std::fprintf(stderr, "%s: %s %s\n", runtime.name, NameOf(invalid_parameter), NameOf(purecall));
  }
  std::fflush(stderr);
  std::exit(0);
}

TEST(CrtHandlersLive, TeardownGivesEachRuntimeBackTheHandlersItHadBeforeTheLibrarys) {
  static constexpr struct {
    const char* what;
    bool host_sets_one_later;
    const char* expected;
  } kCases[] = {
      {"the library's handlers still in place", false, "local: host host\nshared: host host\n"},
      {"the host set its own after the library's", true, "local: host host\nshared: later-host host\n"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    EXPECT_EXIT(SwitchOnThenTearDown(row.host_sets_one_later), ::testing::ExitedWithCode(0), row.expected);
  }
}

}  // namespace
