#ifndef DAEMON_CONTROL_TCP_UID_LOOKUP_H
#define DAEMON_CONTROL_TCP_UID_LOOKUP_H

#include <sys/socket.h>

#include <memory>
#include <string>

class SockDiagClient;

// Finds the UID owning a local TCP port in the kernel's tables "tcp6" and "tcp" (in that
// order: an IPv4 client on a dual-stack socket is listed in tcp6 as an IPv4-mapped address).
// For the kernel's own tables (/proc/net) it asks the kernel through sock_diag first, which
// costs the same whatever their size, and reads the text tables only when that is refused.
class TcpUidLookup {
 public:
  // The folder holding the tables: $HTTP2QUORVIN_PROC_NET, else /proc/net.
  static std::string DefaultFolder();

  TcpUidLookup();
  explicit TcpUidLookup(const std::string& folder);
  ~TcpUidLookup();

  TcpUidLookup(const TcpUidLookup&) = delete;
  TcpUidLookup& operator=(const TcpUidLookup&) = delete;

  // The UID of the first entry whose local port is `port`, or -1 (with a WARN line). Entries
  // in TIME_WAIT are passed over: they are listed under UID 0 whoever owned them.
  int Find(int port) const;
  // The UID owning the client end of `connection`, an accepted descriptor whose peer's port is
  // `port`: one exact lookup when the kernel's tables are the ones read, else Find.
  int FindPeer(int connection, int port) const;
  // The same for a connection whose two ends are known: `client` the application's, `local`
  // ours (sockaddr_in or sockaddr_in6 each).
  int FindPeer(const struct sockaddr* client, const struct sockaddr* local, int port) const;

  const std::string& folder() const { return folder_; }

 private:
  // The answer of an exact lookup: the UID, none (a WARN), or Find when it could not be asked.
  int Resolve(int exact_uid, int port) const;

  std::string folder_;
  // Asked for the kernel's own tables only; it keeps its netlink socket between lookups.
  const std::unique_ptr<SockDiagClient> sock_diag_;
};

#endif  // DAEMON_CONTROL_TCP_UID_LOOKUP_H
