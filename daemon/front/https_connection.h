#ifndef DAEMON_FRONT_HTTPS_CONNECTION_H
#define DAEMON_FRONT_HTTPS_CONNECTION_H

#include <stddef.h>

#include <string>

#include "net/data_frame.h"
#include "net/epoll_server.h"
#include "net/socket_connection.h"
#include "net/socket_writer.h"

class FrontConnection;

// The direct TCP connection of a CONNECT tunnel. Once connected it answers the application
// with "HTTP/1.0 200 Connection established" through its front connection and relays bytes
// both ways without looking at them. Runs on the HttpThread's loop beside its front connection.
class HttpsConnection : public SocketConnection, private SocketWriter::Observer {
 public:
  static const int kReadBufferSize = 10240;
  static const size_t kMaxBytesSentPerWrite = 10240;

  explicit HttpsConnection(FrontConnection* front);

  ~HttpsConnection() override;

  HttpsConnection(const HttpsConnection&) = delete;
  HttpsConnection& operator=(const HttpsConnection&) = delete;

  virtual void SetFdReadyForWrite();
  void Cleanup(const char* reason, int code) override;
  // Takes ownership of the record.
  virtual void EnqueueDataFrame(DataFrame* frame);
  // The application side closed: close and hand the object to the HttpThread.
  virtual void CloseFromSM();

  // `ip` is a dotted IPv4 address. False leaves the object to the caller.
  bool ConnectToTarget(const std::string& ip, const std::string& port, EpollServer* loop);
  // Bytes from the application, queued for the target.
  void ProcessInput(const char* data, size_t len);

  bool connected() const { return connected_; }
  bool initialized() const { return initialized_; }

 private:
  void HandleEvents() override;
  bool OnReceived(char* data, size_t len) override;
  bool DoRead();
  bool DoWrite();
  void Close();
  // SocketWriter::Observer
  void OnBytesSent(size_t n) override;
  void Established();

  bool initialized_ = false;
  SocketWriter writer_;
  std::string server_ip_;
  bool connected_ = false;
  FrontConnection* front_;
};

#endif  // DAEMON_FRONT_HTTPS_CONNECTION_H
