#ifndef TESTS_LOAD_REQUEST_PLAN_H
#define TESTS_LOAD_REQUEST_PLAN_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

// One request of a load run and what its reply must be.
struct LoadRequest {
  enum Kind { kSmall, kBig, kUpload, kKeepAlive, kTunnel, kUnframed, kKindCount };

  uint64_t id = 0;
  Kind kind = kSmall;
  std::string method = "GET";
  std::string path;    // origin-form, query included: what the reply's x-path must say
  std::string origin;  // host:port the request names (the HTTPS origin for a tunnel)
  bool chunked_upload = false;
  const unsigned char* body = nullptr;  // upload bytes, a slice of the plan's byte stream
  size_t body_len = 0;
  // The body the reply must carry: its length and hex SHA-256, when the plan knows them.
  long long expect_len = -1;
  std::string expect_sha256;
};

const char* KindName(LoadRequest::Kind kind);

// Deterministic requests by id: the same seed and id give the same request in every run. The
// expected replies follow from the origin's routes: /size/N is the first N bytes of the
// origin's fixed byte stream, an upload is echoed, the fixed pages are learnt from the origin
// once at start.
class RequestPlan {
 public:
  struct Mix {
    int small = 55;
    int big = 5;
    int upload = 15;
    int keepalive = 15;
    int tunnel = 10;
    int unframed = 0;  // the page the origin sends chunked: through a proxy, framed by its close
  };

  // `origins` are plain HTTP origins ("127.0.0.1:port"), used in turn; `https_origins` the
  // HTTPS ones for tunnels. `direct` leaves out the page whose reply is chunked (the client
  // reads the unframed bodies a proxy gives, not chunked ones).
  RequestPlan(uint64_t seed, const Mix& mix, const std::vector<std::string>& origins,
              const std::vector<std::string>& https_origins, size_t big_size, bool direct);

  LoadRequest Make(uint64_t id) const;

  // Fetches the fixed pages from the first origin directly. False when that failed.
  bool LearnFixedPages(std::string* error);

  // Hex SHA-256 of the first `n` bytes of the origin's stream.
  std::string StreamDigest(size_t n, std::unordered_map<size_t, std::string>* cache) const;

  static std::string Sha256Hex(const void* data, size_t len);
  static bool ParseMix(const std::string& text, Mix* mix);

  size_t stream_size() const { return stream_.size(); }

 private:
  uint64_t seed_;
  Mix mix_;
  std::vector<std::string> origins_;
  std::vector<std::string> https_origins_;
  size_t big_size_;
  bool direct_;
  std::vector<unsigned char> stream_;
  std::map<std::string, std::pair<std::string, long long>> fixed_;  // path -> digest, length
};

#endif  // TESTS_LOAD_REQUEST_PLAN_H
