// BalsaFrame against libhttp-parser on a corpus of realistic requests, each fed whole, in
// 64-byte pieces and one byte at a time. Prints MB/s of each and the ratios.
#include <benchmark/benchmark.h>
#include <http_parser.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <map>
#include <string>
#include <vector>

#include "core/proxy_config.h"
#include "front/balsa_frame.h"
#include "front/balsa_visitor.h"

namespace {

const char kUserAgent[] =
    "User-Agent: Mozilla/5.0 (Linux; Android 4.4.2; GT-I9505 Build/KOT49H) AppleWebKit/537.36 "
    "(KHTML, like Gecko) Chrome/34.0.1847.114 Mobile Safari/537.36\r\n";

std::string BrowserGet(const std::string& host, const std::string& path, const std::string& accept,
                       const std::string& cookie, int extra) {
  std::string r = "GET http://" + host + path + " HTTP/1.1\r\n";
  r += "Host: " + host + "\r\n";
  r += "Proxy-Connection: keep-alive\r\n";
  r += "Cache-Control: max-age=0\r\n";
  r += "Accept: " + accept + "\r\n";
  r += kUserAgent;
  r += "Referer: http://" + host + "/\r\n";
  r += "Accept-Encoding: gzip,deflate,sdch\r\n";
  r += "Accept-Language: en-US,en;q=0.8,de;q=0.6\r\n";
  r += "X-Requested-With: com.android.browser\r\n";
  if (!cookie.empty())
    r += "Cookie: " + cookie + "\r\n";
  const char* extras[] = {
      "If-Modified-Since: Tue, 10 Jun 2014 08:12:31 GMT\r\n",
      "If-None-Match: \"5396bd8f-3c1a\"\r\n",
      "DNT: 1\r\n",
      "Origin: http://"
      "static.example.net\r\n",
      "X-Forwarded-For: 10.0.0.17\r\n",
      "Upgrade-Insecure-Requests: 1\r\n",
      "Pragma: no-cache\r\n",
      "Via: 1.1 carrier-proxy\r\n",
      "X-Wap-Profile: http://wap.samsungmobile.com/uaprof/GT-I9505.xml\r\n",
      "Range: bytes=0-\r\n",
  };
  for (int i = 0; i < extra && i < 10; ++i)
    r += extras[i];
  return r + "\r\n";
}

std::vector<std::string> Corpus() {
  const std::string html =
      "text/html,application/xhtml+xml,application/xml;q=0.9,image/webp,*/*;q=0.8";
  const std::string image = "image/webp,*/*;q=0.8";
  std::string long_cookie = "SID=DQAAAKMAAAB8o0nQv1Y; HSID=AYQEVn3r; APISID=ah9Kq3RzF/AFkPq; ";
  for (int i = 0; i < 12; ++i)
    long_cookie +=
        "pref" + std::to_string(i) + "=ID=" + std::string(24, static_cast<char>('a' + i)) + "; ";
  long_cookie += "NID=67=x";

  std::vector<std::string> corpus = {
      BrowserGet("www.example.com", "/", html, "session=0f3a9c; theme=dark", 1),
      BrowserGet("news.example.org", "/world/2014/06/11/story-about-things.html?ref=front", html,
                 long_cookie, 4),
      BrowserGet("img.example-cdn.net", "/thumbs/2014/06/a8f3c2d1e0b9_320x240.jpg", image,
                 "cdn_uid=aa77bb66cc55", 3),
      BrowserGet("m.shop.example.com", "/cart?item=1234&qty=2", html,
                 "cart=7c1e; uid=99182736; ab=variant_b; " + std::string(180, 'q'), 6),
      BrowserGet("api.weather.example", "/v2/forecast?lat=52.52&lon=13.40&units=metric",
                 "application/json", "", 2),
      BrowserGet("static.example.net", "/js/app.bundle.min.js?v=20140611", "*/*",
                 "_ga=GA1.2.1234567890.1402473600", 5),
      BrowserGet("video.example.tv", "/segments/720p/seg_00042.ts", "*/*", long_cookie, 10),
      BrowserGet("www.search.example", "/search?q=spdy+proxy+android&ie=UTF-8&oe=UTF-8", html,
                 long_cookie, 7),
      BrowserGet("ads.example.biz", "/pixel.gif?cb=8172635412&pid=77", image,
                 "tracker=" + std::string(60, 'z'), 8),
  };
  std::string form;
  for (int i = 0; i < 40; ++i)
    form += "field" + std::to_string(i) + "=value+number+" + std::to_string(i * 31) + "&";
  form += "submit=Send";
  corpus.push_back(
      "POST http://forms.example.com/contact/submit HTTP/1.1\r\nHost: forms.example.com\r\n"
      "Proxy-Connection: keep-alive\r\nContent-Length: " +
      std::to_string(form.size()) +
      "\r\nCache-Control: max-age=0\r\nOrigin: http://forms.example.com\r\n" + kUserAgent +
      "Content-Type: application/x-www-form-urlencoded\r\nAccept: " + html +
      "\r\nReferer: http://forms.example.com/contact\r\nAccept-Encoding: gzip,deflate\r\n"
      "Accept-Language: en-US,en;q=0.8\r\nCookie: "
      "csrftoken=a81b2c3d4e5f60718293a4b5c6d7e8f9\r\n\r\n" +
      form);
  const std::string json =
      "{\"device\":\"GT-I9505\",\"events\":[{\"t\":1402473600,\"k\":\"open\"},{\"t\":1402473612,"
      "\"k\":\"scroll\",\"d\":42},{\"t\":1402473650,\"k\":\"close\"}],\"v\":3}";
  corpus.push_back(
      "POST http://telemetry.example.io/v1/events HTTP/1.1\r\nHost: telemetry.example.io\r\n"
      "Content-Type: application/json; charset=utf-8\r\nContent-Length: " +
      std::to_string(json.size()) + "\r\n" + kUserAgent +
      "Accept: application/json\r\nAccept-Encoding: gzip\r\nConnection: keep-alive\r\n\r\n" + json);
  std::string chunked =
      "POST http://upload.example.com/photos HTTP/1.1\r\nHost: upload.example.com\r\n" +
      std::string(kUserAgent) +
      "Content-Type: image/jpeg\r\nTransfer-Encoding: chunked\r\nAccept: */*\r\n"
      "Cookie: upload_session=5f4e3d2c1b0a\r\nExpect: 100-continue\r\n\r\n";
  for (int i = 0; i < 6; ++i) {
    const std::string piece(400 + 97 * i, static_cast<char>('A' + i));
    char size[16];
    snprintf(size, sizeof(size), "%zx", piece.size());
    chunked += std::string(size) + (i == 2 ? ";part=3" : "") + "\r\n" + piece + "\r\n";
  }
  chunked += "0\r\nX-Upload-Checksum: 8d777f385d3dfec8815d20f7496026dc\r\n\r\n";
  corpus.push_back(chunked);
  return corpus;
}

const std::vector<std::string>& TheCorpus() {
  static const std::vector<std::string> corpus = Corpus();
  return corpus;
}

int64_t CorpusBytes() {
  int64_t total = 0;
  for (const std::string& r : TheCorpus())
    total += static_cast<int64_t>(r.size());
  return total;
}

// What a real receiver does at least: look at the lines and count the body.
class CountingVisitor : public BalsaVisitor {
 public:
  void ProcessHeaders(const HttpHeaderList& headers) override { lines += headers.line_count(); }
  void ProcessBodyData(const char*, size_t len) override { body += len; }
  void MessageDone() override { ++done; }
  size_t lines = 0;
  size_t body = 0;
  int done = 0;
};

// Feeds one request in pieces of `piece` bytes (0: whole), offering unconsumed bytes again.
void FeedBalsa(BalsaFrame* frame, const std::string& r, size_t piece) {
  const char* data = r.data();
  const size_t size = r.size();
  const size_t step = piece == 0 ? size : piece;
  size_t pos = 0;
  for (size_t end = std::min(step, size);; end = std::min(end + step, size)) {
    while (pos < end) {
      const size_t n = frame->ProcessInput(data + pos, end - pos);
      if (n == 0)
        break;
      pos += n;
    }
    if (end == size)
      break;
  }
}

void RunBalsa(benchmark::State& state, size_t piece) {
  GetProxyConfig()->log_level_ = 1;
  BalsaFrame frame;
  CountingVisitor visitor;
  frame.set_visitor(&visitor);
  const std::vector<std::string>& corpus = TheCorpus();
  for (auto _ : state) {
    for (const std::string& r : corpus) {
      frame.Reset();
      FeedBalsa(&frame, r, piece);
    }
  }
  if (visitor.done != static_cast<int>(state.iterations() * corpus.size()))
    state.SkipWithError("a request did not complete");
  benchmark::DoNotOptimize(visitor.lines);
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}

struct ParserCounts {
  size_t header_bytes = 0;
  size_t body = 0;
  int done = 0;
};

int OnData(http_parser* p, const char*, size_t len) {
  static_cast<ParserCounts*>(p->data)->header_bytes += len;
  return 0;
}
int OnBody(http_parser* p, const char*, size_t len) {
  static_cast<ParserCounts*>(p->data)->body += len;
  return 0;
}
int OnComplete(http_parser* p) {
  ++static_cast<ParserCounts*>(p->data)->done;
  return 0;
}

void RunHttpParser(benchmark::State& state, size_t piece) {
  http_parser_settings settings;
  memset(&settings, 0, sizeof(settings));
  settings.on_url = OnData;
  settings.on_header_field = OnData;
  settings.on_header_value = OnData;
  settings.on_body = OnBody;
  settings.on_message_complete = OnComplete;
  ParserCounts counts;
  http_parser parser;
  const std::vector<std::string>& corpus = TheCorpus();
  for (auto _ : state) {
    for (const std::string& r : corpus) {
      http_parser_init(&parser, HTTP_REQUEST);
      parser.data = &counts;
      const size_t step = piece == 0 ? r.size() : piece;
      for (size_t pos = 0; pos < r.size(); pos += step)
        http_parser_execute(&parser, &settings, r.data() + pos, std::min(step, r.size() - pos));
    }
  }
  if (counts.done != static_cast<int>(state.iterations() * corpus.size()))
    state.SkipWithError("a request did not complete");
  benchmark::DoNotOptimize(counts.header_bytes);
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}

void BM_Balsa_Whole(benchmark::State& state) {
  RunBalsa(state, 0);
}
void BM_Balsa_Pieces64(benchmark::State& state) {
  RunBalsa(state, 64);
}
void BM_Balsa_Bytewise(benchmark::State& state) {
  RunBalsa(state, 1);
}
void BM_HttpParser_Whole(benchmark::State& state) {
  RunHttpParser(state, 0);
}
void BM_HttpParser_Pieces64(benchmark::State& state) {
  RunHttpParser(state, 64);
}
void BM_HttpParser_Bytewise(benchmark::State& state) {
  RunHttpParser(state, 1);
}

BENCHMARK(BM_HttpParser_Whole)->Repetitions(5);
BENCHMARK(BM_Balsa_Whole)->Repetitions(5);
BENCHMARK(BM_HttpParser_Pieces64)->Repetitions(5);
BENCHMARK(BM_Balsa_Pieces64)->Repetitions(5);
BENCHMARK(BM_HttpParser_Bytewise)->Repetitions(5);
BENCHMARK(BM_Balsa_Bytewise)->Repetitions(5);

// Keeps the median throughput of each benchmark's repetitions for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end() && run.run_type == Run::RT_Iteration)
        samples_[run.run_name.function_name].push_back(it->second.value / 1e6);
    }
  }
  std::map<std::string, double> Medians() {
    std::map<std::string, double> medians;
    for (auto& entry : samples_) {
      std::vector<double>& v = entry.second;
      std::sort(v.begin(), v.end());
      medians[entry.first] = v[v.size() / 2];
    }
    return medians;
  }

 private:
  std::map<std::string, std::vector<double>> samples_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::map<std::string, double> m = reporter.Medians();
  printf("\ncorpus: %zu requests, %lld bytes\n", TheCorpus().size(),
         static_cast<long long>(CorpusBytes()));
  printf("median of the repetitions\n%-10s %16s %16s %8s\n", "feeding", "BalsaFrame MB/s",
         "http-parser MB/s", "ratio");
  const char* modes[] = {"Whole", "Pieces64", "Bytewise"};
  for (const char* mode : modes) {
    const double balsa = m["BM_Balsa_" + std::string(mode)];
    const double baseline = m["BM_HttpParser_" + std::string(mode)];
    printf("%-10s %16.1f %16.1f %8.2f\n", mode, balsa, baseline,
           baseline > 0 ? balsa / baseline : 0.0);
  }
  const double whole = m["BM_Balsa_Whole"];
  const double bytewise = m["BM_Balsa_Bytewise"];
  if (whole > 0 && bytewise > 0) {
    printf("BalsaFrame whole / http-parser whole: %.2f (goal >= 1.0)\n",
           whole / m["BM_HttpParser_Whole"]);
    printf("BalsaFrame bytewise cost per byte / whole cost per byte: %.2f (goal <= 10)\n",
           whole / bytewise);
  }
  benchmark::Shutdown();
  return 0;
}
