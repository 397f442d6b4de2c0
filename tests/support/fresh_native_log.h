#pragma once
// A fixture whose tests each start with no native log ring, default settings
// and debug mode off, and leave the process that way.

#include <gtest/gtest.h>

#include "core/common_info.h"
#include "core/process_flags.h"
#include "log/native_log_ring.h"

namespace vextra_test {

class FreshNativeLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Vextra::testing_hooks::ResetNativeLogForTesting();
    Vextra::CommonInfo::Instance().ResetForTesting();
    Vextra::SetDebugMode(false);
  }
  void TearDown() override {
    Vextra::testing_hooks::ResetNativeLogForTesting();
    Vextra::CommonInfo::Instance().ResetForTesting();
  }
};

}  // namespace vextra_test
