#ifndef DAEMON_FRONT_BALSA_VISITOR_H
#define DAEMON_FRONT_BALSA_VISITOR_H

#include <stddef.h>

class BalsaFrame;
class HttpHeaderList;

// Receiver of a BalsaFrame's results. Every operation does nothing by default, so a receiver
// overrides only what it uses. The virtual slots keep a fixed order (the destructor takes the
// first two); the reserved ones are never called by the parser.
class BalsaVisitor {
 public:
  virtual ~BalsaVisitor();
  // Every raw body byte, chunk framing included.
  virtual void ProcessBodyInput(const char* data, size_t len);
  // Decoded body bytes.
  virtual void ProcessBodyData(const char* data, size_t len);
  virtual void Reserved4();
  // Raw trailer bytes of a chunked body.
  virtual void ProcessTrailerInput(const char* data, size_t len);
  // The header block is complete; the lines are sorted by key.
  virtual void ProcessHeaders(const HttpHeaderList& headers);
  virtual void Reserved7();
  virtual void Reserved8();
  // Size of the chunk that follows.
  virtual void ProcessChunkLength(size_t len);
  // Text between a chunk size and its line end; may arrive in pieces.
  virtual void ProcessChunkExtensions(const char* data, size_t len);
  virtual void Reserved11();
  virtual void MessageDone();
  virtual void HandleHeaderError(BalsaFrame* frame);
  virtual void HandleHeaderWarning(BalsaFrame* frame);
  virtual void HandleChunkingError(BalsaFrame* frame);
  virtual void HandleBodyError(BalsaFrame* frame);
};

#endif  // DAEMON_FRONT_BALSA_VISITOR_H
