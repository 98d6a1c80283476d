// Feeding a message in any pieces must give what feeding it whole gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/proxy_config.h"
#include "daemon/front/recording_visitor_helper.h"
#include "front/balsa_frame.h"

using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

struct Sample {
  const char* name;
  std::string message;
  BalsaFrameEnums::ParseState state;
  BalsaFrameEnums::ErrorCode error;
  std::string body;
};

std::string ManyHeaderGet() {
  std::string m =
      "GET http://www.example.com/news/index.html?id=42&lang=en HTTP/1.1\r\n"
      "Host: www.example.com\r\n"
      "User-Agent: Mozilla/5.0 (Linux; Android 4.4.2; Nexus 5) AppleWebKit/537.36\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
      "Accept-Language: en-US,en;q=0.8\r\n"
      "Accept-Encoding: gzip, deflate\r\n"
      "Cookie: session=abcdef0123456789; theme=dark; tracking=" +
      std::string(300, 'z') + "\r\n";
  for (int i = 0; i < 70; ++i)
    m += "X-Extra-" + std::to_string(i) + ":  value " + std::to_string(i * 7) + " \r\n";
  m += "Proxy-Connection: keep-alive\r\n\r\n";
  return m;
}

std::vector<Sample> Samples() {
  const std::string chunked_head =
      "POST /upload HTTP/1.1\r\nHost: up.example.com\r\nTransfer-Encoding: chunked\r\n"
      "Content-Type: application/octet-stream\r\n\r\n";
  return {
      {"plain get", "GET /a HTTP/1.1\r\nHost: x\r\n\r\n", BalsaFrame::MESSAGE_FULLY_READ,
       BalsaFrame::NO_ERROR, ""},
      {"many headers", ManyHeaderGet() + "GET /next HTTP/1.1\r\n", BalsaFrame::MESSAGE_FULLY_READ,
       BalsaFrame::NO_ERROR, ""},
      {"post with length",
       "POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: "
       "27\r\n\r\nname=value&other=more+stuffEXTRA",
       BalsaFrame::MESSAGE_FULLY_READ, BalsaFrame::NO_ERROR, "name=value&other=more+stuff"},
      {"chunked upload",
       chunked_head + "5;name=\"a\rb\"\r\nhello\r\n"
                      "1A ; x \r\n0123456789abcdefghijklmnop\r\n"
                      "3\nabc\n"
                      "000;last\r\nX-Checksum: 99\r\nX-Other: \r\n\r\nGET",
       BalsaFrame::MESSAGE_FULLY_READ, BalsaFrame::NO_ERROR, "hello0123456789abcdefghijklmnopabc"},
      {"chunked without trailer", chunked_head + "4\r\nwxyz\r\n0\r\n\r\n",
       BalsaFrame::MESSAGE_FULLY_READ, BalsaFrame::NO_ERROR, "wxyz"},
      {"response-length body still open", "PUT /big HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123",
       BalsaFrame::READING_CONTENT, BalsaFrame::NO_ERROR, "0123"},
      {"key too long", "GET / HTTP/1.1\r\nA: b\r\n" + std::string(200, 'k') + ": v\r\n\r\nbody",
       BalsaFrame::PARSE_ERROR, BalsaFrame::READ_GENERAL_HEADER_KEY_FAILE, ""},
      {"post without length", "POST /p HTTP/1.1\r\nHost: h\r\n\r\nbody", BalsaFrame::PARSE_ERROR,
       BalsaFrame::REQUIRED_BODY_BUT_NO_CONTENT_LENGTH, ""},
      {"negative length", "POST /p HTTP/1.1\r\nContent-Length: -5\r\n\r\n", BalsaFrame::PARSE_ERROR,
       BalsaFrame::UNPARSABLE_CONTENT_LENGTH, ""},
      {"only line ends", "\r\n\r\nGET / HTTP/1.1\r\n\r\n", BalsaFrame::PARSE_ERROR,
       BalsaFrame::NO_REQUEST_LINE_IN_REQUEST, ""},
      {"bad chunk after a good one", chunked_head + "2;e=1\r\nok\r\n2x\r\nno\r\n0\r\n\r\n",
       BalsaFrame::PARSE_ERROR, BalsaFrame::INVALID_CHUNK_LENGTH, "ok"},
      {"chunk overflow", chunked_head + "1\r\n!\r\n123456789\r\n", BalsaFrame::PARSE_ERROR,
       BalsaFrame::CHUNK_LENGTH_OVERFLOW, "!"},
  };
}

// Thousands of failing feeds would flood the log with warnings.
class BalsaFrameSplit : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetProxyConfig()->log_level_;
    GetProxyConfig()->log_level_ = 0;
  }
  void TearDown() override { GetProxyConfig()->log_level_ = saved_; }

 private:
  int saved_ = 1;
};

void ExpectSame(const FeedOutcome& whole, const FeedOutcome& split, const std::string& where) {
  EXPECT_EQ(whole.events, split.events) << where;
  EXPECT_EQ(whole.raw_input, split.raw_input) << where;
  EXPECT_EQ(whole.body, split.body) << where;
  EXPECT_EQ(whole.extensions, split.extensions) << where;
  EXPECT_EQ(whole.trailer, split.trailer) << where;
  EXPECT_EQ(whole.state, split.state) << where;
  EXPECT_EQ(whole.error, split.error) << where;
  EXPECT_EQ(whole.left_over, split.left_over) << where;
  EXPECT_EQ(0, split.calls_after_end) << where;
  EXPECT_FALSE(split.over_consumed) << where;
}

