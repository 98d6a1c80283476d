// Produces and consumes SPDY/2 byte streams for the interop checks against an independent
// implementation (driven by interop.js).
//   spdy_interop_tool build   writes a client session's frames to stdout
//   spdy_interop_tool parse   reads a server session's bytes from stdin, prints events as JSON
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "spdy/spdy_event_adapter.h"
#include "spdy/spdy_frame.h"
#include "spdy/spdy_framer.h"

namespace {

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonHeaders(const SpdyHeaderMap& headers) {
  std::string out = "{";
  for (const auto& pair : headers) {
    if (out.size() > 1)
      out += ",";
    out += Json(pair.first) + ":" + Json(pair.second);
  }
  return out + "}";
}

class PrintingSessionVisitor : public SessionVisitor {
 public:
  void OnSyn(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override {
    Print("syn", f, ",\"headers\":" + JsonHeaders(*h));
  }
  void OnSynReply(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override {
    Print("syn_reply", f, ",\"headers\":" + JsonHeaders(*h));
  }
  void OnHeaders(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override {
    Print("headers", f, ",\"headers\":" + JsonHeaders(*h));
  }
  void OnStreamFrameData(SpdyStreamId id, const char* data, size_t len) override {
    if (len == 0) {
      printf("{\"ev\":\"fin\",\"id\":%u}\n", id);
    } else {
      printf("{\"ev\":\"data\",\"id\":%u,\"data\":%s}\n", id, Json(std::string(data, len)).c_str());
    }
  }
  void OnError(SpdyFramer::SpdyError code) override {
    printf("{\"ev\":\"error\",\"code\":%s}\n", Json(SpdyFramer::ErrorCodeToString(code)).c_str());
  }
  void OnPing(const SpdyFrame& f) override {
    Print("ping", f, ",\"ping_id\":" + std::to_string(f.unique_id()));
  }
  void OnSetting(const SpdyFrame& f) override { Print("setting", f, ""); }
  void OnStreamError(SpdyStreamId id) override {
    printf("{\"ev\":\"stream_error\",\"id\":%u}\n", id);
  }
  void OnRstStream(const SpdyFrame& f) override {
    Print("rst", f, ",\"status\":" + std::to_string(f.status()));
  }
  void OnGoAway(const SpdyFrame& f) override {
    Print("goaway", f, ",\"last_id\":" + std::to_string(f.last_accepted_stream_id()));
  }
  void OnWindowUpdate(const SpdyFrame& f) override {
    Print("window_update", f, ",\"delta\":" + std::to_string(f.delta_window_size()));
  }

 private:
  void Print(const char* ev, const SpdyFrame& f, const std::string& extra) {
    printf("{\"ev\":\"%s\",\"id\":%u,\"flags\":%u%s}\n", ev, f.stream_id(),
           static_cast<unsigned>(f.flags()), extra.c_str());
  }
};

// Lists every control frame the framer sees, SETTINGS included (the adapter ignores those).
class FrameListVisitor : public FramerVisitor {
 public:
  void OnError(SpdyFramer*) override {}
  void OnControl(const SpdyFrame& f) override {
    std::string extra;
    if (f.type() == SETTINGS) {
      extra = ",\"entries\":[";
      for (uint32_t i = 0; i < f.num_entries() && 12 + 8 * i + 8 <= f.size(); ++i) {
        if (i)
          extra += ",";
        extra += "[" + std::to_string(SpdyFrame::ReadUInt32(f.data() + 12 + 8 * i)) + "," +
                 std::to_string(SpdyFrame::ReadUInt32(f.data() + 16 + 8 * i)) + "]";
      }
      extra += "]";
    }
    printf("{\"ev\":\"control\",\"type\":%u,\"length\":%u%s}\n", f.type(), f.length(),
           extra.c_str());
  }
  bool OnControlFrameHeaderData(const SpdyFrame&, const char*, size_t) override { return true; }
  bool OnCredentialFrameData(const char*, size_t) override { return true; }
  void OnDataFrameStart(const SpdyFrame&) override {}
  void OnStreamFrameData(SpdyStreamId, const char*, size_t) override {}
};

void Write(std::string* out, SpdyFrame* frame) {
  if (frame == nullptr) {
    fprintf(stderr, "frame creation failed\n");
    exit(2);
  }
  out->append(frame->data(), frame->size());
  delete frame;
}

int Build() {
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(nullptr));
  std::string out;
  // Opening settings with the device value of "12345678901".
  Write(&out, SpdyFramer::CreateSettings(
                  {{0x64000000u, 1}, {0x65000000u, 2}, {0x66000000u, 3755744309u}}));
  Write(&out, SpdyFramer::CreatePingFrame(1));
  SpdyHeaderMap get{
      {"accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
      {"accept-encoding", "gzip, deflate"},
      {"accept-language", "en-US,en;q=0.5"},
      {"connection", "close"},
      {"cookie", std::string("a=1\0b=2", 7)},
      {"host", "www.example.com"},
      {"method", "GET"},
      {"url", "http://www.example.com/index.html?q=1"},
      {"user-agent", "Mozilla/5.0 (Linux; Android 4.4.2; Nexus 5) AppleWebKit/537.36 Mobile"},
      {"version", "HTTP/1.1"},
      {"x-q", "3"}};
  Write(&out, adapter->CreateSynStream(1, 0, 0, 0, true, get));
  Write(&out, adapter->CreateDataFrame(1, nullptr, 0, DATA_FLAG_FIN));
  SpdyHeaderMap post{{"content-type", "text/plain"},
                     {"host", "upload.example.com"},
                     {"method", "POST"},
                     {"url", "http://upload.example.com/form"},
                     {"version", "HTTP/1.1"}};
  Write(&out, adapter->CreateSynStream(3, 0, 2, 0, true, post));
  Write(&out, adapter->CreateDataFrame(3, "body part 1;", 12, DATA_FLAG_NONE));
  std::string big(1024, 'B');
  Write(&out, adapter->CreateDataFrame(3, big.data(), 1024, DATA_FLAG_NONE));
  Write(&out, adapter->CreateDataFrame(3, nullptr, 0, DATA_FLAG_FIN));
  SpdyHeaderMap third{{"host", "www.example.com"},
                      {"method", "GET"},
                      {"url", "http://www.example.com/cancelled"},
                      {"version", "HTTP/1.1"}};
  Write(&out, adapter->CreateSynStream(5, 0, 0, 0, true, third));
  Write(&out, SpdyFramer::CreateRstStream(5, SPDY_CANCEL));
  SpdyHeaderMap fourth{{"host", "www.example.com"},
                       {"method", "GET"},
                       {"url", "http://www.example.com/reset-by-server"},
                       {"version", "HTTP/1.1"}};
  Write(&out, adapter->CreateSynStream(7, 0, 0, 0, true, fourth));
  Write(&out, adapter->CreateDataFrame(7, nullptr, 0, DATA_FLAG_FIN));
  return fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}

int Parse() {
  std::string in;
  char buf[4096];
  ssize_t n;
  while ((n = read(0, buf, sizeof(buf))) > 0)
    in.append(buf, static_cast<size_t>(n));
  {
    FrameListVisitor list;
    SpdyFramer framer;
    framer.set_visitor(&list);
    framer.ProcessInput(in.data(), in.size());
  }
  PrintingSessionVisitor visitor;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  // Uneven pieces, as TLS records would cut the stream.
  size_t at = 0;
  size_t piece = 1;
  while (at < in.size()) {
    size_t len = std::min(piece, in.size() - at);
    size_t used = adapter->ProcessInput(in.data() + at, len);
    if (used != len) {
      // The framer stopped (an error): report where, and take nothing more.
      at += used;
      printf("{\"ev\":\"stopped\",\"at\":%zu}\n", at);
      break;
    }
    at += len;
    piece = piece % 97 + 13;
  }
  printf("{\"ev\":\"consumed\",\"bytes\":%zu,\"has_error\":%s}\n", at,
         adapter->HasError() ? "true" : "false");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "build") == 0)
    return Build();
  if (argc == 2 && strcmp(argv[1], "parse") == 0)
    return Parse();
  fprintf(stderr, "usage: %s build|parse\n", argv[0]);
  return 2;
}
