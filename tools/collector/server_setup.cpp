#include "collector/server_setup.h"

#include <sys/socket.h>

#include <cstdio>

namespace collector {

void TuneServer(httplib::Server& server, const ServerTuning& tuning) {
  const size_t workers = tuning.workers;
  server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  server.set_keep_alive_max_count(tuning.keepAliveRequests);
  server.set_tcp_nodelay(tuning.tcpNoDelay);
  server.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
}

bool WriteReadyFile(const std::string& path, const std::string& line) {
  std::FILE* ready = std::fopen(path.c_str(), "w");
  if (ready == nullptr) return false;
  std::fprintf(ready, "%s\n", line.c_str());
  return std::fclose(ready) == 0;
}

}  // namespace collector
