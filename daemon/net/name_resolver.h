#ifndef DAEMON_NET_NAME_RESOLVER_H
#define DAEMON_NET_NAME_RESOLVER_H

#include <netinet/in.h>

#include <string>

struct addrinfo;

// The daemon's address lookups, IPv4 only.

// A host name's first IPv4 address, by the system's re-entrant resolver: the HttpThread (the
// gateway, a tunnel's target) and the configuration download may look names up at once.
// Returns 0; otherwise the resolver's code (HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY, NO_DATA) as
// hstrerror names it, and `*address` is left alone.
int ResolveHost(const std::string& host, struct in_addr* address);
// The same in dotted form; empty when `host` does not resolve.
std::string ResolveHostToText(const std::string& host);

// A TCP socket address of `host` and `port` (getaddrinfo, passive), freed with this object.
// An empty host or port means any address or any port.
class SocketAddressLookup {
 public:
  SocketAddressLookup() = default;
  ~SocketAddressLookup();

  SocketAddressLookup(const SocketAddressLookup&) = delete;
  SocketAddressLookup& operator=(const SocketAddressLookup&) = delete;

  // getaddrinfo's result: 0, or the code gai_strerror names.
  int Resolve(const std::string& host, const std::string& port, bool numeric_host);
  // The first address; valid after Resolve returned 0.
  const struct addrinfo* get() const { return result_; }

 private:
  struct addrinfo* result_ = nullptr;
};

#endif  // DAEMON_NET_NAME_RESOLVER_H
