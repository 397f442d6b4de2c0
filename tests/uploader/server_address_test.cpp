// The server setting read as an address: what is accepted (and the host and
// port it gives), and what is refused.

#include "uploader/server_address.h"

#include <gtest/gtest.h>

namespace {

using Vextra::ParseServerAddress;
using Vextra::ServerAddress;

TEST(ServerAddress, HostsWithOptionalHttpsAndPortAreAccepted) {
  static constexpr struct {
    const char* text;
    const char* host;
    int port;
  } kCases[] = {
      {"crash.example.com", "crash.example.com", 443},
      {"127.4.5.6", "127.4.5.6", 443},
      {"https://crash.example.com", "crash.example.com", 443},
      {"HTTPS://Crash.Example.com", "Crash.Example.com", 443},
      {"https://crash.example.com/", "crash.example.com", 443},
      {"crash.example.com:8443", "crash.example.com", 8443},
      {"https://127.4.5.6:9443", "127.4.5.6", 9443},
      {"https://127.4.5.6:9443/", "127.4.5.6", 9443},
      {"https://h:1", "h", 1},
      {"https://h:65535", "h", 65535},
      {"::1", "::1", 443},
      {"https://[::1]:8443", "::1", 8443},
      {"[fe80::2]", "fe80::2", 443},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    ServerAddress address;
    std::string why = "unchanged";
    ASSERT_TRUE(ParseServerAddress(c.text, &address, &why));
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
    EXPECT_EQ(why, "unchanged");
  }
}

TEST(ServerAddress, OtherSchemesPathsAndBadPortsAreRefusedWithAReason) {
  static constexpr struct {
    const char* text;
    const char* why;
  } kCases[] = {
      {"http://crash.example.com", "only https is spoken"},
      {"ftp://crash.example.com:21", "only https is spoken"},
      {"https://crash.example.com/pb/async", "a path cannot be given"},
      {"crash.example.com/upload", "a path cannot be given"},
      {"https://crash.example.com?x=1", "a path cannot be given"},
      {"https://", "no host name"},
      {"https://:8443", "no host name"},
      {"crash.example.com:", "the port is not a number from 1 to 65535"},
      {"https://crash.example.com:0", "the port is not a number from 1 to 65535"},
      {"https://crash.example.com:65536", "the port is not a number from 1 to 65535"},
      {"https://crash.example.com:443x", "the port is not a number from 1 to 65535"},
      {"https://crash.example.com:-1", "the port is not a number from 1 to 65535"},
      {"https://crash.example.com:000443", "the port is not a number from 1 to 65535"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    ServerAddress address{"kept", 7};
    std::string why;
    EXPECT_FALSE(ParseServerAddress(c.text, &address, &why));
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(address.host, "kept");
    EXPECT_EQ(address.port, 7);
  }
}

}  // namespace
