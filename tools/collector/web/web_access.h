#pragma once
// Who may reach the web view: the address it binds and the access token
// every page and API call checks.

#include <map>
#include <string>

namespace collector {

// True for 127.0.0.0/8 and ::1.
bool IsLoopbackAddress(const std::string& address);

// Splits "ADDR:PORT" or "[ADDR]:PORT" (a numeric address); false when it is
// neither.
bool ParseWebAddress(const std::string& text, std::string* address, int* port);

// Whether a request may see data. With no token configured every request may;
// otherwise the token must come as "?token=", as the cookie the login sets, or
// as "Authorization: Bearer TOKEN".
enum class WebAccess { kAllowed, kAllowedSetCookie, kDenied };
WebAccess CheckWebAccess(const std::string& expectedToken, const std::multimap<std::string, std::string>& params,
                         const std::multimap<std::string, std::string>& headers);

inline constexpr char kTokenCookie[] = "vextra_web_token";

}  // namespace collector
