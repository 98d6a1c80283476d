#include "net/name_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <string>

namespace {

// Through the system's own resolver, as the gateway's name, a tunnel's target and the
// configuration server are looked up.
TEST(NameResolver, FirstIPv4AddressOrTheResolversCode) {
  const struct {
    const char* host;
    const char* want;  // null: does not resolve
  } kCases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"localhost", "127.0.0.1"},
      // The short numeric forms the resolver has always taken.
      {"1.2.3", "1.2.0.3"},
      {"no-such-host.invalid", nullptr},
      // IPv6 only: nothing for an IPv4 socket.
      {"::1", nullptr},
      {"", nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.host);
    struct in_addr address;
    address.s_addr = htonl(0x0a0b0c0d);
    const int code = ResolveHost(c.host, &address);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof(text));
    if (c.want != nullptr) {
      EXPECT_EQ(code, 0);
      EXPECT_STREQ(text, c.want);
      EXPECT_EQ(ResolveHostToText(c.host), c.want);
      continue;
    }
    // A code hstrerror names (the configuration download reports it), the address untouched.
    EXPECT_TRUE(code == HOST_NOT_FOUND || code == TRY_AGAIN || code == NO_RECOVERY ||
                code == NO_DATA)
        << code;
    EXPECT_STREQ(text, "10.11.12.13");
    EXPECT_EQ(ResolveHostToText(c.host), "");
  }
}

}  // namespace
