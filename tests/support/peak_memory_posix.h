#pragma once
// How far the resident memory of this process peaks above where it stood,
// while a piece of work runs (Linux: /proc/self/status and clear_refs).

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace vextra_test {

// A "Vm...:" line of /proc/self/status in KiB, -1 when absent.
inline long ProcStatusKib(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
    std::istringstream fields(line.substr(key.size() + 1));
    long kib = -1;
    fields >> kib;
    return kib;
  }
  return -1;
}

// Sets the peak back to the current resident size, runs work and returns by
// how many KiB the peak rose above that.
template <typename Work>
long PeakMemoryGrowthKib(Work&& work) {
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";  // resets the peak resident size
    clear.flush();
    if (!clear) ADD_FAILURE() << "cannot reset the peak resident size";
  }
  const long before = ProcStatusKib("VmHWM");
  EXPECT_GT(before, 0);
  work();
  return ProcStatusKib("VmHWM") - before;
}

}  // namespace vextra_test
