#include "daemon/front/recording_visitor_helper.h"

#include <string>

#include "stream/http_header_list.h"

namespace {

std::string Piece(const char* data, size_t len) {
  return std::string(data, len);
}

std::string ErrorName(BalsaFrame* frame) {
  return BalsaFrame::ErrorCodeToString(frame->ErrorCode());
}

}  // namespace

std::string HeaderLinesText(const HttpHeaderList& headers) {
  std::string text;
  for (const HttpHeaderLine& line : headers) {
    if (!text.empty())
      text += '|';
    text += line.key;
    text += '=';
    text += line.value;
  }
  return text;
}

void RecordingVisitor::Note(const std::string& call) {
  if (ended_)
    ++calls_after_end;
  calls.push_back(call);
}

void RecordingVisitor::Flush() {
  if (!pending_extensions_.empty())
    events_.push_back("Extensions(" + pending_extensions_ + ")");
  if (!pending_body_.empty())
    events_.push_back("BodyData(" + pending_body_ + ")");
  if (!pending_trailer_.empty())
    events_.push_back("Trailer(" + pending_trailer_ + ")");
  pending_extensions_.clear();
  pending_body_.clear();
  pending_trailer_.clear();
}

void RecordingVisitor::Structural(const std::string& event) {
  Flush();
  events_.push_back(event);
}

std::vector<std::string> RecordingVisitor::Events() {
  Flush();
  return events_;
}

void RecordingVisitor::ProcessBodyInput(const char* data, size_t len) {
  Note("BodyInput(" + Piece(data, len) + ")");
  raw_input.append(data, len);
}

void RecordingVisitor::ProcessBodyData(const char* data, size_t len) {
  Note("BodyData(" + Piece(data, len) + ")");
  body.append(data, len);
  pending_body_.append(data, len);
}

void RecordingVisitor::ProcessTrailerInput(const char* data, size_t len) {
  Note("Trailer(" + Piece(data, len) + ")");
  trailer.append(data, len);
  pending_trailer_.append(data, len);
}

void RecordingVisitor::ProcessHeaders(const HttpHeaderList& headers) {
  const std::string call = "Headers(" + HeaderLinesText(headers) + ")";
  Note(call);
  ++headers_calls;
  Structural(call);
}

void RecordingVisitor::ProcessChunkLength(size_t len) {
  const std::string call = "ChunkLength(" + std::to_string(len) + ")";
  Note(call);
  Structural(call);
}

void RecordingVisitor::ProcessChunkExtensions(const char* data, size_t len) {
  Note("Extensions(" + Piece(data, len) + ")");
  extensions.append(data, len);
  pending_extensions_.append(data, len);
}

void RecordingVisitor::MessageDone() {
  Note("MessageDone");
  ++message_done_calls;
  Structural("MessageDone");
  ended_ = true;
}

void RecordingVisitor::HandleHeaderError(BalsaFrame* frame) {
  const std::string call = "HeaderError(" + ErrorName(frame) + ")";
  Note(call);
  Structural(call);
  ended_ = true;
}

void RecordingVisitor::HandleHeaderWarning(BalsaFrame* frame) {
  const std::string call = "HeaderWarning(" + ErrorName(frame) + ")";
  Note(call);
  Structural(call);
}

void RecordingVisitor::HandleChunkingError(BalsaFrame* frame) {
  const std::string call = "ChunkingError(" + ErrorName(frame) + ")";
  Note(call);
  Structural(call);
  ended_ = true;
}

void RecordingVisitor::HandleBodyError(BalsaFrame* frame) {
  const std::string call = "BodyError(" + ErrorName(frame) + ")";
  Note(call);
  Structural(call);
  ended_ = true;
}

FeedOutcome FeedInPieces(const std::string& message, const std::vector<size_t>& cuts) {
  BalsaFrame frame;
  RecordingVisitor visitor;
  frame.set_visitor(&visitor);
  frame.set_is_request(true);
  FeedOutcome outcome;

  std::string waiting;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : message.size();
    waiting.append(message, from, to - from);
    from = to;
    while (!waiting.empty()) {
      const size_t consumed = frame.ProcessInput(waiting.data(), waiting.size());
      if (consumed > waiting.size()) {
        outcome.over_consumed = true;
        break;
      }
      waiting.erase(0, consumed);
      if (consumed == 0)
        break;
    }
  }
  outcome.events = visitor.Events();
  outcome.raw_input = visitor.raw_input;
  outcome.body = visitor.body;
  outcome.extensions = visitor.extensions;
  outcome.trailer = visitor.trailer;
  outcome.state = frame.ParseState();
  outcome.error = frame.ErrorCode();
  outcome.left_over = waiting;
  outcome.calls_after_end = visitor.calls_after_end;
  return outcome;
}

FeedOutcome FeedWhole(const std::string& message) {
  return FeedInPieces(message, std::vector<size_t>());
}
