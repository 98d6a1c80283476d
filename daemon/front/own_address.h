#ifndef DAEMON_FRONT_OWN_ADDRESS_H
#define DAEMON_FRONT_OWN_ADDRESS_H

#include <netinet/in.h>

#include <string>

// The proxy's own listening address, and whether a request's target names it: such a request
// would reach the proxy again through the gateway (or the tunnel), over and over.
class OwnAddress {
 public:
  // The address `listen_fd` is bound to; matches nothing when it has none.
  explicit OwnAddress(int listen_fd);

  // `authority` is "host[:port]" (a user part before '@' is skipped, an IPv6 literal is in
  // brackets); `default_port` applies when it names none. A host is a numeric address in any
  // form the resolver takes, or "localhost".
  bool IsTarget(const std::string& authority, int default_port) const;
  // Whether a connection to `address`:`port` reaches the listening socket.
  bool Reaches(const struct in_addr& address, int port) const;

  int port() const { return port_; }

 private:
  bool bound_ = false;
  struct in_addr address_;
  int port_ = 0;
};

#endif  // DAEMON_FRONT_OWN_ADDRESS_H
