#include "collector/web/web_access.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace collector {

bool IsLoopbackAddress(const std::string& address) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, address.c_str(), bytes) == 1) return bytes[0] == 127;
  if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(bytes, kLoopback, 16) == 0;
  }
  return false;
}

bool ParseWebAddress(const std::string& text, std::string* address, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  }
  unsigned char bytes[16];
  const bool v6 = inet_pton(AF_INET6, host.c_str(), bytes) == 1;
  if (!v6 && inet_pton(AF_INET, host.c_str(), bytes) != 1) return false;
  if (v6 && text.front() != '[') return false;  // "::1:8080" is ambiguous
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const long value = std::strtol(digits.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return false;
  *address = host;
  *port = static_cast<int>(value);
  return true;
}

namespace {

// Compares without an early exit, so the answer time tells nothing of how
// much of a guess was right.
bool SameToken(const std::string& expected, const std::string& given) {
  unsigned char difference = expected.size() == given.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
  }
  return difference == 0;
}

std::string HeaderValue(const std::multimap<std::string, std::string>& headers, const char* name) {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name) == 0) return header.second;
  }
  return "";
}

std::string CookieValue(const std::string& cookies, const std::string& name) {
  size_t start = 0;
  while (start < cookies.size()) {
    size_t end = cookies.find(';', start);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(start, end - start);
    const size_t first = pair.find_first_not_of(' ');
    if (first != std::string::npos) pair = pair.substr(first);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    start = end + 1;
  }
  return "";
}

}  // namespace

WebAccess CheckWebAccess(const std::string& expectedToken, const std::multimap<std::string, std::string>& params,
                         const std::multimap<std::string, std::string>& headers) {
  if (expectedToken.empty()) return WebAccess::kAllowed;
  const auto query = params.find("token");
  if (query != params.end() && SameToken(expectedToken, query->second)) return WebAccess::kAllowedSetCookie;
  const std::string authorization = HeaderValue(headers, "Authorization");
  if (authorization.compare(0, 7, "Bearer ") == 0 && SameToken(expectedToken, authorization.substr(7))) {
    return WebAccess::kAllowed;
  }
  const std::string cookies = HeaderValue(headers, "Cookie");
  if (!cookies.empty() && SameToken(expectedToken, CookieValue(cookies, kTokenCookie))) return WebAccess::kAllowed;
  return WebAccess::kDenied;
}

}  // namespace collector
