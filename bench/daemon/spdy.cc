// SPDY framing costs: data-frame pass-through (framer, adapter and a copy of the payload out)
// against memcpy of the same bytes, building one compressed SYN_STREAM of a browser request,
// and decompressing and parsing one SYN_REPLY. Figures are CPU time: the machine is shared.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "spdy/frame_builder.h"
#include "spdy/spdy_event_adapter.h"
#include "spdy/spdy_framer.h"

namespace {

const size_t kFramePayload = 16384;
const int kFrames = 64;       // 1 MB of payload per pass
const size_t kPiece = 10240;  // the back connection's read buffer size

const std::string& DataStream() {
  static const std::string* stream = [] {
    SpdyFramer framer;
    std::string payload(kFramePayload, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<char>(i * 31 + 7);
    auto* s = new std::string;
    for (int i = 0; i < kFrames; ++i) {
      std::unique_ptr<SpdyFrame> f(
          framer.CreateDataFrame(1, payload.data(), static_cast<uint32_t>(payload.size()), 0));
      s->append(f->data(), f->size());
    }
    return s;
  }();
  return *stream;
}

class CountingVisitor : public SessionVisitor {
 public:
  void OnSyn(const SpdyFrame&, const SpdyHeaderMapHandle&) override {}
  void OnSynReply(const SpdyFrame&, const SpdyHeaderMapHandle& h) override { headers += h->size(); }
  void OnHeaders(const SpdyFrame&, const SpdyHeaderMapHandle&) override {}
  // Copies the payload out, as the client side does with reply data.
  void OnStreamFrameData(SpdyStreamId, const char* data, size_t len) override {
    bytes += len;
    if (len == 0)
      return;
    if (sink.size() - sink_pos < len)
      sink_pos = 0;
    if (sink.size() < len)
      sink.resize(len);
    memcpy(sink.data() + sink_pos, data, len);
    sink_pos += len;
    last = sink[sink_pos - 1];
  }
  void OnError(SpdyFramer::SpdyError) override { ++errors; }
  void OnPing(const SpdyFrame&) override {}
  void OnSetting(const SpdyFrame&) override {}
  void OnStreamError(SpdyStreamId) override {}
  void OnRstStream(const SpdyFrame&) override {}
  void OnGoAway(const SpdyFrame&) override {}
  void OnWindowUpdate(const SpdyFrame&) override {}

  size_t bytes = 0;
  size_t headers = 0;
  int errors = 0;
  char last = 0;
  std::vector<char> sink;
  size_t sink_pos = 0;
};

void BM_MemcpyBaseline(benchmark::State& state) {
  const std::string& stream = DataStream();
  std::vector<char> dest(stream.size());
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += kPiece) {
      size_t n = std::min(kPiece, stream.size() - at);
      memcpy(dest.data() + at, stream.data() + at, n);
    }
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_MemcpyBaseline);

void BM_FramerDataPassThrough(benchmark::State& state) {
  const std::string& stream = DataStream();
  CountingVisitor visitor;
  visitor.sink.resize(stream.size());
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += kPiece) {
      size_t n = std::min(kPiece, stream.size() - at);
      adapter->ProcessInput(stream.data() + at, n);
    }
    benchmark::DoNotOptimize(visitor.last);
  }
  if (visitor.bytes != static_cast<size_t>(state.iterations()) * kFrames * kFramePayload ||
      visitor.errors) {
    state.SkipWithError("framer lost data");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_FramerDataPassThrough);

SpdyHeaderMap BrowserRequest(int n) {
  return SpdyHeaderMap{
      {"accept", "text/html,application/xhtml+xml,application/xml;q=0.9,image/webp,*/*;q=0.8"},
      {"accept-encoding", "gzip,deflate"},
      {"accept-language", "en-US,en;q=0.8"},
      {"connection", "close"},
      {"cookie", "session=4f2a9c1e7b; prefs=compact; tracking=0"},
      {"host", "www.example.com"},
      {"method", "GET"},
      {"referer", "http://www.example.com/"},
      {"url", "http://www.example.com/news/article-" + std::to_string(n) + ".html"},
      {"user-agent",
       "Mozilla/5.0 (Linux; Android 4.4.2; Nexus 5 Build/KOT49H) AppleWebKit/537.36 (KHTML, "
       "like Gecko) Chrome/34.0.1847.114 Mobile Safari/537.36"},
      {"version", "HTTP/1.1"},
      {"x-q", "3"}};
}

