#pragma once
// The collector's web view: the pages and the JSON API over the database,
// behind an access check, served over plain HTTP on the --web address.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "collector/web/web_access.h"

namespace collector {

struct WebRequest {
  std::string path;
  std::multimap<std::string, std::string> params;   // query parameters, decoded
  std::multimap<std::string, std::string> headers;  // names as received
};

struct WebResponse {
  int status = 200;
  std::string contentType;
  std::string body;
  std::string setCookie;  // a Set-Cookie value, empty for none
};

// Serves one GET request: "/", "/groups/<id>", "/reports/<id>" and
// "/api/groups", "/api/groups/<id>", "/api/reports/<id>". Opens its own
// read-only connection to dbPath; any thread may call it at once.
WebResponse HandleWebRequest(const std::string& dbPath, const std::string& token, const WebRequest& request);

// Serves HandleWebRequest over HTTP on its own threads.
class WebServer {
 public:
  WebServer(std::string dbPath, std::string token);
  ~WebServer();  // stops serving
  // Binds the address; false when it cannot be bound.
  bool Bind(const std::string& address, int port);
  // Starts answering on a thread of its own.
  void Start();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace collector
