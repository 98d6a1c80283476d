#ifndef TESTS_LOAD_LOAD_CONNECTION_H
#define TESTS_LOAD_LOAD_CONNECTION_H

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "load/load_stats.h"
#include "load/request_plan.h"

class LoadRunner;

// One client of a load run: it carries its requests one after the other, each on a new
// connection, except that after a keep-alive request it tries the next request on the same
// connection and, when the proxy has closed it (one request per connection), sends it again on
// a new one. Every reply is checked against what its request must get.
class LoadConnection {
 public:
  explicit LoadConnection(LoadRunner* runner);
  ~LoadConnection();

  LoadConnection(const LoadConnection&) = delete;
  LoadConnection& operator=(const LoadConnection&) = delete;

  // Takes the run's next request and starts it; false when none is left.
  bool StartNext();
  void OnEvent(uint32_t events);
  // Ends the request as failed when it has made no progress for the run's time-out.
  void CheckTimeout(double now);
  // Closes a connection kept open for reuse when the run is over.
  void Close();

 private:
  enum Phase {
    kIdle,
    kConnecting,
    kSendConnect,
    kReadConnect,
    kHandshake,
    kSend,
    kReadHead,
    kReadBody,
  };
  enum Step { kProgress, kBlocked, kEnded };

  void Open();
  void AfterConnect();
  void BuildRequest();
  void Drive();
  Step SendOut();
  Step ReadConnectReply();
  Step Handshake();
  Step ReadHead();
  Step ReadBody();
  bool ParseHead(const std::string& head);
  void TakeBody(const char* data, size_t len);
  Step Complete(bool by_close);
  Outcome Evaluate(bool by_close, std::string* why);
  // The socket failed or closed before the reply was complete.
  Step Broken(const std::string& what);
  void End(Outcome outcome, const std::string& why, bool keep);
  void Reconnect();
  void SetInterest(uint32_t events);
  // >0 bytes; 0 would block (blocked_on_ set); -1 end of stream; -2 error (error_ set).
  ssize_t Rx(char* buf, size_t len);
  ssize_t Tx(const char* buf, size_t len);
  std::string Describe(const std::string& why) const;

  LoadRunner* runner_;
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  Phase phase_ = kIdle;
  uint32_t interest_ = 0;
  uint32_t blocked_on_ = 0;
  std::string error_;
  double last_progress_ = 0;
  double started_ = 0;

  LoadRequest req_;
  bool kept_ = false;           // the last reply left this connection open for reuse
  bool reuse_attempt_ = false;  // this request went out on a reused connection

  std::string out_;  // request head (and a chunked body) still to send
  size_t out_off_ = 0;
  size_t body_off_ = 0;  // of req_.body when sent as it is

  std::string in_;  // reply head so far
  int status_ = 0;
  long long content_length_ = -1;
  std::string x_sha_;
  std::string x_path_;
  uint64_t body_len_ = 0;
  bool extra_bytes_ = false;
  EVP_MD_CTX* digest_ = nullptr;
};

#endif  // TESTS_LOAD_LOAD_CONNECTION_H
