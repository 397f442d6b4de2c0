#include "collector/web/web_server.h"

#include <sys/socket.h>

#include <cstdlib>
#include <atomic>
#include <chrono>

#include "collector/storage/database.h"
#include "collector/web/web_access.h"
#include "collector/web/web_pages.h"
#include "collector/web/web_queries.h"
#include "httplib.h"

namespace collector {

namespace {

int64_t IdAfter(const std::string& path, const std::string& prefix) {
  if (path.compare(0, prefix.size(), prefix) != 0) return -1;
  const std::string digits = path.substr(prefix.size());
  if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::strtoll(digits.c_str(), nullptr, 10);
}

WebResponse Html(int status, std::string body) {
  return {status, "text/html; charset=utf-8", std::move(body), ""};
}

WebResponse JsonAnswer(int status, const Json& value) {
  return {status, "application/json; charset=utf-8", value.Serialise(), ""};
}

WebResponse NotFound(bool api, const std::string& what) {
  if (api) {
    Json error = Json::Object();
    error.Set("error", what + " not found");
    return JsonAnswer(404, error);
  }
  return Html(404, RenderMessagePage("Not found", what + " not found"));
}

}  // namespace

WebResponse HandleWebRequest(const std::string& dbPath, const std::string& token, const WebRequest& request) {
  const bool api = request.path.compare(0, 5, "/api/") == 0;
  const WebAccess access = CheckWebAccess(token, request.params, request.headers);
  if (access == WebAccess::kDenied) {
    if (api) {
      Json error = Json::Object();
      error.Set("error", "a valid access token is needed");
      return JsonAnswer(401, error);
    }
    return Html(401, RenderMessagePage("Access token needed",
                                       "Open this page with ?token=TOKEN (the token given to the collector's --web-token)."));
  }
  WebResponse response;
  try {
    Database db(dbPath, true);
    const WebFilters filters = FiltersFromParams(request.params);
    int64_t id = -1;
    if (request.path == "/" || request.path == "/api/groups") {
      const Json data = QueryGroups(db, filters);
      response = api ? JsonAnswer(200, data) : Html(200, RenderGroupsPage(data));
    } else if ((id = IdAfter(request.path, api ? "/api/groups/" : "/groups/")) >= 0) {
      const Json data = QueryGroup(db, id, filters);
      if (data.IsNull()) return NotFound(api, "group " + std::to_string(id));
      response = api ? JsonAnswer(200, data) : Html(200, RenderGroupPage(data));
    } else if ((id = IdAfter(request.path, api ? "/api/reports/" : "/reports/")) >= 0) {
      const Json data = QueryReport(db, id);
      if (data.IsNull()) return NotFound(api, "report " + std::to_string(id));
      response = api ? JsonAnswer(200, data) : Html(200, RenderReportPage(data));
    } else {
      return NotFound(api, "page " + request.path);
    }
  } catch (const std::exception& error) {
    if (api) {
      Json json = Json::Object();
      json.Set("error", error.what());
      return JsonAnswer(500, json);
    }
    return Html(500, RenderMessagePage("Error", error.what()));
  }
  if (access == WebAccess::kAllowedSetCookie) {
    response.setCookie = std::string(kTokenCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
  }
  return response;
}

struct WebServer::Impl {
  std::string dbPath;
  std::string token;
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> done{false};
};

WebServer::WebServer(std::string dbPath, std::string token) : impl_(std::make_unique<Impl>()) {
  impl_->dbPath = std::move(dbPath);
  impl_->token = std::move(token);
  impl_->server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    WebRequest request;
    request.path = req.path;
    for (const auto& param : req.params) request.params.emplace(param.first, param.second);
    for (const auto& header : req.headers) request.headers.emplace(header.first, header.second);
    const WebResponse response = HandleWebRequest(impl_->dbPath, impl_->token, request);
    res.status = response.status;
    if (!response.setCookie.empty()) res.set_header("Set-Cookie", response.setCookie);
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(response.body, response.contentType.c_str());
  });
  impl_->server.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Bind(const std::string& address, int port) { return impl_->server.bind_to_port(address.c_str(), port); }

void WebServer::Start() {
  impl_->thread = std::thread([this] {
    impl_->server.listen_after_bind();
    impl_->done = true;
  });
}

void WebServer::Stop() {
  if (!impl_->thread.joinable()) return;
  // stop() only acts on a running server: wait until the accept loop runs or ended.
  while (!impl_->done && !impl_->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  impl_->server.stop();
  impl_->thread.join();
}

}  // namespace collector
