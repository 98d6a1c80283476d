#include "control/tcp_uid_lookup.h"

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "control/sock_diag_client.h"
#include "core/logging.h"

namespace {

const char kTag[] = "control_message";
const char kKernelFolder[] = "/proc/net";

int HexToDec(const std::string& hex) {
  QV_LOGD(kTag, "HexToDec");
  if (hex.empty())
    return -1;
  char* end = nullptr;
  long value = strtol(hex.c_str(), &end, 16);
  if (*end != '\0' || value < 0 || value > 65535)
    return -1;
  return static_cast<int>(value);
}

// Searches one open table; the UID of the first line whose local port is `port`, or -1.
int SearchTable(std::istream& in, int port) {
  std::string line;
  if (!std::getline(in, line))  // the header line
    return -1;
  while (std::getline(in, line)) {
    // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ..."
    std::istringstream fields(line);
    std::string field[8];
    int got = 0;
    while (got < 8 && fields >> field[got])
      ++got;
    if (got < 8)
      continue;
    size_t colon = field[1].rfind(':');
    if (colon == std::string::npos)
      continue;
    if (HexToDec(field[1].substr(colon + 1)) != port)
      continue;
    // A TIME_WAIT entry belongs to no process any more: the kernel lists it as UID 0.
    if (field[3] == "06")
      continue;
    char* end = nullptr;
    long uid = strtol(field[7].c_str(), &end, 10);
    if (*end != '\0')
      continue;
    return static_cast<int>(uid);
  }
  return -1;
}

}  // namespace

std::string TcpUidLookup::DefaultFolder() {
  const char* env = getenv("HTTP2QUORVIN_PROC_NET");
  return (env != nullptr && *env != '\0') ? env : kKernelFolder;
}

TcpUidLookup::TcpUidLookup() : TcpUidLookup(DefaultFolder()) {}

TcpUidLookup::TcpUidLookup(const std::string& folder)
    : folder_(folder), sock_diag_(folder == kKernelFolder ? new SockDiagClient : nullptr) {}

TcpUidLookup::~TcpUidLookup() {}

int TcpUidLookup::Find(int port) const {
  // The kernel's own tables are asked through sock_diag when it answers: the text tables cost
  // milliseconds to read once thousands of connections linger in TIME_WAIT.
  if (sock_diag_ != nullptr) {
    const int uid = sock_diag_->Uid(port);
    if (uid >= 0)
      return uid;
    if (uid == SockDiagClient::kNotFound) {
      QV_LOGW(kTag, "can not find the uid of package whick local port is %d", port);
      return -1;
    }
  }
  const std::string tcp6_path = folder_ + "/tcp6";
  std::ifstream tcp6(tcp6_path, std::ios::binary);
  std::ifstream tcp(folder_ + "/tcp", std::ios::binary);
  if (!tcp6.is_open() && !tcp.is_open()) {
    QV_LOGW(kTag, "open %s failed. ", tcp6_path.c_str());
    return -1;
  }
  if (tcp6.is_open()) {
    int uid = SearchTable(tcp6, port);
    if (uid != -1)
      return uid;
  }
  if (tcp.is_open()) {
    int uid = SearchTable(tcp, port);
    if (uid != -1)
      return uid;
  }
  QV_LOGW(kTag, "can not find the uid of package whick local port is %d", port);
  return -1;
}

int TcpUidLookup::FindPeer(int connection, int port) const {
  return sock_diag_ != nullptr ? Resolve(sock_diag_->PeerUid(connection), port) : Find(port);
}

int TcpUidLookup::FindPeer(const struct sockaddr* client, const struct sockaddr* local,
                           int port) const {
  return sock_diag_ != nullptr ? Resolve(sock_diag_->PeerUid(client, local), port) : Find(port);
}

int TcpUidLookup::Resolve(int exact_uid, int port) const {
  if (exact_uid >= 0)
    return exact_uid;
  if (exact_uid == SockDiagClient::kNotFound) {
    QV_LOGW(kTag, "can not find the uid of package whick local port is %d", port);
    return -1;
  }
  // The kernel could not be asked: the tables still can.
  return Find(port);
}
