// The guard every export runs its body through, and the reading of a host's
// one-byte bool.

#include "api/export_guard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace Vextra {
namespace {

// A body that throws must not end the host: the export gives its failure
// result and the process carries on (a guard without its catch would end it
// here through std::terminate).
TEST(ExportGuardTest, ThrowingBodyGivesTheFailureResultAndTheHostCarriesOn) {
  static const struct {
    const char* name;
    void (*raise)();
  } kThrows[] = {
      {"standard exception", [] { throw std::runtime_error("body failed"); }},
      {"allocation failure", [] { throw std::bad_alloc(); }},
      {"not an exception class", [] { throw 42; }},
  };
  for (const auto& t : kThrows) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(Guarded(-1, [&]() -> int {
                t.raise();
                return 0;
              }),
              -1);
    EXPECT_FALSE(Guarded(false, [&] {
      t.raise();
      return true;
    }));
    bool reached_end = false;
    Guarded([&] {
      t.raise();
      reached_end = true;
    });
    EXPECT_FALSE(reached_end);
  }
}

TEST(ExportGuardTest, BodyThatReturnsGivesItsOwnResult) {
  EXPECT_EQ(Guarded(-1, [] { return 7; }), 7);
  EXPECT_EQ(Guarded(std::string("failed"), [] { return std::string("ok"); }), "ok");
  int calls = 0;
  Guarded([&] { ++calls; });
  EXPECT_EQ(calls, 1);
}

// A bool whose storage holds the given byte, as a host in another language
// passes it.
bool HostBoolOfByte(unsigned char byte) {
  bool value;
  std::memcpy(&value, &byte, 1);
  return HostBool(value);
}

TEST(HostBoolTest, ZeroIsFalseAndEveryOtherByteTrue) {
  static const struct {
    unsigned char byte;
    bool expected;
  } kCases[] = {{0x00, false}, {0x01, true}, {0x02, true}, {0x7F, true}, {0x80, true}, {0xFE, true}, {0xFF, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    EXPECT_EQ(HostBoolOfByte(c.byte), c.expected);
  }
}

}  // namespace
}  // namespace Vextra
