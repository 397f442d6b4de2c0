#include "uploader/server_address.h"

#include <algorithm>
#include <cctype>

namespace Vextra {
namespace {

bool Fail(std::string* why, const char* text) {
  if (why != nullptr) *why = text;
  return false;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool ParseServerAddress(const std::string& text, ServerAddress* address, std::string* why) {
  constexpr char kScheme[] = "https://";
  std::string rest = text;
  const bool has_scheme = StartsWithNoCase(rest, kScheme);
  if (has_scheme) {
    rest.erase(0, sizeof(kScheme) - 1);
  } else if (rest.find("://") != std::string::npos) {
    return Fail(why, "only https is spoken");
  }
  // The root path alone names the same server.
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#") != std::string::npos) return Fail(why, "a path cannot be given");
  if (rest.empty()) return Fail(why, "no host name");

  ServerAddress result;
  const size_t colon = rest.rfind(':');
  const bool ipv6_literal = !has_scheme && std::count(rest.begin(), rest.end(), ':') > 1;
  if (colon == std::string::npos || ipv6_literal || rest.back() == ']') {
    result.host = rest;
  } else {
    const std::string port = rest.substr(colon + 1);
    result.host = rest.substr(0, colon);
    if (result.host.empty()) return Fail(why, "no host name");
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return Fail(why, "the port is not a number from 1 to 65535");
    }
    result.port = std::stoi(port);
    if (result.port < 1 || result.port > 65535) return Fail(why, "the port is not a number from 1 to 65535");
  }
  // A bracketed IPv6 literal is looked up without its brackets.
  if (result.host.size() > 2 && result.host.front() == '[' && result.host.back() == ']') {
    result.host = result.host.substr(1, result.host.size() - 2);
  }
  *address = result;
  return true;
}

}  // namespace Vextra
