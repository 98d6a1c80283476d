#ifndef DAEMON_CONTROL_TCP_UID_LOOKUP_H
#define DAEMON_CONTROL_TCP_UID_LOOKUP_H

#include <string>

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

  // The UID of the first entry whose local port is `port`, or -1 (with a WARN line). Entries
  // in TIME_WAIT are passed over: they are listed under UID 0 whoever owned them.
  int Find(int port) const;
  // The UID owning the client end of `connection`, an accepted descriptor whose peer's port is
  // `port`: one exact lookup when the kernel's tables are the ones read, else Find.
  int FindPeer(int connection, int port) const;

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

#endif  // DAEMON_CONTROL_TCP_UID_LOOKUP_H
