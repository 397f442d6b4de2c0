// Which exception codes the start-up guard takes: faults of error severity,
// but not C++ throws nor the status codes COM's remote calls raise and catch
// themselves.

#include <gtest/gtest.h>

#include "app/start_up_guard.h"

namespace {

TEST(StartUpGuard, TakesFaultsOfErrorSeverityButLeavesThrowsAndRemoteCallCodes) {
  static constexpr struct {
    uint32_t code;
    bool taken;
  } kCases[] = {
      {0xC0000005, true},   // access violation
      {0xC00000FD, true},   // stack overflow
      {0xC0000374, true},   // heap corruption
      {0xC000001D, true},   // illegal instruction
      {0xC0010001, true},   // another facility of error severity
      {0xC0040001, true},   // the facility after the remote-call stubs'
      {0xE06D7363, false},  // a C++ throw of the compiler runtime
      {0x20474343, false},  // a C++ throw of the GCC runtime
      {0xC0020017, false},  // remote-call runtime: server unavailable
      {0xC002001C, false},  // remote-call runtime: call failed
      {0xC0030009, false},  // remote-call stubs: null reference pointer
      {0x800706BA, false},  // the server unavailable HRESULT COM raises
      {0x80010108, false},  // COM: object disconnected from its clients
      {0x000006BA, false},  // remote-call error raised as its plain number
      {0x80000003, false},  // breakpoint
      {0x406D1388, false},  // a thread name for a debugger
      {0x40010006, false},  // debug output
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.code);
    EXPECT_EQ(Vextra::IsStartUpFault(row.code), row.taken);
  }
}

}  // namespace
