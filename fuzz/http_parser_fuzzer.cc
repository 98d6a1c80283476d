// Feeds arbitrary bytes to BalsaFrame in pieces chosen by the input and checks that the frame
// never takes more than it was offered, hands the visitor only bytes of the current call, says
// nothing after a message ended, reports header lists sorted with lower-case keys and bodies of
// exactly the announced length, and gives the same results as when the bytes come whole.
//
// Input: byte 0 = mode flags (bit 0 response mode, bit 1 reply to HEAD), byte 1 = largest piece
// (0: whole), bytes 2-3 = seed of the piece sizes, then the bytes to parse.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/proxy_config.h"
#include "front/balsa_frame.h"
#include "front/balsa_visitor.h"
#include "stream/http_header_list.h"

namespace {

void Check(bool ok) {
  if (!ok)
    abort();
}

class CheckingVisitor : public BalsaVisitor {
 public:
  void StartCall(const char* data, size_t len) {
    begin_ = data;
    end_ = data + len;
    body_bytes_ = 0;
  }
  void NewMessage() {
    ended_ = false;
    message_body_ = 0;
  }
  void set_frame(const BalsaFrame* frame) { frame_ = frame; }
  size_t body_bytes() const { return body_bytes_; }

  void ProcessBodyInput(const char* data, size_t len) override {
    Within(data, len);
    body_bytes_ += len;
    raw_.append(data, len);
  }
  void ProcessBodyData(const char* data, size_t len) override {
    Within(data, len);
    message_body_ += len;
    Pending(&body_, data, len);
  }
  void ProcessTrailerInput(const char* data, size_t len) override {
    Within(data, len);
    Pending(&trailer_, data, len);
  }
  void ProcessHeaders(const HttpHeaderList& headers) override {
    Alive();
    std::string text = "H";
    const char* previous = "";
    int first_line = 0;
    for (const HttpHeaderLine& line : headers) {
      Check(strcmp(previous, line.key) <= 0);
      previous = line.key;
      for (const char* k = line.key; *k != '\0'; ++k)
        Check(*k < 'A' || *k > 'Z');
      first_line += strcmp(line.key, "method") == 0 || strcmp(line.key, "url") == 0 ||
                    strcmp(line.key, "version") == 0;
      text += line.key;
      text += '\0';
      text += line.value;
      text += '\0';
    }
    Check(first_line >= 3);
    Structural(text);
  }
  void ProcessChunkLength(size_t len) override {
    Alive();
    Structural("L" + std::to_string(len));
  }
  void ProcessChunkExtensions(const char* data, size_t len) override {
    // A CR held back from an earlier call may come from the frame itself.
    Alive();
    Check(len > 0);
    Pending(&extensions_, data, len);
  }
  void MessageDone() override {
    Alive();
    if (frame_->content_length_status() == BalsaFrame::VALID_CONTENT_LENGTH &&
        !frame_->transfer_encoding_is_chunked() && message_body_ > 0)
      Check(message_body_ == frame_->content_length());
    Structural("D");
    ended_ = true;
  }
  void HandleHeaderError(BalsaFrame* frame) override { Failed("E", frame); }
  void HandleChunkingError(BalsaFrame* frame) override { Failed("C", frame); }
  void HandleBodyError(BalsaFrame*) override { Check(false); }
  void HandleHeaderWarning(BalsaFrame* frame) override {
    Alive();
    Check(!frame->is_request());
    Structural("W" + std::to_string(frame->ErrorCode()));
  }

  std::string History() {
    Flush();
    return history_ + "|raw:" + raw_;
  }

 private:
  void Alive() { Check(!ended_); }
  void Within(const char* data, size_t len) {
    Alive();
    Check(len > 0 && data >= begin_ && data + len <= end_);
  }
  void Pending(std::string* pending, const char* data, size_t len) {
    Alive();
    pending->append(data, len);
  }
  void Failed(const char* tag, BalsaFrame* frame) {
    Alive();
    Check(frame->Error());
    Structural(tag + std::to_string(frame->ErrorCode()));
    ended_ = true;
  }
  void Flush() {
    history_ += "|x:" + extensions_ + "|b:" + body_ + "|t:" + trailer_;
    extensions_.clear();
    body_.clear();
    trailer_.clear();
  }
  void Structural(const std::string& event) {
    Flush();
    history_ += "|" + event;
  }

  const char* begin_ = nullptr;
  const char* end_ = nullptr;
  size_t body_bytes_ = 0;
  bool ended_ = false;
  const BalsaFrame* frame_ = nullptr;
  size_t message_body_ = 0;
  std::string history_;
  std::string raw_;
  std::string extensions_;
  std::string body_;
  std::string trailer_;
};

struct Run {
  std::string history;
  std::string left_over;
  int state;
  int error;
};

// Feeds `bytes` in the given pieces the way the front connection does, starting the next
// message with Reset after each one ends (at most a few).
Run Feed(const std::string& bytes, const std::vector<size_t>& pieces, uint8_t flags) {
  BalsaFrame frame;
  CheckingVisitor visitor;
  visitor.set_frame(&frame);
  frame.set_visitor(&visitor);
  frame.set_is_request((flags & 1) == 0);
  frame.set_request_was_head((flags & 2) != 0);
  std::string waiting;
  size_t from = 0;
  int messages = 1;
  for (size_t piece : pieces) {
    waiting.append(bytes, from, piece);
    from += piece;
    while (!waiting.empty()) {
      if ((frame.MessageFullyRead() || frame.Error()) && messages < 4) {
        frame.Reset();
        visitor.NewMessage();
        ++messages;
      }
      const bool ended = frame.MessageFullyRead() || frame.Error();
      visitor.StartCall(waiting.data(), waiting.size());
      const size_t consumed = frame.ProcessInput(waiting.data(), waiting.size());
      Check(consumed <= waiting.size());
      Check(visitor.body_bytes() <= waiting.size());
      if (ended)
        Check(consumed == 0);
      if (frame.Error())
        Check(frame.ErrorCode() != BalsaFrame::NO_ERROR);
      Check(frame.header_length() <= frame.max_header_length());
      waiting.erase(0, consumed);
      if (consumed == 0)
        break;
    }
  }
  return Run{visitor.History(), waiting, frame.ParseState(), frame.ErrorCode()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    GetProxyConfig()->log_level_ = 0;
    return true;
  }();
  (void)quiet;
  if (size < 4)
    return 0;
  const uint8_t flags = data[0];
  const size_t largest = data[1];
  uint32_t seed = static_cast<uint32_t>(data[2]) << 8 | data[3];
  const std::string bytes(reinterpret_cast<const char*>(data + 4), size - 4);

  const Run whole = Feed(bytes, {bytes.size()}, flags);
  if (largest == 0)
    return 0;
  std::vector<size_t> pieces;
  for (size_t left = bytes.size(); left > 0;) {
    seed = seed * 1103515245u + 12345u;
    const size_t piece = std::min(left, 1 + (seed >> 16) % largest);
    pieces.push_back(piece);
    left -= piece;
  }
  const Run split = Feed(bytes, pieces, flags);
  Check(whole.history == split.history);
  Check(whole.left_over == split.left_over);
  Check(whole.state == split.state);
  Check(whole.error == split.error);
  return 0;
}
