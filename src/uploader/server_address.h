#pragma once
// The collection server setting as the host writes it: a host name, with an
// optional "https://" in front and an optional ":port" after it.

#include <string>

namespace Vextra {

struct ServerAddress {
  std::string host;
  int port = 443;
};

// Reads text as [https://]host[:port][/]. The scheme is matched in any case;
// the port is 1 to 65535 in decimal; a lone "/" after the host is the root and
// is allowed. A bare host name (no scheme, no port) is taken verbatim, as are
// texts holding more than one ":" without a scheme or "/" (an IPv6 literal).
// False for another scheme, a path, a query or fragment, an empty host, or a
// port that is empty, not decimal or out of range; *why then names the fault
// in a few words.
bool ParseServerAddress(const std::string& text, ServerAddress* address, std::string* why = nullptr);

}  // namespace Vextra