void BM_BuildCompressedSynStream(benchmark::State& state) {
  std::unique_ptr<SpdyFramer> framer(new SpdyFramer);
  SpdyHeaderMap headers = BrowserRequest(1);
  uint32_t id = 1;
  for (auto _ : state) {
    std::unique_ptr<SpdyFrame> f(framer->CreateSynStream(id, 0, 0, 0, true, headers));
    benchmark::DoNotOptimize(f->data());
    id += 2;
  }
}
BENCHMARK(BM_BuildCompressedSynStream);

const std::vector<std::string>& ReplyFrames() {
  static const std::vector<std::string>* frames = [] {
    auto* v = new std::vector<std::string>;
    SpdyFramer gateway;
    for (int i = 0; i < 2000; ++i) {
      SpdyHeaderMap h{{"cache-control", "private, max-age=0"},
                      {"content-length", std::to_string(10000 + i)},
                      {"content-type", "text/html; charset=utf-8"},
                      {"date", "Tue, 08 Dec 2026 02:40:00 GMT"},
                      {"expires", "-1"},
                      {"server", "nginx"},
                      {"set-cookie", std::string("a=1; path=/\0b=2; path=/", 23)},
                      {"status", "200 OK"},
                      {"version", "HTTP/1.1"},
                      {"x-img-dst-len", "512"},
                      {"x-img-src-len", "2048"}};
      FrameBuilder b(512);
      b.WriteUInt16(0x8002);
      b.WriteUInt16(SYN_REPLY);
      b.WriteUInt32(static_cast<uint32_t>(GetHeaderBlockSize(h) + 6));
      b.WriteUInt32(static_cast<uint32_t>(2 * i + 1));
      b.WriteUInt16(0);
      WriteHeaderBlock(&b, h);
      std::unique_ptr<SpdyFrame> plain(b.take());
      std::unique_ptr<SpdyFrame> c(gateway.CompressFrame(*plain));
      v->push_back(std::string(c->data(), c->size()));
    }
    return v;
  }();
  return *frames;
}

void BM_DecompressAndParseSynReply(benchmark::State& state) {
  const std::vector<std::string>& frames = ReplyFrames();
  CountingVisitor visitor;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  size_t next = 0;
  for (auto _ : state) {
    if (next == frames.size()) {
      // The replies continue one compression stream: start a new session to replay them.
      adapter.reset(new SpdyEventAdapter(&visitor));
      next = 0;
    }
    adapter->ProcessInput(frames[next].data(), frames[next].size());
    ++next;
  }
  if (visitor.errors || visitor.headers != static_cast<size_t>(state.iterations()) * 11) {
    state.SkipWithError("reply not parsed");
  }
}
BENCHMARK(BM_DecompressAndParseSynReply);

// Keeps each benchmark's figures to print the ratios after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      std::string name = run.benchmark_name();
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end())
        bytes_per_second[name] = it->second;
      ns_per_op[name] = run.GetAdjustedCPUTime();  // CPU time in ns, as the byte rates use
    }
  }
  std::map<std::string, double> bytes_per_second;
  std::map<std::string, double> ns_per_op;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& bps = reporter.bytes_per_second;
  if (bps.count("BM_MemcpyBaseline") && bps.count("BM_FramerDataPassThrough")) {
    double memcpy_mb = bps["BM_MemcpyBaseline"] / 1e6;
    double framer_mb = bps["BM_FramerDataPassThrough"] / 1e6;
    printf(
        "data pass-through (16 KB frames): framer %.0f MB/s, memcpy %.0f MB/s, ratio %.3f "
        "(goal >= 0.3)\n",
        framer_mb, memcpy_mb, framer_mb / memcpy_mb);
  }
  auto& ns = reporter.ns_per_op;
  if (ns.count("BM_BuildCompressedSynStream")) {
    printf("build + compress SYN_STREAM (browser request): %.2f us\n",
           ns["BM_BuildCompressedSynStream"] / 1000.0);
  }
  if (ns.count("BM_DecompressAndParseSynReply")) {
    printf("decompress + parse SYN_REPLY: %.2f us\n", ns["BM_DecompressAndParseSynReply"] / 1000.0);
  }
  benchmark::Shutdown();
  return 0;
}
