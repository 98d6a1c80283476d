#include "net/name_resolver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

#include <vector>

namespace {

const size_t kFirstBufferSize = 8192;
const size_t kLargestBufferSize = 1 << 20;

const char* OrNull(const std::string& s) {
  return s.empty() ? nullptr : s.c_str();
}

}  // namespace

int ResolveHost(const std::string& host, struct in_addr* address) {
  struct hostent entry;
  struct hostent* found = nullptr;
  int code = 0;
  std::vector<char> buf(kFirstBufferSize);
  int rc;
  while ((rc = gethostbyname_r(host.c_str(), &entry, buf.data(), buf.size(), &found, &code)) ==
             ERANGE &&
         buf.size() < kLargestBufferSize) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0 || found == nullptr || found->h_addrtype != AF_INET ||
      found->h_length != sizeof(*address) || found->h_addr_list[0] == nullptr)
    return code != 0 ? code : NO_RECOVERY;
  memcpy(address, found->h_addr_list[0], sizeof(*address));
  return 0;
}

std::string ResolveHostToText(const std::string& host) {
  struct in_addr address;
  if (ResolveHost(host, &address) != 0)
    return std::string();
  char text[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &address, text, sizeof(text)) == nullptr)
    return std::string();
  return text;
}

SocketAddressLookup::~SocketAddressLookup() {
  if (result_ != nullptr)
    freeaddrinfo(result_);
}

int SocketAddressLookup::Resolve(const std::string& host, const std::string& port,
                                 bool numeric_host) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_flags = AI_PASSIVE;
  if (numeric_host)
    hints.ai_flags |= AI_NUMERICHOST;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  return getaddrinfo(OrNull(host), OrNull(port), &hints, &result_);
}
