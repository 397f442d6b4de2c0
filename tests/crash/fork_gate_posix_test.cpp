// The wait a fork makes for the library's open TLS sections, on a fake clock.

#include <gtest/gtest.h>

#include <memory>

#include "crash/fork_gate.h"

namespace {

uint64_t g_clock_ms = 0;
int g_sleeps = 0;
int g_close_after_sleeps = -1;  // the open section closes after this many sleeps; -1 never
std::unique_ptr<Vextra::ForkSensitiveSection> g_section;

uint64_t FakeClock() { return g_clock_ms; }
void FakeSleep(uint32_t ms) {
  g_clock_ms += ms;
  if (++g_sleeps == g_close_after_sleeps) g_section.reset();
}

TEST(ForkGateTest, WaitsBoundedlyForOpenSections) {
  static constexpr struct {
    const char* name;
    bool open;
    int close_after_sleeps;
    bool quiet;
    int sleeps;
  } kCases[] = {
      {"nothing open", false, -1, true, 0},
      {"closes after three sleeps", true, 3, true, 3},
      {"never closes: gives up at the bound", true, -1, false, 2000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Vextra::ForgetForkSensitiveSections();
    g_clock_ms = 1000;
    g_sleeps = 0;
    g_close_after_sleeps = c.close_after_sleeps;
    if (c.open) g_section = std::make_unique<Vextra::ForkSensitiveSection>();
    EXPECT_EQ(Vextra::OpenForkSensitiveSections(), c.open ? 1 : 0);
    EXPECT_EQ(Vextra::WaitForForkQuiet(Vextra::kForkQuietWaitMs, &FakeClock, &FakeSleep), c.quiet);
    EXPECT_EQ(g_sleeps, c.sleeps);
    g_section.reset();
    EXPECT_EQ(Vextra::OpenForkSensitiveSections(), 0);
  }
}

TEST(ForkGateTest, TheChildForgetsTheParentsSections) {
  Vextra::ForgetForkSensitiveSections();
  auto left_open = std::make_unique<Vextra::ForkSensitiveSection>();
  Vextra::ForgetForkSensitiveSections();
  g_clock_ms = 0;
  g_sleeps = 0;
  EXPECT_TRUE(Vextra::WaitForForkQuiet(100, &FakeClock, &FakeSleep));
  // Its own section closing later leaves the count below zero: still quiet.
  left_open.reset();
  EXPECT_TRUE(Vextra::WaitForForkQuiet(100, &FakeClock, &FakeSleep));
  EXPECT_EQ(g_sleeps, 0);
  Vextra::ForgetForkSensitiveSections();
}

}  // namespace
