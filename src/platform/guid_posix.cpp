#include "platform/guid.h"

#include <sys/random.h>

#include <cstring>
#include <random>

namespace Vextra::platform {

Guid NewGuid() {
  uint8_t bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (auto& b : bytes) b = static_cast<uint8_t>(device());
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  Guid g;
  g.data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
  g.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(g.data4, bytes + 8, 8);
  return g;
}

}  // namespace Vextra::platform
