#include "load/request_plan.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

namespace {

uint64_t SplitMix(uint64_t* state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

uint64_t Below(uint64_t* state, uint64_t n) {
  return n == 0 ? 0 : SplitMix(state) % n;
}

// The origin's bytes: xorshift32 from its fixed seed, the low byte of each step.
std::vector<unsigned char> OriginStream(size_t n) {
  std::vector<unsigned char> out(n);
  uint32_t x = 0x9e3779b9u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<unsigned char>(x & 0xff);
  }
  return out;
}

bool SplitHostPort(const std::string& hp, sockaddr_in* addr) {
  const size_t colon = hp.rfind(':');
  if (colon == std::string::npos)
    return false;
  memset(addr, 0, sizeof(*addr));
  addr->sin_family = AF_INET;
  addr->sin_port = htons(static_cast<uint16_t>(atoi(hp.c_str() + colon + 1)));
  return inet_pton(AF_INET, hp.substr(0, colon).c_str(), &addr->sin_addr) == 1;
}

// A blocking GET with Connection: close; the body after the head, read to the end.
bool FetchBody(const std::string& origin, const std::string& path, std::string* body,
               std::string* error) {
  sockaddr_in addr;
  if (!SplitHostPort(origin, &addr)) {
    *error = "bad origin " + origin;
    return false;
  }
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "can't connect to " + origin + ": " + strerror(errno);
    close(fd);
    return false;
  }
  const std::string req =
      "GET " + path + " HTTP/1.1\r\nHost: " + origin + "\r\nConnection: close\r\n\r\n";
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
    *error = "can't send to " + origin;
    close(fd);
    return false;
  }
  std::string all;
  char buf[16384];
  for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;)
    all.append(buf, static_cast<size_t>(n));
  close(fd);
  const size_t end = all.find("\r\n\r\n");
  if (all.compare(0, 12, "HTTP/1.1 200") != 0 || end == std::string::npos) {
    *error = "no 200 reply for " + path + " from " + origin;
    return false;
  }
  *body = all.substr(end + 4);
  return true;
}

}  // namespace

const char* KindName(LoadRequest::Kind kind) {
  switch (kind) {
    case LoadRequest::kSmall:
      return "small";
    case LoadRequest::kBig:
      return "big";
    case LoadRequest::kUpload:
      return "upload";
    case LoadRequest::kKeepAlive:
      return "keepalive";
    case LoadRequest::kTunnel:
      return "tunnel";
    case LoadRequest::kUnframed:
      return "unframed";
    default:
      return "?";
  }
}

RequestPlan::RequestPlan(uint64_t seed, const Mix& mix, const std::vector<std::string>& origins,
                         const std::vector<std::string>& https_origins, size_t big_size,
                         bool direct)
    : seed_(seed),
      mix_(mix),
      origins_(origins),
      https_origins_(https_origins),
      big_size_(big_size),
      direct_(direct),
      stream_(OriginStream(std::max<size_t>(big_size, 2u << 20))) {
  if (https_origins_.empty())
    mix_.tunnel = 0;
}

std::string RequestPlan::Sha256Hex(const void* data, size_t len) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  EVP_Digest(data, len, md, &md_len, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < md_len; ++i) {
    hex += kHex[md[i] >> 4];
    hex += kHex[md[i] & 15];
  }
  return hex;
}

std::string RequestPlan::StreamDigest(size_t n,
                                      std::unordered_map<size_t, std::string>* cache) const {
  auto it = cache->find(n);
  if (it != cache->end())
    return it->second;
  std::string digest = Sha256Hex(stream_.data(), std::min(n, stream_.size()));
  (*cache)[n] = digest;
  return digest;
}

bool RequestPlan::ParseMix(const std::string& text, Mix* mix) {
  // small=55,big=5,upload=15,keepalive=15,tunnel=10 (any subset; the rest keep their value)
  size_t at = 0;
  while (at < text.size()) {
    size_t comma = text.find(',', at);
    if (comma == std::string::npos)
      comma = text.size();
    const std::string item = text.substr(at, comma - at);
    const size_t eq = item.find('=');
    if (eq == std::string::npos)
      return false;
    const std::string name = item.substr(0, eq);
    const int value = atoi(item.c_str() + eq + 1);
    if (value < 0)
      return false;
    if (name == "small")
      mix->small = value;
    else if (name == "big")
      mix->big = value;
    else if (name == "upload")
      mix->upload = value;
    else if (name == "keepalive")
      mix->keepalive = value;
    else if (name == "tunnel")
      mix->tunnel = value;
    else if (name == "unframed")
      mix->unframed = value;
    else
      return false;
    at = comma + 1;
  }
  return mix->small + mix->big + mix->upload + mix->keepalive + mix->tunnel + mix->unframed > 0;
}

