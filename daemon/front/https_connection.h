#ifndef DAEMON_FRONT_HTTPS_CONNECTION_H
#define DAEMON_FRONT_HTTPS_CONNECTION_H

#include <stddef.h>

#include <string>

#include "front/socket_writer.h"
#include "net/data_frame.h"
#include "net/epoll_server.h"
#include "net/ring_byte_buffer.h"

class FrontConnection;

// The direct TCP connection of a CONNECT tunnel. Once connected it answers the application
// with "HTTP/1.0 200 Connection established" through its front connection and relays bytes
// both ways without looking at them. Runs on the HttpThread's loop beside its front connection.
class HttpsConnection : public EpollCallback, private SocketWriter::Observer {
 public:
  static const int kReadBufferSize = 10240;
  static const size_t kMaxBytesSentPerWrite = 10240;

  explicit HttpsConnection(FrontConnection* front);

  // EpollCallback
  void OnRegistration(EpollServer* eps, int fd, int event_mask) override;
  void OnModification(int fd, int event_mask) override;
  void OnEvent(int fd, EpollEvent* event) override;
  void OnUnregistration(int fd, bool replaced) override;
  void OnShutdown(EpollServer* eps, int fd) override;
  ~HttpsConnection() override;

  HttpsConnection(const HttpsConnection&) = delete;
  HttpsConnection& operator=(const HttpsConnection&) = delete;

  virtual void SetFdReadyForWrite();
  virtual EpollServer* epoll_server() { return epoll_server_; }
  virtual void Cleanup(const char* reason, int code);
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
  int fd() const { return fd_; }

 private:
  void HandleEvents();
  bool DoRead();
  bool DoWrite();
  void Close();
  // SocketWriter::Observer
  void OnBytesSent(size_t n) override;
  void Established();

  int fd_ = -1;
  int events_ = 0;
  bool registered_ = false;
  bool initialized_ = false;
  RingByteBuffer read_buffer_;
  SocketWriter writer_;
  EpollServer* epoll_server_ = nullptr;
  std::string server_ip_;
  bool connected_ = false;
  FrontConnection* front_;
};

#endif  // DAEMON_FRONT_HTTPS_CONNECTION_H
