// Thread names as the platform reports them back: the whole name where the
// platform keeps it, else its first 15 bytes (Linux). On Windows the
// debugger-naming exception is raised too and must come back to the caller.

#include "intake/thread_name.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <thread>

namespace {

TEST(ThreadName, TheCallingThreadCarriesTheNameAfterward) {
  for (const std::string name : {"VX-PreProcessThread", "VX-ProcessThread", "short"}) {
    SCOPED_TRACE(name);
    std::string seen;
    std::thread([&] {
      Vextra::SetThreadName(name.c_str());
      seen = Vextra::CurrentThreadName();
    }).join();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(name.compare(0, seen.size(), seen), 0) << seen;  // a prefix of the name
    EXPECT_GE(seen.size(), std::min<size_t>(name.size(), 15));
  }
  // Another thread's name is untouched.
  EXPECT_NE(Vextra::CurrentThreadName(), "short");
}

}  // namespace
