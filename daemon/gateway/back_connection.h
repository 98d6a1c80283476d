#ifndef DAEMON_GATEWAY_BACK_CONNECTION_H
#define DAEMON_GATEWAY_BACK_CONNECTION_H

#include <openssl/ssl.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <deque>
#include <map>
#include <string>

#include "net/epoll_server.h"
#include "net/socket_connection.h"
#include "net/socket_cork.h"

class DataFrame;
class QuorvinInterface;
class QuorvinThread;

// The non-blocking TLS connection that carries the SPDY session to the gateway, on the
// HttpThread's loop. One object per proxy run; initialised for each new TLS connection and reset
// when that connection ends.
class BackConnection : public SocketConnection {
 public:
  static constexpr int kReadBufferSize = 10240;
  static constexpr int kMaxBytesSentPerWrite = 10240;

  BackConnection(QuorvinThread* owner, QuorvinInterface* session);
  ~BackConnection() override;

  BackConnection(const BackConnection&) = delete;
  BackConnection& operator=(const BackConnection&) = delete;

  // Asks the loop for a write attempt on its next iteration.
  virtual void ReadyToSend();
  // Ends the connection: reports `code` (1 to 7) to the HttpThread and resets.
  void Cleanup(const char* reason, int code) override;
  // Takes ownership. Without an active connection the record is dropped: a frame made for one
  // session must never reach the next.
  virtual void EnqueueDataFrame(DataFrame* record);

  // Attaches a handshaken TLS connection. 0 on success; 1 when already initialised or the loop
  // refused the descriptor (the caller still owns fd, ssl and ctx then).
  int InitBackConnection(EpollServer* loop, int fd, SSL* ssl, SSL_CTX* ctx);
  // The stream's records not yet fully written.
  int QueuedCount(uint32_t stream_id) const;
  // Ping and idle timeouts; true when the connection was closed for one.
  bool CheckTimeout();

  bool initialized() const { return initialized_; }
  size_t output_list_size() const { return output_list_.size(); }
  int max_output_list() const { return max_output_list_; }

 private:
  void HandleEvents() override;
  // Reads and writes as the events and the TLS layer's wants allow.
  void DispatchEvents();
  bool DoRead();
  bool DoWrite();
  bool ProcessInput();
  void Reset();
  // Removes the fully written record at the front, waking its stream's client side when the
  // stream has room again.
  void PopSentRecord(int queue_limit);
  // SSL_write of the first unsent record and of those behind it that fit this pass's budget
  // (`sent` bytes already gone); `*records` tells how many the write covers.
  int WriteQueued(int sent, size_t* records);
  // The bytes the next WriteQueued of a pass hands to SSL_write.
  size_t PassBytes() const;
  // The most plaintext one TLS record carries.
  static constexpr size_t kTlsRecordPlaintext = 16384;
  void LogSslErrors();

  bool initialized_ = false;
  QuorvinThread* owner_;
  SSL* ssl_ = nullptr;
  SSL_CTX* ssl_ctx_ = nullptr;
  // A deque: its storage is reused as records come and go, where a list takes a node each.
  std::deque<DataFrame*> output_list_;
  QuorvinInterface* session_;
  int max_bytes_sent_per_write_ = kMaxBytesSentPerWrite;
  bool read_wants_write_ = false;
  bool write_wants_read_ = false;
  int max_output_list_ = 0;
  std::map<uint32_t, int> stream_queue_counts_;
  time_t last_read_time_ = 0;
  SocketCork cork_;
  // The bytes of a write that covers several records, kept until it succeeds: a TLS write
  // that has to wait must be repeated with the same buffer.
  std::string pending_;
  size_t pending_records_ = 0;
};

#endif  // DAEMON_GATEWAY_BACK_CONNECTION_H
