#pragma once
// Loopback addresses of this test program's own: 127.A.B.host, where A.B is
// drawn once per process, so that two test runs at once (each starting its
// own collectors on port 443 or a fixed test port) never meet on an address.
// A in 2..254 keeps clear of 127.0.x.x and 127.1.x.x, which other programs
// of the machine may use.

#include <chrono>
#include <cstdint>
#include <random>
#include <string>

namespace vextra_test {

inline std::string LoopbackAddress(int host) {
  static const uint32_t base = [] {
    // random_device alone may repeat between processes on some runtimes; the
    // clock and a stack address (randomised per process) tell them apart.
    int local = 0;
    std::random_device device;
    std::seed_seq seed{device(), static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                       static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()),
                       static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&local) >> 4)};
    std::mt19937 mix(seed);
    return static_cast<uint32_t>(std::uniform_int_distribution<uint32_t>(2 * 256, 254 * 256 + 255)(mix));
  }();
  return "127." + std::to_string(base >> 8) + "." + std::to_string(base & 255) + "." + std::to_string(host);
}

}  // namespace vextra_test
