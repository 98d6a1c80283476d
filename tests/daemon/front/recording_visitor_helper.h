#ifndef TESTS_DAEMON_FRONT_RECORDING_VISITOR_HELPER_H
#define TESTS_DAEMON_FRONT_RECORDING_VISITOR_HELPER_H

#include <stddef.h>

#include <string>
#include <vector>

#include "front/balsa_frame.h"
#include "front/balsa_visitor.h"

// Records every callback of a BalsaFrame.
//
// `calls` is the exact sequence, one text per callback. `events` is the same history in a form
// that does not depend on how the input was split: the structural callbacks (headers, chunk
// sizes, end, errors) in order, with the extension, body and trailer pieces between two of them
// joined per kind. Raw body input is kept only as its total, since it is reported lazily.
class RecordingVisitor : public BalsaVisitor {
 public:
  void ProcessBodyInput(const char* data, size_t len) override;
  void ProcessBodyData(const char* data, size_t len) override;
  void ProcessTrailerInput(const char* data, size_t len) override;
  void ProcessHeaders(const HttpHeaderList& headers) override;
  void ProcessChunkLength(size_t len) override;
  void ProcessChunkExtensions(const char* data, size_t len) override;
  void MessageDone() override;
  void HandleHeaderError(BalsaFrame* frame) override;
  void HandleHeaderWarning(BalsaFrame* frame) override;
  void HandleChunkingError(BalsaFrame* frame) override;
  void HandleBodyError(BalsaFrame* frame) override;

  // The split-independent history (flushes pending pieces).
  std::vector<std::string> Events();

  std::vector<std::string> calls;
  std::string raw_input;
  std::string body;
  std::string extensions;
  std::string trailer;
  int headers_calls = 0;
  int message_done_calls = 0;
  // Callbacks that arrived after MessageDone or a fatal error.
  int calls_after_end = 0;

 private:
  void Structural(const std::string& event);
  void Flush();
  void Note(const std::string& call);

  bool ended_ = false;
  std::vector<std::string> events_;
  std::string pending_extensions_;
  std::string pending_body_;
  std::string pending_trailer_;
};

// "key=value" per line, joined by '|'.
std::string HeaderLinesText(const HttpHeaderList& headers);

// Outcome of feeding a message to a fresh request frame the way the front connection does:
// each piece is appended to what is still waiting, and the waiting bytes are offered again and
// again until a call consumes nothing.
struct FeedOutcome {
  std::vector<std::string> events;
  std::string raw_input;
  std::string body;
  std::string extensions;
  std::string trailer;
  BalsaFrameEnums::ParseState state = BalsaFrameEnums::PARSE_ERROR;
  BalsaFrameEnums::ErrorCode error = BalsaFrameEnums::NO_ERROR;
  std::string left_over;
  int calls_after_end = 0;
  bool over_consumed = false;
};

// Feeds `message` cut at the given ascending offsets.
FeedOutcome FeedInPieces(const std::string& message, const std::vector<size_t>& cuts);
FeedOutcome FeedWhole(const std::string& message);

#endif  // TESTS_DAEMON_FRONT_RECORDING_VISITOR_HELPER_H
