#include <winsock2.h>

#include <atomic>

#include "uploader/http_transport.h"

namespace Vextra {

void StartNetworking() {
  static std::atomic<bool> started{false};
  if (started.load(std::memory_order_acquire)) return;
  WSADATA data;
  // Two threads may both get here; Winsock counts its starts, and one start
  // more than needed costs nothing.
  if (WSAStartup(MAKEWORD(2, 2), &data) == 0) started.store(true, std::memory_order_release);
}

// Windows raises no signal for a write to a closed connection.
void RunWithoutBrokenPipeSignal(const std::function<void()>& body) { body(); }

}  // namespace Vextra
