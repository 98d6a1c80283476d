#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>

#include "daemon/front/recording_visitor_helper.h"
#include "front/balsa_frame.h"
#include "stream/http_header_list.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

struct Parsed {
  BalsaFrameEnums::ParseState state;
  BalsaFrameEnums::ErrorCode error;
  std::string first_call;
  std::string lookup;
};

// Feeds one request whole and reports the outcome; `lookup` names a line to read back.
Parsed Parse(const std::string& request, const char* lookup) {
  BalsaFrame frame;
  RecordingVisitor visitor;
  frame.set_visitor(&visitor);
  frame.ProcessInput(request.data(), request.size());
  Parsed parsed{frame.ParseState(), frame.ErrorCode(),
                visitor.calls.empty() ? std::string() : visitor.calls[0], std::string()};
  HttpHeaderList::const_iterator line = frame.headers().Lookup(lookup);
  if (line != frame.headers().end())
    parsed.lookup = line->value;
  return parsed;
}

// A GET whose header block is exactly `total` bytes, filled with value lines.
std::string BlockOfSize(size_t total) {
  std::string block = "GET / HTTP/1.1\r\n";
  size_t left = total - block.size() - 2;
  while (left > 0) {
    // "a: " + value + CR LF; keep at least one short line's worth for the last line.
    size_t value = left - 5;
    if (value > 10000)
      value = std::min<size_t>(10000, left - 10);
    block += "a: " + std::string(value, 'v') + "\r\n";
    left -= value + 5;
  }
  block += "\r\n";
  return block;
}

TEST(BalsaFrameLimits, HeaderKeyOf127IsAcceptedAnd128Refused) {
  const std::string key127(127, 'K');
  Parsed ok = Parse("GET / HTTP/1.1\r\n" + key127 + ": v\r\n\r\n", key127.c_str());
  EXPECT_EQ(BalsaFrame::MESSAGE_FULLY_READ, ok.state);
  EXPECT_EQ("v", ok.lookup);

  Parsed bad = Parse("GET / HTTP/1.1\r\n" + key127 + "K: v\r\n\r\n", "method");
  EXPECT_EQ(BalsaFrame::READ_GENERAL_HEADER_KEY_FAILE, bad.error);
  EXPECT_EQ("HeaderError(READ_GENERAL_HEADER_KEY_FAILE)", bad.first_call);
  EXPECT_EQ("GET", bad.lookup);
}

TEST(BalsaFrameLimits, MethodTokenOf10239IsAcceptedAnd10240Refused) {
  const std::string method(10239, 'M');
  Parsed ok = Parse(method + " / HTTP/1.1\r\n\r\n", "method");
  EXPECT_EQ(BalsaFrame::MESSAGE_FULLY_READ, ok.state);
  EXPECT_EQ(method, ok.lookup);

  Parsed bad = Parse(method + "M / HTTP/1.1\r\n\r\n", "method");
  EXPECT_EQ(BalsaFrame::PARSE_VERSION_IN_RESPONSE_FAILED, bad.error);
  EXPECT_EQ("", bad.lookup);
}

TEST(BalsaFrameLimits, UriTokenOf10239IsAcceptedAnd10240Refused) {
  const std::string uri = "/" + std::string(10238, 'u');
  Parsed ok = Parse("GET " + uri + " HTTP/1.1\r\n\r\n", "url");
  EXPECT_EQ(BalsaFrame::MESSAGE_FULLY_READ, ok.state);
  EXPECT_EQ(uri, ok.lookup);
  // Ended by the line end instead of a blank.
  ok = Parse("GET " + uri + "\r\n\r\n", "url");
  EXPECT_EQ(uri, ok.lookup);

  Parsed bad = Parse("GET " + uri + "u HTTP/1.1\r\n\r\n", "method");
  EXPECT_EQ(BalsaFrame::PARSE_STATUS_IN_RESPONSE_FAILED, bad.error);
  EXPECT_EQ("HeaderError(PARSE_STATUS_IN_RESPONSE_FAILED)", bad.first_call);
  EXPECT_EQ("GET", bad.lookup);
}

TEST(BalsaFrameLimits, HeaderValueOf10239IsAcceptedAnd10240Refused) {
  const std::string value(10239, 'v');
  Parsed ok = Parse("GET / HTTP/1.1\r\nCookie: " + value + "\r\n\r\n", "cookie");
  EXPECT_EQ(BalsaFrame::MESSAGE_FULLY_READ, ok.state);
  EXPECT_EQ(value, ok.lookup);
  // Blanks after the colon are not part of the value.
  ok = Parse("GET / HTTP/1.1\r\nCookie:    " + value + "\r\n\r\n", "cookie");
  EXPECT_EQ(value, ok.lookup);

  Parsed bad = Parse("GET / HTTP/1.1\r\nCookie: " + value + "v\r\n\r\n", "cookie");
  EXPECT_EQ(BalsaFrame::READ_GENERAL_HEADER_VALUE_FAILED, bad.error);
  EXPECT_EQ("", bad.lookup);
}

