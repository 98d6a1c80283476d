#include "front/own_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

namespace {

bool IsLoopback(const struct in_addr& a) {
  return (ntohl(a.s_addr) >> 24) == 127;
}

// Whether `a` is an address of one of this host's interfaces.
bool IsLocalInterface(const struct in_addr& a) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return false;
  bool found = false;
  for (struct ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
      found = reinterpret_cast<struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == a.s_addr;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

OwnAddress::OwnAddress(int listen_fd) {
  memset(&address_, 0, sizeof(address_));
  if (listen_fd < 0)
    return;
  struct sockaddr_in addr;
  socklen_t len = sizeof(addr);
  if (getsockname(listen_fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET || addr.sin_port == 0)
    return;
  address_ = addr.sin_addr;
  port_ = ntohs(addr.sin_port);
  bound_ = true;
}

bool OwnAddress::Reaches(const struct in_addr& address, int port) const {
  if (!bound_ || port != port_)
    return false;
  // A connection to 0.0.0.0 goes to this host.
  const bool any_target = address.s_addr == htonl(INADDR_ANY);
  if (address_.s_addr == htonl(INADDR_ANY))
    return any_target || IsLoopback(address) || IsLocalInterface(address);
  return address.s_addr == address_.s_addr || (any_target && IsLoopback(address_));
}

bool OwnAddress::IsTarget(const std::string& authority_text, int default_port) const {
  if (!bound_)
    return false;
  std::string authority = authority_text;
  const size_t at = authority.rfind('@');
  if (at != std::string::npos)
    authority.erase(0, at + 1);
  std::string host = authority;
  std::string port_text;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos)
      return false;
    host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':')
      port_text = authority.substr(close + 2);
  } else {
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos) {
      host = authority.substr(0, colon);
      port_text = authority.substr(colon + 1);
    }
  }
  int port = default_port;
  if (!port_text.empty()) {
    char* end = nullptr;
    const long value = strtol(port_text.c_str(), &end, 10);
    if (end == port_text.c_str() || *end != '\0' || value < 0 || value > 65535)
      return false;
    port = static_cast<int>(value);
  }
  if (port != port_)
    return false;
  while (!host.empty() && host.back() == '.')
    host.pop_back();
  struct in_addr address;
  struct in6_addr address6;
  if (strcasecmp(host.c_str(), "localhost") == 0 ||
      (host.size() > 10 && strcasecmp(host.c_str() + host.size() - 10, ".localhost") == 0)) {
    address.s_addr = htonl(INADDR_LOOPBACK);
  } else if (inet_pton(AF_INET6, host.c_str(), &address6) == 1) {
    // Only an IPv4 address written as IPv6 reaches an IPv4 socket.
    if (!IN6_IS_ADDR_V4MAPPED(&address6))
      return false;
    memcpy(&address.s_addr, &address6.s6_addr[12], 4);
  } else if (inet_aton(host.c_str(), &address) == 0) {
    // A name: only a lookup could tell, and the gateway looks it up on its own side.
    return false;
  }
  return Reaches(address, port);
}
