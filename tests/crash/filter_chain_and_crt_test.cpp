// The host's filter behind the library's: what installation keeps, what a
// host's later SetUnhandledExceptionFilter gets back and leaves as the next
// filter; and the C runtime handlers' user value and thrown integer.

#include <gtest/gtest.h>

#include <cstring>

#include "crash/caught_integer.h"
#include "crash/crash_context.h"
#include "crash/crash_entries.h"
#include "crash/crt_handlers.h"
#include "crash/crash_options.h"
#include "crash/crash_log_match.h"
#include "crash/crash_test_fixture.h"
#include "report/map_recorder.h"

namespace {

using namespace Vextra;
using vextra_test::CrashFixture;

long FilterA(_EXCEPTION_POINTERS*) { return 0; }
long FilterB(_EXCEPTION_POINTERS*) { return 0; }
const TopLevelFilter kOurs = &HcSpyUnhandledExceptionFilter;

class FilterChain : public CrashFixture {};

TEST_F(FilterChain, HostCallsSeeAnOrdinaryReplacementWhileOursStaysOnTop) {
  static constexpr struct {
    const char* what;
    TopLevelFilter before_install;
    TopLevelFilter requested;
    TopLevelFilter returned;
    TopLevelFilter next_after;
  } kCases[] = {
      {"host filter set before, host sets B", &FilterA, &FilterB, &FilterA, &FilterB},
      {"none before, host sets A", nullptr, &FilterA, nullptr, &FilterA},
      {"A before, host clears it", &FilterA, nullptr, &FilterA, nullptr},
      {"A before, host asks for ours", &FilterA, &HcSpyUnhandledExceptionFilter, &FilterA, &FilterA},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    SetUp();
    KeepPreviousFilter(row.before_install);
    EXPECT_EQ(ChainHostFilter(row.requested), row.returned);
    EXPECT_EQ(CHcSpyGlobal::Instance().next_filter.load(), row.next_after);
  }
}

TEST_F(FilterChain, ASecondInstallationKeepsTheHostsFilter) {
  KeepPreviousFilter(&FilterA);
  KeepPreviousFilter(kOurs);  // the filter in force is by then the library's own
  EXPECT_EQ(CHcSpyGlobal::Instance().next_filter.load(), &FilterA);
  EXPECT_EQ(ChainHostFilter(&FilterB), &FilterA);
  EXPECT_EQ(ChainHostFilter(&FilterA), &FilterB) << "the host gets back the filter it set last";
}

std::string UserValues() {
  char buffer[4096] = {};
  MapRecorder::Instance().Dump(buffer, sizeof buffer);
  return buffer;
}

TEST_F(FilterChain, RuntimeHandlersStoreTheExceptionTypeAndThrowOne) {
  static constexpr struct {
    const char* what;
    void (*raise)();
    const char* line;
    const char* value;
  } kCases[] = {
      {"invalid parameter", [] { HcInvalidParameterHandler(nullptr, nullptr, nullptr, 0, 0); },
       "HcInvalidParameterHandler", "Exception Type=invalidParameer\n"},
      {"pure call", [] { HcPureCallHandler(); }, "HcPureCallHandler", "Exception Type=PureCall\n"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    std::string why;
    EXPECT_EQ(vextra_test::CatchThrownInteger(row.raise, &why), 1) << why;
    const std::string values = UserValues();
    EXPECT_EQ(values.find(row.value), 0u) << values;  // the newest pair, replacing the earlier one
    EXPECT_EQ(vextra_test::Occurrences(values, "Exception Type="), 1) << values;
    EXPECT_NE(NewLog().find(row.line), std::string::npos);
  }
  SwitchExtraHandlers(true);
  EXPECT_TRUE(IsExtraHandlerOn());
  SwitchExtraHandlers(false);
  EXPECT_FALSE(IsExtraHandlerOn());
}

}  // namespace