TEST(BalsaFrameLimits, HeaderBlocksOf32767And32768BytesAreAccepted) {
  for (size_t size : {32767u, 32768u}) {
    const std::string block = BlockOfSize(size);
    ASSERT_EQ(size, block.size());
    BalsaFrame frame;
    RecordingVisitor visitor;
    frame.set_visitor(&visitor);
    EXPECT_EQ(size, frame.ProcessInput((block + "tail").data(), size + 4));
    EXPECT_TRUE(frame.MessageFullyRead()) << size;
    EXPECT_EQ(1, visitor.headers_calls);
    EXPECT_EQ(size, frame.header_length());

    // The same block with its terminator split over two calls.
    BalsaFrame split;
    EXPECT_EQ(size - 2, split.ProcessInput(block.data(), size - 2));
    EXPECT_EQ(2u, split.ProcessInput(block.data() + size - 2, 2));
    EXPECT_TRUE(split.MessageFullyRead()) << size;
  }
}

TEST(BalsaFrameLimits, BlockWithoutEndInItsFirst32768BytesFailsOnThe32768thByte) {
  const std::string block = BlockOfSize(32769);
  BalsaFrame whole;
  RecordingVisitor visitor;
  whole.set_visitor(&visitor);
  EXPECT_EQ(32768u, whole.ProcessInput(block.data(), block.size()));
  EXPECT_THAT(visitor.calls, ElementsAre("HeaderError(HEADERS_TOO_LONG)"));
  EXPECT_EQ(0u, whole.ProcessInput(block.data() + 32768, 1));

  BalsaFrame bytewise;
  for (size_t i = 0; i < 32767; ++i)
    ASSERT_EQ(1u, bytewise.ProcessInput(block.data() + i, 1)) << i;
  EXPECT_EQ(BalsaFrame::READING_HEADER_AND_FIRSTLINE, bytewise.ParseState());
  EXPECT_EQ(1u, bytewise.ProcessInput(block.data() + 32767, 1));
  EXPECT_EQ(BalsaFrame::HEADERS_TOO_LONG, bytewise.ErrorCode());
  EXPECT_EQ(0u, bytewise.ProcessInput(block.data() + 32768, 1));
}

class ChunkSizeLimit : public ::testing::Test {
 protected:
  void Start() {
    frame_.set_visitor(&visitor_);
    const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    ASSERT_EQ(head.size(), frame_.ProcessInput(head.data(), head.size()));
  }
  BalsaFrame frame_;
  RecordingVisitor visitor_;
};

TEST_F(ChunkSizeLimit, FFFFFFFFIsTheLargestSize) {
  Start();
  const std::string line = "FFFFFFFF\r\nabc";
  EXPECT_EQ(line.size(), frame_.ProcessInput(line.data(), line.size()));
  EXPECT_THAT(visitor_.calls, ElementsAre(HasSubstr("Headers("), "ChunkLength(4294967295)",
                                          "BodyInput(FFFFFFFF\r\nabc)", "BodyData(abc)"));
  EXPECT_EQ(BalsaFrame::READING_CHUNK_DATA, frame_.ParseState());
}

TEST_F(ChunkSizeLimit, LeadingZerosDoNotCount) {
  Start();
  const std::string line = "00000000ffffffff;\r\n";
  frame_.ProcessInput(line.data(), line.size());
  EXPECT_THAT(visitor_.calls, ::testing::Contains("ChunkLength(4294967295)"));
}

TEST_F(ChunkSizeLimit, OneHexDigitMoreOverflows) {
  Start();
  const std::string line = "FFFFFFFFF\r\n";
  EXPECT_EQ(9u, frame_.ProcessInput(line.data(), line.size()));
  EXPECT_EQ(BalsaFrame::CHUNK_LENGTH_OVERFLOW, frame_.ErrorCode());
  EXPECT_THAT(visitor_.calls, ElementsAre(HasSubstr("Headers("), "BodyInput(FFFFFFFFF)",
                                          "ChunkingError(CHUNK_LENGTH_OVERFLOW)"));
}

TEST_F(ChunkSizeLimit, NineDigitsBeyond32BitsOverflowEvenWhenFedBytewise) {
  Start();
  const std::string line = "100000000\r\n";
  for (size_t i = 0; i < 8; ++i)
    ASSERT_EQ(1u, frame_.ProcessInput(line.data() + i, 1));
  EXPECT_EQ(1u, frame_.ProcessInput(line.data() + 8, 1));
  EXPECT_EQ(BalsaFrame::CHUNK_LENGTH_OVERFLOW, frame_.ErrorCode());
  EXPECT_EQ("100000000", visitor_.raw_input);
}

TEST(BalsaFrameLimits, ContentLengthUpToTheRangeOfLong) {
  const std::string largest = std::to_string(LONG_MAX);
  BalsaFrame ok;
  std::string request = "POST / HTTP/1.1\r\nContent-Length: " + largest + "\r\n\r\n";
  ok.ProcessInput(request.data(), request.size());
  EXPECT_EQ(BalsaFrame::READING_CONTENT, ok.ParseState());
  EXPECT_EQ(static_cast<size_t>(LONG_MAX), ok.content_length());

  std::string beyond = largest;
  beyond.back() = static_cast<char>(beyond.back() + 1);
  BalsaFrame bad;
  request = "POST / HTTP/1.1\r\nContent-Length: " + beyond + "\r\n\r\n";
  bad.ProcessInput(request.data(), request.size());
  EXPECT_EQ(BalsaFrame::UNPARSABLE_CONTENT_LENGTH, bad.ErrorCode());
}

}  // namespace