bool RequestPlan::LearnFixedPages(std::string* error) {
  for (const char* path : {"/text", "/image.png", "/cookies"}) {
    std::string body;
    if (!FetchBody(origins_[0], path, &body, error))
      return false;
    fixed_[path] = {Sha256Hex(body.data(), body.size()), static_cast<long long>(body.size())};
  }
  fixed_["/chunked"] = fixed_["/text"];
  return true;
}

LoadRequest RequestPlan::Make(uint64_t id) const {
  uint64_t rng = seed_ * 0x100000001b3ULL ^ id;
  SplitMix(&rng);
  LoadRequest r;
  r.id = id;
  const int total =
      mix_.small + mix_.big + mix_.upload + mix_.keepalive + mix_.tunnel + mix_.unframed;
  int pick = static_cast<int>(Below(&rng, static_cast<uint64_t>(total)));
  const int weights[] = {mix_.small,     mix_.big,    mix_.upload,
                         mix_.keepalive, mix_.tunnel, mix_.unframed};
  int kind = 0;
  while (kind < LoadRequest::kKindCount - 1 && pick >= weights[kind]) {
    pick -= weights[kind];
    ++kind;
  }
  r.kind = static_cast<LoadRequest::Kind>(kind);
  const std::string query = "?id=" + std::to_string(id);
  r.origin = r.kind == LoadRequest::kTunnel ? https_origins_[id % https_origins_.size()]
                                            : origins_[id % origins_.size()];
  auto sized = [&](size_t n) {
    r.path = "/size/" + std::to_string(n) + query;
    r.expect_len = static_cast<long long>(n);
  };
  auto upload = [&](size_t max_len) {
    r.method = "POST";
    r.path = "/echo" + query;
    r.body_len = 1 + static_cast<size_t>(Below(&rng, max_len));
    const size_t off = static_cast<size_t>(Below(&rng, stream_.size() - r.body_len));
    r.body = stream_.data() + off;
    r.chunked_upload = Below(&rng, 4) == 0;
    r.expect_len = static_cast<long long>(r.body_len);
    r.expect_sha256 = Sha256Hex(r.body, r.body_len);
  };
  switch (r.kind) {
    case LoadRequest::kSmall: {
      const uint64_t page = Below(&rng, 20);
      const char* fixed = page == 0               ? "/image.png"
                          : page == 1             ? "/text"
                          : page == 2             ? "/cookies"
                          : page == 3 && !direct_ ? "/chunked"
                                                  : nullptr;
      if (fixed != nullptr) {
        r.path = std::string(fixed) + query;
        auto it = fixed_.find(fixed);
        if (it != fixed_.end()) {
          r.expect_sha256 = it->second.first;
          r.expect_len = it->second.second;
        }
      } else {
        sized(static_cast<size_t>(Below(&rng, 32769)));
      }
      break;
    }
    case LoadRequest::kBig:
      sized(big_size_);
      break;
    case LoadRequest::kUpload:
      upload(128 * 1024);
      break;
    case LoadRequest::kKeepAlive:
      sized(static_cast<size_t>(Below(&rng, 16385)));
      break;
    case LoadRequest::kTunnel: {
      const uint64_t what = Below(&rng, 8);
      if (what < 2)
        upload(128 * 1024);
      else
        sized(what == 2 ? big_size_ : static_cast<size_t>(Below(&rng, 65537)));
      break;
    }
    case LoadRequest::kUnframed: {
      const char* page = direct_ ? "/text" : "/chunked";
      r.path = std::string(page) + query;
      auto it = fixed_.find(page);
      if (it != fixed_.end()) {
        r.expect_sha256 = it->second.first;
        r.expect_len = it->second.second;
      }
      break;
    }
    default:
      break;
  }
  return r;
}
