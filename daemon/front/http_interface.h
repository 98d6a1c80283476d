#ifndef DAEMON_FRONT_HTTP_INTERFACE_H
#define DAEMON_FRONT_HTTP_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "front/balsa_frame.h"
#include "front/balsa_visitor.h"
#include "net/free_list.h"

class FrontConnection;
class HttpHeaderList;
class StreamSender;

// Joins one client connection to the gateway: parses the request and, once its header block
// is complete, opens a SPDY stream for it (body bytes and the end of the request follow on the
// same stream) or, for CONNECT, a direct tunnel. Serves one request.
class HttpInterface : public BalsaVisitor {
 public:
  // The stream id is the front connection's, given when the request opens its stream.
  HttpInterface(FrontConnection* front, StreamSender* gateway);
  ~HttpInterface() override;

  HttpInterface(const HttpInterface&) = delete;
  HttpInterface& operator=(const HttpInterface&) = delete;

  // One of these is made and destroyed for every client: the storage is reused.
  static void* operator new(size_t n) { return FreeList<sizeof(HttpInterface), 64>::Take(n); }
  static void operator delete(void* p, size_t n) {
    FreeList<sizeof(HttpInterface), 64>::Give(p, n);
  }

  // BalsaVisitor
  void ProcessBodyData(const char* data, size_t len) override;
  void ProcessHeaders(const HttpHeaderList& headers) override;
  void MessageDone() override;
  void HandleHeaderError(BalsaFrame* frame) override;
  void HandleHeaderWarning(BalsaFrame* frame) override;
  void HandleChunkingError(BalsaFrame* frame) override;
  void HandleBodyError(BalsaFrame* frame) override;

  // Front side: the bytes consumed.
  virtual size_t ProcessReadInput(const char* data, size_t len);
  virtual bool MessageFullyRead() const;
  virtual bool Error() const;
  // False while the stream already has MAX_SESSION_QUEUE_SIZE records waiting at the gateway.
  // Before the request opened its stream nothing of it waits there: true without asking.
  virtual bool ReadyForMore(uint32_t stream_id);
  virtual const char* ErrorAsString() const;
  // The parser refused the head as a whole (see BalsaFrame::CheckHead): the client is answered
  // "400 Bad Request", and nothing of the request went anywhere.
  bool HeadRefused() const;
  // The CONNECT target's lookup ended (`address` dotted, empty when the name did not resolve):
  // logs as a lookup does and opens the tunnel, or closes the client.
  void OpenTunnelTo(const std::string& address);

  // A SYN_STREAM was queued for this stream.
  bool SynSent() const { return syn_sent_; }
  StreamSender* gateway() const { return gateway_; }

  // The lines to send to the gateway: client lines named like the request line's entries
  // ("method", "url", "version") would merge with them, so they are dropped. Null when there
  // is nothing to drop (send `headers` itself); otherwise a new sorted list owned by the caller.
  static HttpHeaderList* WithoutClientRequestLineKeys(const HttpHeaderList& headers);

 private:
  void HandleError();
  void OpenTunnel(const HttpHeaderList& headers);
  // The request names the proxy's own listening address and port: it would come back to the
  // proxy through the gateway, over and over.
  bool TargetsProxyItself(const HttpHeaderList& headers, const std::string& url) const;

  BalsaFrame balsa_frame_;
  bool message_done_ = false;
  FrontConnection* front_;
  StreamSender* gateway_;
  bool syn_sent_ = false;
  // The CONNECT target, while its name is looked up.
  std::string tunnel_host_;
  std::string tunnel_port_;
};

#endif  // DAEMON_FRONT_HTTP_INTERFACE_H