TEST_F(BalsaFrameSplit, WholeFeedGivesTheExpectedResult) {
  for (const Sample& s : Samples()) {
    const FeedOutcome whole = FeedWhole(s.message);
    EXPECT_EQ(s.state, whole.state) << s.name;
    EXPECT_EQ(s.error, whole.error) << s.name;
    EXPECT_EQ(s.body, whole.body) << s.name;
    EXPECT_EQ(0, whole.calls_after_end) << s.name;
    // Raw body input and trailer together are exactly the bytes after the header block.
    if (s.state == BalsaFrame::MESSAGE_FULLY_READ || s.state == BalsaFrame::READING_CONTENT) {
      const size_t block_end = s.message.find("\r\n\r\n") + 4;
      EXPECT_EQ(s.message.substr(block_end, s.message.size() - block_end - whole.left_over.size()),
                whole.raw_input + whole.trailer)
          << s.name;
    }
  }
}

TEST_F(BalsaFrameSplit, ChunkedUploadDetails) {
  const FeedOutcome whole = FeedWhole(Samples()[3].message);
  EXPECT_EQ("GET", whole.left_over);
  EXPECT_EQ("X-Checksum: 99\r\nX-Other: \r\n\r\n", whole.trailer);
  EXPECT_THAT(whole.events, Contains("Extensions(;name=\"a\rb\")"));
  EXPECT_THAT(whole.events, Contains("Extensions( ; x )"));
  EXPECT_THAT(whole.events, Contains("Extensions(;last)"));
  EXPECT_THAT(whole.events, Contains("ChunkLength(26)"));
  EXPECT_THAT(whole.events, Contains("ChunkLength(0)"));
  EXPECT_EQ("MessageDone", whole.events.back());
}

TEST_F(BalsaFrameSplit, EverySingleCutGivesTheSameResult) {
  for (const Sample& s : Samples()) {
    const FeedOutcome whole = FeedWhole(s.message);
    for (size_t cut = 1; cut < s.message.size(); ++cut) {
      ExpectSame(whole, FeedInPieces(s.message, {cut}),
                 std::string(s.name) + " cut at " + std::to_string(cut));
      if (::testing::Test::HasFailure())
        return;
    }
  }
}

TEST_F(BalsaFrameSplit, OneByteAtATimeGivesTheSameResult) {
  for (const Sample& s : Samples()) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < s.message.size(); ++i)
      cuts.push_back(i);
    ExpectSame(FeedWhole(s.message), FeedInPieces(s.message, cuts),
               std::string(s.name) + " bytewise");
  }
}

TEST_F(BalsaFrameSplit, RandomPiecesGiveTheSameResult) {
  std::mt19937 random(20240611);
  for (const Sample& s : Samples()) {
    const FeedOutcome whole = FeedWhole(s.message);
    for (int round = 0; round < 200; ++round) {
      std::vector<size_t> cuts;
      const int longest = round % 3 == 0 ? 4 : (round % 3 == 1 ? 40 : 400);
      size_t at = 0;
      for (;;) {
        at += 1 + random() % longest;
        if (at >= s.message.size())
          break;
        cuts.push_back(at);
      }
      ExpectSame(whole, FeedInPieces(s.message, cuts),
                 std::string(s.name) + " round " + std::to_string(round));
      if (::testing::Test::HasFailure())
        return;
    }
  }
}

TEST_F(BalsaFrameSplit, HeaderBlockCompletesInTheCallHoldingItsLastByte) {
  const std::string message = ManyHeaderGet();
  for (size_t cut = 1; cut < message.size(); ++cut) {
    BalsaFrame frame;
    RecordingVisitor visitor;
    frame.set_visitor(&visitor);
    ASSERT_EQ(cut, frame.ProcessInput(message.data(), cut));
    ASSERT_EQ(0, visitor.headers_calls) << cut;
    ASSERT_EQ(message.size() - cut, frame.ProcessInput(message.data() + cut, message.size() - cut));
    ASSERT_EQ(1, visitor.headers_calls) << cut;
  }
}

TEST_F(BalsaFrameSplit, BigHeaderBlockFedBytewise) {
  // Enough lines to grow the line array, fed in single bytes.
  std::string message = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 2000; ++i)
    message += "H" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
  message += "\r\n";
  ASSERT_LT(message.size(), 32768u);
  BalsaFrame frame;
  RecordingVisitor visitor;
  frame.set_visitor(&visitor);
  for (size_t i = 0; i < message.size(); ++i)
    ASSERT_EQ(1u, frame.ProcessInput(message.data() + i, 1));
  EXPECT_TRUE(frame.MessageFullyRead());
  EXPECT_EQ(2003, frame.headers().line_count());
  EXPECT_THAT(visitor.calls.at(0), HasSubstr("h1999=1999|h2=2|"));
}

}  // namespace
