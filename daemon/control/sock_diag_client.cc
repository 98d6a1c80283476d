#include "control/sock_diag_client.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every state a client's own socket can be in while its connection lasts or closes.
const unsigned kClientStates = (1u << 1) | (1u << 2) | (1u << 4) | (1u << 5) | (1u << 8) |
                               (1u << 9) | (1u << 11);  // ESTABLISHED .. CLOSING, no TIME_WAIT

const int kTimeWait = 6;

const int kNotFound = SockDiagClient::kNotFound;
const int kUnavailable = SockDiagClient::kUnavailable;

// Reads the kernel's answer to request `sequence`: the UID of the first socket on `port` (any
// port when 0), kNotFound, or kUnavailable.
int ReadAnswer(int fd, int port, unsigned sequence, bool dump) {
  int uid = kNotFound;
  alignas(nlmsghdr) char buffer[16384];
  for (;;) {
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return kUnavailable;
    size_t left = static_cast<size_t>(got);
    for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != sequence)
        continue;
      if (h->nlmsg_type == NLMSG_DONE)
        return uid;
      if (h->nlmsg_type == NLMSG_ERROR) {
        const nlmsgerr* err = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
        // An exact lookup of a socket that is not there answers ENOENT.
        if (!dump && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && err->error == -ENOENT)
          return kNotFound;
        return kUnavailable;
      }
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
          h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        continue;
      const inet_diag_msg* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      // An exact lookup may find the connection's TIME_WAIT remains, which belong to no one.
      if (!dump && diag->idiag_state == kTimeWait)
        return kNotFound;
      // The kernel filters by port already; checked again in case an older one does not.
      if (uid == kNotFound && (port == 0 || ntohs(diag->id.idiag_sport) == port))
        uid = static_cast<int>(diag->idiag_uid);
      if (!dump)
        return uid;
    }
  }
}

bool Send(int fd, nlmsghdr* header) {
  sockaddr_nl kernel;
  memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, header, header->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                sizeof(kernel)) == static_cast<ssize_t>(header->nlmsg_len);
}

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

void FillRequest(Request* message, int family, unsigned sequence, bool dump) {
  memset(message, 0, sizeof(*message));
  message->header.nlmsg_len = sizeof(*message);
  message->header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message->header.nlmsg_flags = static_cast<__u16>(NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0));
  message->header.nlmsg_seq = sequence;
  message->request.sdiag_family = static_cast<__u8>(family);
  message->request.sdiag_protocol = IPPROTO_TCP;
  message->request.idiag_states = kClientStates;
  message->request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message->request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
}

}  // namespace

SockDiagClient::SockDiagClient() {}

SockDiagClient::~SockDiagClient() {
  Drop();
}

int SockDiagClient::Socket() {
  if (fd_ < 0)
    fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  return fd_;
}

void SockDiagClient::Drop() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

// One dump of `family`; the UID of the first socket on `port`, kNotFound, or kUnavailable.
int SockDiagClient::DumpFamily(int family, int port) {
  const unsigned sequence = ++sequence_;
  Request message;
  FillRequest(&message, family, sequence, true);
  message.request.id.idiag_sport = htons(static_cast<uint16_t>(port));
  if (!Send(fd_, &message.header))
    return kUnavailable;
  return ReadAnswer(fd_, port, sequence, true);
}

// The client's socket is the accepted one mirrored: its local end is our peer.
int SockDiagClient::ExactLookup(int family, const void* client_addr, int client_port,
                                const void* our_addr, int our_port, unsigned addr_size) {
  const unsigned sequence = ++sequence_;
  Request message;
  FillRequest(&message, family, sequence, false);
  message.request.id.idiag_sport = htons(static_cast<uint16_t>(client_port));
  message.request.id.idiag_dport = htons(static_cast<uint16_t>(our_port));
  memcpy(message.request.id.idiag_src, client_addr, addr_size);
  memcpy(message.request.id.idiag_dst, our_addr, addr_size);
  if (!Send(fd_, &message.header))
    return kUnavailable;
  return ReadAnswer(fd_, 0, sequence, false);
}

int SockDiagClient::Uid(int port) {
  if (port <= 0 || port > 65535)
    return kNotFound;
  std::lock_guard<std::mutex> hold(lock_);
  if (Socket() < 0)
    return kUnavailable;
  // A kernel without IPv6 refuses the first dump; the second still answers for IPv4.
  const int v6 = DumpFamily(AF_INET6, port);
  if (v6 >= 0)
    return v6;
  const int v4 = DumpFamily(AF_INET, port);
  if (v4 >= 0)
    return v4;
  if (v6 == kUnavailable && v4 == kUnavailable) {
    Drop();
    return kUnavailable;
  }
  return kNotFound;
}

int SockDiagClient::PeerUid(int connection) {
  sockaddr_storage ours;
  sockaddr_storage peer;
  socklen_t ours_len = sizeof(ours);
  socklen_t peer_len = sizeof(peer);
  if (getsockname(connection, reinterpret_cast<sockaddr*>(&ours), &ours_len) != 0 ||
      getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0)
    return kUnavailable;
  return PeerUid(reinterpret_cast<const sockaddr*>(&peer),
                 reinterpret_cast<const sockaddr*>(&ours));
}

int SockDiagClient::PeerUid(const sockaddr* client, const sockaddr* local) {
  if (client == nullptr || local == nullptr)
    return kUnavailable;
  std::lock_guard<std::mutex> hold(lock_);
  if (Socket() < 0)
    return kUnavailable;
  int uid = kUnavailable;
  if (local->sa_family == AF_INET && client->sa_family == AF_INET) {
    const sockaddr_in* o = reinterpret_cast<const sockaddr_in*>(local);
    const sockaddr_in* p = reinterpret_cast<const sockaddr_in*>(client);
    uid = ExactLookup(AF_INET, &p->sin_addr, ntohs(p->sin_port), &o->sin_addr, ntohs(o->sin_port),
                      sizeof(in_addr));
  } else if (local->sa_family == AF_INET6 && client->sa_family == AF_INET6) {
    const sockaddr_in6* o = reinterpret_cast<const sockaddr_in6*>(local);
    const sockaddr_in6* p = reinterpret_cast<const sockaddr_in6*>(client);
    const int client_port = ntohs(p->sin6_port);
    const int our_port = ntohs(o->sin6_port);
    uid = ExactLookup(AF_INET6, &p->sin6_addr, client_port, &o->sin6_addr, our_port,
                      sizeof(in6_addr));
    // A client on an IPv4 socket reached a dual-stack listener: it is listed as IPv4.
    if (uid == kNotFound && IN6_IS_ADDR_V4MAPPED(&p->sin6_addr) &&
        IN6_IS_ADDR_V4MAPPED(&o->sin6_addr)) {
      uid = ExactLookup(AF_INET, &p->sin6_addr.s6_addr[12], client_port, &o->sin6_addr.s6_addr[12],
                        our_port, sizeof(in_addr));
    }
  } else {
    return kUnavailable;
  }
  if (uid == kUnavailable)
    Drop();
  return uid;
}
