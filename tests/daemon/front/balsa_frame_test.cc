#include "front/balsa_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "core/proxy_config.h"
#include "daemon/front/recording_visitor_helper.h"
#include "stream/http_header_list.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class BalsaFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { frame_.set_visitor(&visitor_); }

  size_t Feed(const std::string& bytes) { return frame_.ProcessInput(bytes.data(), bytes.size()); }

  // Feeds like the front connection: offers what is left until a call consumes nothing.
  std::string FeedAll(const std::string& bytes) {
    std::string waiting = bytes;
    while (!waiting.empty()) {
      const size_t consumed = Feed(waiting);
      EXPECT_LE(consumed, waiting.size());
      if (consumed == 0)
        break;
      waiting.erase(0, consumed);
    }
    return waiting;
  }

  BalsaFrame frame_;
  RecordingVisitor visitor_;
};

const char kChunkedHead[] = "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST_F(BalsaFrameTest, SimpleGetGivesSortedLinesAndEndsInOneCallConsumingOnlyTheBlock) {
  const std::string block = "GET /a HTTP/1.0\r\nHost: x\r\n\r\n";
  EXPECT_EQ(block.size(), Feed(block + "extra"));
  EXPECT_THAT(visitor_.calls,
              ElementsAre("Headers(host=x|method=GET|url=/a|version=HTTP/1.1)", "MessageDone"));
  EXPECT_TRUE(frame_.MessageFullyRead());
  EXPECT_EQ(BalsaFrame::NO_ERROR, frame_.ErrorCode());
  EXPECT_EQ(4, frame_.headers().line_count());
}

TEST_F(BalsaFrameTest, HeaderBlockOneBytePerCallIsConsumedBytewiseAndEndsOnLastLf) {
  const std::string block = "GET /a HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n";
  for (size_t i = 0; i < block.size(); ++i) {
    ASSERT_EQ(1u, frame_.ProcessInput(block.data() + i, 1)) << i;
    if (i + 1 < block.size()) {
      ASSERT_TRUE(visitor_.calls.empty()) << i;
      ASSERT_EQ(BalsaFrame::READING_HEADER_AND_FIRSTLINE, frame_.ParseState());
    }
  }
  EXPECT_EQ(block.size(), frame_.header_length());
  EXPECT_THAT(
      visitor_.calls,
      ElementsAre("Headers(accept=*/*|host=x|method=GET|url=/a|version=HTTP/1.1)", "MessageDone"));
}

TEST_F(BalsaFrameTest, LfLfDoesNotEndTheBlockButCrLfCrLfAfterItDoes) {
  EXPECT_EQ(22u, Feed("GET / HTTP/1.1\n\nA: b\r\n"));
  EXPECT_TRUE(visitor_.calls.empty());
  EXPECT_EQ(2u, Feed("\r\nbody"));
  EXPECT_THAT(visitor_.calls,
              ElementsAre("Headers(a=b|method=GET|url=/|version=HTTP/1.1)", "MessageDone"));
}

TEST_F(BalsaFrameTest, BodyBytesWaitForTheNextCall) {
  const std::string block = "PUT /f HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
  EXPECT_EQ(block.size(), Feed(block + "abcdef"));
  EXPECT_EQ(BalsaFrame::READING_CONTENT, frame_.ParseState());
  EXPECT_EQ(1u, visitor_.calls.size());
  EXPECT_EQ(4u, Feed("abcdef"));
  EXPECT_THAT(visitor_.calls,
              ElementsAre("Headers(content-length=4|method=PUT|url=/f|version=HTTP/1.1)",
                          "BodyInput(abcd)", "BodyData(abcd)", "MessageDone"));
  EXPECT_EQ(0u, Feed("ef"));
}

TEST_F(BalsaFrameTest, ContentBodyInPiecesEndsExactlyAtItsLength) {
  Feed("POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\n");
  EXPECT_EQ(2u, Feed("he"));
  EXPECT_EQ(BalsaFrame::READING_CONTENT, frame_.ParseState());
  EXPECT_EQ(3u, Feed("lloX"));
  EXPECT_THAT(visitor_.calls, ElementsAre(HasSubstr("Headers("), "BodyInput(he)", "BodyData(he)",
                                          "BodyInput(llo)", "BodyData(llo)", "MessageDone"));
  EXPECT_EQ(0, visitor_.calls_after_end);
}

TEST_F(BalsaFrameTest, PostOrPutWithoutLengthFailsAfterHeaders) {
  for (const char* request : {"POST /p HTTP/1.1\r\n\r\n", "PUT /p HTTP/1.1\r\n\r\n"}) {
    BalsaFrame frame;
    RecordingVisitor visitor;
    frame.set_visitor(&visitor);
    frame.ProcessInput(request, strlen(request));
    ASSERT_EQ(2u, visitor.calls.size()) << request;
    EXPECT_THAT(visitor.calls[0], HasSubstr("Headers("));
    EXPECT_EQ("HeaderError(REQUIRED_BODY_BUT_NO_CONTENT_LENGTH)", visitor.calls[1]);
    EXPECT_TRUE(frame.Error());
    EXPECT_EQ(0u, frame.ProcessInput("x", 1));
  }
}

TEST_F(BalsaFrameTest, GetWithoutLengthIsCompleteAtOnce) {
  FeedAll("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_TRUE(frame_.MessageFullyRead());
  EXPECT_EQ(1, visitor_.message_done_calls);
}

TEST_F(BalsaFrameTest, BodyRuleUsesTheRequestLineNotAClientMethodHeader) {
  // A client line named "method" sorts after the request line's own.
  FeedAll("GET / HTTP/1.1\r\nMethod: POST\r\n\r\n");
  EXPECT_TRUE(frame_.MessageFullyRead());
  EXPECT_STREQ("GET", frame_.headers().Lookup("method")->value);

  BalsaFrame post;
  RecordingVisitor visitor;
  post.set_visitor(&visitor);
  const std::string request = "POST / HTTP/1.1\r\nmethod: GET\r\n\r\n";
  post.ProcessInput(request.data(), request.size());
  EXPECT_EQ(BalsaFrame::REQUIRED_BODY_BUT_NO_CONTENT_LENGTH, post.ErrorCode());
}

TEST_F(BalsaFrameTest, ContentLengthValues) {
  struct Case {
    const char* value;
    BalsaFrameEnums::ParseState state;
    BalsaFrameEnums::ErrorCode error;
    size_t length;
  } cases[] = {
      {"0", BalsaFrame::MESSAGE_FULLY_READ, BalsaFrame::NO_ERROR, 0},
      {"12", BalsaFrame::READING_CONTENT, BalsaFrame::NO_ERROR, 12},
      {"12 \t", BalsaFrame::READING_CONTENT, BalsaFrame::NO_ERROR, 12},
      // Anything but a plain decimal number is refused before the headers go anywhere: two
      // readers could take it for two lengths.
      {"-5", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH, 0},
      {"+5", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH, 0},
      {"12abc", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH, 0},
      {"abc", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH, 0},
      {"", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH, 0},
      {"5, 5", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH, 0},
      {"0x10", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH, 0},
      // Beyond the range of long: refused rather than taken as a clamped length.
      {"99999999999999999999999", BalsaFrame::PARSE_ERROR, BalsaFrame::UNPARSABLE_CONTENT_LENGTH,
       0},
  };
  for (const Case& c : cases) {
    BalsaFrame frame;
    RecordingVisitor visitor;
    frame.set_visitor(&visitor);
    const std::string request =
        std::string("POST / HTTP/1.1\r\nContent-Length: ") + c.value + "\r\n\r\n";
    frame.ProcessInput(request.data(), request.size());
    EXPECT_EQ(c.state, frame.ParseState()) << c.value;
    EXPECT_EQ(c.error, frame.ErrorCode()) << c.value;
    ASSERT_FALSE(visitor.calls.empty());
    if (c.error == BalsaFrame::NO_ERROR) {
      EXPECT_EQ(c.length, frame.content_length()) << c.value;
      EXPECT_THAT(visitor.calls[0], HasSubstr("Headers(")) << c.value;
    } else {
      EXPECT_THAT(visitor.calls, ElementsAre("HeaderError(UNPARSABLE_CONTENT_LENGTH)")) << c.value;
      EXPECT_TRUE(BalsaFrame::IsRefusedHead(frame.ErrorCode()));
    }
  }
}

TEST_F(BalsaFrameTest, HeadsThatTwoReadersCouldTakeDifferentlyAreRefused) {
  struct Case {
    const char* lines;
    BalsaFrameEnums::ErrorCode error;
  } cases[] = {
      {"Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"transfer-encoding: chunked\r\ncontent-length: 3\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"Content-Length: 3\r\nContent-Length: 4\r\n", BalsaFrame::MULTIPLE_CONTENT_LENGTH_KEYS},
      {"Transfer-Encoding: gzip, chunked\r\n", BalsaFrame::UNKNOWN_TRANSFER_ENCODING},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n",
       BalsaFrame::MULTIPLE_TRANSFER_ENCODING_KEYS},
      {"Bad Name: v\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"Host : v\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {": v\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"X-A: 1\r\n folded: 2\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"N\xe9me: v\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"X-Nul: a\0b\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"X-Cr: a\rb\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
      {"No-Colon\r\nNext: 1\r\n", BalsaFrame::INVALID_HEADER_FORMAT},
  };
  for (const Case& c : cases) {
    BalsaFrame frame;
    RecordingVisitor visitor;
    frame.set_visitor(&visitor);
    std::string request = std::string("POST / HTTP/1.1\r\n") + c.lines + "\r\n";
    if (strstr(c.lines, "X-Nul") != nullptr)
      request = std::string("POST / HTTP/1.1\r\nX-Nul: a\0b\r\n\r\n", 31);
    frame.ProcessInput(request.data(), request.size());
    EXPECT_EQ(c.error, frame.ErrorCode()) << c.lines;
    EXPECT_TRUE(BalsaFrame::IsRefusedHead(frame.ErrorCode())) << c.lines;
    // Refused before the header list goes out: nothing of the request reaches anyone.
    EXPECT_EQ(0, visitor.headers_calls) << c.lines;
  }

  // The same length twice is one length; blanks after "chunked" are not part of it.
  BalsaFrame twice;
  std::string request = "POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n";
  twice.ProcessInput(request.data(), request.size());
  EXPECT_EQ(BalsaFrame::READING_CONTENT, twice.ParseState());
  EXPECT_EQ(2u, twice.content_length());
  BalsaFrame chunked;
  request = "POST / HTTP/1.1\r\nTransfer-Encoding: Chunked  \r\n\r\n";
  chunked.ProcessInput(request.data(), request.size());
  EXPECT_EQ(BalsaFrame::READING_CHUNK_LENGTH, chunked.ParseState());
  // Errors the parser always raised are no refused head.
  EXPECT_FALSE(BalsaFrame::IsRefusedHead(BalsaFrame::HEADERS_TOO_LONG));
  EXPECT_FALSE(BalsaFrame::IsRefusedHead(BalsaFrame::REQUIRED_BODY_BUT_NO_CONTENT_LENGTH));
}

TEST_F(BalsaFrameTest, ChunkedBodyWithExtensionGivesTheExactSequence) {
  Feed(kChunkedHead);
  visitor_.calls.clear();
  const std::string body = "5;x=y\r\nhello\r\n0\r\n\r\n";
  EXPECT_EQ(body.size(), Feed(body + "next"));
  EXPECT_THAT(
      visitor_.calls,
      ElementsAre("ChunkLength(5)", "Extensions(;x=y)", "BodyInput(5;x=y\r\nhello)",
                  "BodyData(hello)", "ChunkLength(0)", "BodyInput(\r\n0\r\n\r\n)", "MessageDone"));
  EXPECT_TRUE(frame_.MessageFullyRead());
}

TEST_F(BalsaFrameTest, TrailerLinesGoToTrailerInputOnly) {
  Feed(kChunkedHead);
  visitor_.calls.clear();
  const std::string body = "3\r\nabc\r\n0\r\nX-Sum: 1\r\nY: 2\r\n\r\n";
  EXPECT_EQ(body.size(), Feed(body));
  EXPECT_THAT(visitor_.calls, ElementsAre("ChunkLength(3)", "BodyInput(3\r\nabc)", "BodyData(abc)",
                                          "ChunkLength(0)", "BodyInput(\r\n0\r\n)",
                                          "Trailer(X-Sum: 1\r\nY: 2\r\n\r\n)", "MessageDone"));
}

TEST_F(BalsaFrameTest, TrailerSplitAcrossCallsIsReportedPerCall) {
  Feed(kChunkedHead);
  Feed("0\r\nX: 1");
  Feed("\r");
  Feed("\n\nrest");
  EXPECT_EQ("X: 1\r\n\n", visitor_.trailer);
  EXPECT_TRUE(frame_.MessageFullyRead());
  EXPECT_EQ(0, visitor_.calls_after_end);
}

TEST_F(BalsaFrameTest, BareLfLineEndsAreAcceptedInChunkFraming) {
  Feed(kChunkedHead);
  const std::string body = "2\nhi\n0\n\n";
  EXPECT_EQ(body.size(), Feed(body));
  EXPECT_EQ("hi", visitor_.body);
  EXPECT_TRUE(frame_.MessageFullyRead());
}

TEST_F(BalsaFrameTest, ChunkTermSkipsAnythingUpToTheLf) {
  Feed(kChunkedHead);
  Feed("5\r\nhelloJUNK\r\n1\r\n!\r\n0\r\n\r\n");
  EXPECT_EQ("hello!", visitor_.body);
  EXPECT_TRUE(frame_.MessageFullyRead());
}

TEST_F(BalsaFrameTest, ExtensionCrAtTheEndOfAnInputIsResolvedByTheNextByte) {
  Feed(kChunkedHead);
  Feed("5;a\r");
  Feed("b\r");
  Feed("\nhello\r\n0\r\n\r\n");
  EXPECT_EQ(";a\rb", visitor_.extensions);
  EXPECT_EQ("hello", visitor_.body);
  EXPECT_TRUE(frame_.MessageFullyRead());
}

TEST_F(BalsaFrameTest, ChunkSizeLineErrors) {
  struct Case {
    const char* body;
    BalsaFrameEnums::ErrorCode error;
    const char* raw;
  } cases[] = {
      {"100000000\r\n", BalsaFrame::CHUNK_LENGTH_OVERFLOW, "100000000"},
      {"g\r\n", BalsaFrame::INVALID_CHUNK_LENGTH, "g"},
      {"\x80\r\n", BalsaFrame::INVALID_CHUNK_LENGTH, "\x80"},
      {";x\r\n", BalsaFrame::INVALID_CHUNK_LENGTH, ";"},
      {"\r\n", BalsaFrame::INVALID_CHUNK_LENGTH, "\r"},
      {"-1\r\n", BalsaFrame::INVALID_CHUNK_LENGTH, "-"},
      {"1\r\na\r\n\r\n", BalsaFrame::INVALID_CHUNK_LENGTH, "\r\n\r"},
  };
  for (const Case& c : cases) {
    BalsaFrame frame;
    RecordingVisitor visitor;
    frame.set_visitor(&visitor);
    frame.ProcessInput(kChunkedHead, strlen(kChunkedHead));
    const std::string body = c.body;
    const size_t consumed = frame.ProcessInput(body.data(), body.size());
    EXPECT_EQ(body.find(c.raw) + strlen(c.raw), consumed) << c.body;
    EXPECT_EQ(body.substr(0, consumed), visitor.raw_input) << c.body;
    EXPECT_EQ(c.error, frame.ErrorCode()) << c.body;
    EXPECT_TRUE(frame.Error());
    ASSERT_GE(visitor.calls.size(), 2u);
    // Raw bytes first, then the error, then silence.
    EXPECT_EQ(std::string("BodyInput(") + c.raw + ")", visitor.calls[visitor.calls.size() - 2]);
    EXPECT_EQ(std::string("ChunkingError(") + BalsaFrame::ErrorCodeToString(c.error) + ")",
              visitor.calls.back());
    EXPECT_EQ(0u, frame.ProcessInput("1\r\n", 3));
  }
}

TEST_F(BalsaFrameTest, ChunkSizeClassesAcceptEveryHexDigitAndDelimiter) {
  Feed(kChunkedHead);
  Feed("00aF\t;ext\r\n");
  EXPECT_THAT(visitor_.calls, Contains("ChunkLength(175)"));
  EXPECT_EQ("\t;ext", visitor_.extensions);
  EXPECT_EQ(BalsaFrame::READING_CHUNK_DATA, frame_.ParseState());

  BalsaFrame blank;
  RecordingVisitor visitor;
  blank.set_visitor(&visitor);
  blank.ProcessInput(kChunkedHead, strlen(kChunkedHead));
  const std::string body = "B 1\r\n";
  blank.ProcessInput(body.data(), body.size());
  EXPECT_THAT(visitor.calls, Contains("ChunkLength(11)"));
  EXPECT_EQ(" 1", visitor.extensions);
}

TEST_F(BalsaFrameTest, AfterTheMessageNothingIsConsumedUntilReset) {
  const std::string request = "GET /1 HTTP/1.1\r\n\r\n";
  Feed(request);
  ASSERT_TRUE(frame_.MessageFullyRead());
  EXPECT_EQ(0u, Feed("GET /2 HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(1, visitor_.headers_calls);

  frame_.Reset();
  EXPECT_EQ(BalsaFrame::READING_HEADER_AND_FIRSTLINE, frame_.ParseState());
  EXPECT_EQ(0, frame_.headers().line_count());
  EXPECT_EQ(0u, frame_.header_length());
  Feed("GET /2 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(2, visitor_.headers_calls);
  EXPECT_EQ("/2", std::string(frame_.headers().Lookup("url")->value));
}

TEST_F(BalsaFrameTest, ResetClearsMessageStateButKeepsModeAndVisitor) {
  frame_.set_is_request(false);
  FeedAll("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7\r\nab");
  ASSERT_EQ(BalsaFrame::READING_CHUNK_DATA, frame_.ParseState());
  frame_.Reset();
  EXPECT_FALSE(frame_.transfer_encoding_is_chunked());
  EXPECT_EQ(BalsaFrame::NO_CONTENT_LENGTH, frame_.content_length_status());
  EXPECT_EQ(0, frame_.parsed_response_code());
  EXPECT_FALSE(frame_.is_request());
  visitor_.calls.clear();
  FeedAll("HTTP/1.1 204 No Content\r\n\r\n");
  EXPECT_THAT(visitor_.calls, ElementsAre(HasSubstr("Headers("), "MessageDone"));

  // An error also ends with Reset.
  frame_.Reset();
  FeedAll("\r\n\r\n");
  ASSERT_TRUE(frame_.Error());
  frame_.Reset();
  EXPECT_EQ(BalsaFrame::NO_ERROR, frame_.ErrorCode());
  FeedAll("HTTP/1.1 304 Not Modified\r\n\r\n");
  EXPECT_TRUE(frame_.MessageFullyRead());
}

TEST_F(BalsaFrameTest, BlockOfOnlyLineEndsIsAnError) {
  EXPECT_EQ(4u, Feed("\r\n\r\nGET / HTTP/1.1\r\n\r\n"));
  EXPECT_THAT(visitor_.calls, ElementsAre("HeaderError(NO_REQUEST_LINE_IN_REQUEST)"));
  EXPECT_TRUE(frame_.Error());
  EXPECT_EQ(0u, Feed("GET / HTTP/1.1\r\n\r\n"));

  BalsaFrame response;
  response.set_is_request(false);
  response.ProcessInput("\n\r\n\r\n", 5);
  EXPECT_EQ(BalsaFrame::NO_STATUS_LINE_IN_RESPONSE, response.ErrorCode());
}

TEST_F(BalsaFrameTest, LeadingLineEndBeforeTheRequestLineIsSkipped) {
  FeedAll("\r\nGET / HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(frame_.MessageFullyRead());
  EXPECT_STREQ("GET", frame_.headers().Lookup("method")->value);
}

TEST_F(BalsaFrameTest, FirstLineParsing) {
  FeedAll("OPTIONS   *   ignored words\r\nA:b\r\n\r\n");
  EXPECT_THAT(visitor_.calls,
              ElementsAre("Headers(a=b|method=OPTIONS|url=*|version=HTTP/1.1)", "MessageDone"));

  // A request line without a blank ends the first token at its line end: refused.
  BalsaFrame bare;
  RecordingVisitor visitor;
  bare.set_visitor(&visitor);
  const std::string request = "GET\r\nHost: a b\r\n\r\n";
  bare.ProcessInput(request.data(), request.size());
  EXPECT_THAT(visitor.calls, ElementsAre("HeaderError(PARSE_VERSION_IN_RESPONSE_FAILED)"));
  EXPECT_EQ(0, bare.headers().line_count());
}

TEST_F(BalsaFrameTest, HeaderLineParsing) {
  FeedAll(
      "GET / HTTP/1.1\r\n"
      "X-Trail:   v  \r\n"
      "Empty:\r\n"
      "Next: 1\r\n"
      "Odd:a:b\r\n\r\n");
  EXPECT_EQ("Headers(empty=|method=GET|next=1|odd=a:b|url=/|version=HTTP/1.1|x-trail=v  )",
            visitor_.calls.at(0));
}

TEST_F(BalsaFrameTest, HeaderErrorsKeepTheLinesReadSoFar) {
  const std::string request = "GET / HTTP/1.1\r\nA: 1\r\nBroken\r\n\r\n";
  Feed(request);
  EXPECT_THAT(visitor_.calls, ElementsAre("HeaderError(READ_GENERAL_HEADER_KEY_FAILE)"));
  EXPECT_EQ("method=GET|version=HTTP/1.1|url=/|a=1", HeaderLinesText(frame_.headers()));
  EXPECT_EQ(0, visitor_.headers_calls);
}

TEST_F(BalsaFrameTest, ResponseModeReadsUntilCloseWithAWarning) {
  frame_.set_is_request(false);
  const std::string head = "HTTP/1.1 200 OK\r\nServer: s\r\n\r\n";
  EXPECT_EQ(head.size(), Feed(head));
  EXPECT_EQ(BalsaFrame::READING_UNTIL_CLOSE, frame_.ParseState());
  EXPECT_EQ(200, frame_.parsed_response_code());
  EXPECT_EQ(3u, Feed("abc"));
  EXPECT_EQ(2u, Feed("de"));
  EXPECT_THAT(visitor_.calls,
              ElementsAre(HasSubstr("Headers("), "HeaderWarning(MAYBE_BODY_BUT_NO_CONTENT_LENGTH)",
                          "BodyInput(abc)", "BodyData(abc)", "BodyInput(de)", "BodyData(de)"));
  EXPECT_FALSE(frame_.MessageFullyRead());
}

TEST_F(BalsaFrameTest, NoBodyForHeadAndBodylessStatusCodes) {
  for (const char* status : {"100", "199", "204", "304"}) {
    BalsaFrame frame;
    frame.set_is_request(false);
    const std::string head = std::string("HTTP/1.1 ") + status + " X\r\nContent-Length: 9\r\n\r\n";
    frame.ProcessInput(head.data(), head.size());
    EXPECT_TRUE(frame.MessageFullyRead()) << status;
  }
  for (const char* status : {"99", "200", "205", "303"}) {
    BalsaFrame frame;
    frame.set_is_request(false);
    const std::string head = std::string("HTTP/1.1 ") + status + " X\r\nContent-Length: 9\r\n\r\n";
    frame.ProcessInput(head.data(), head.size());
    EXPECT_EQ(BalsaFrame::READING_CONTENT, frame.ParseState()) << status;
  }
  BalsaFrame head_reply;
  head_reply.set_is_request(false);
  head_reply.set_request_was_head(true);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n";
  head_reply.ProcessInput(head.data(), head.size());
  EXPECT_TRUE(head_reply.MessageFullyRead());
}

TEST_F(BalsaFrameTest, DefaultVisitorTakesEverySilently) {
  BalsaFrame frame;
  const std::string message = std::string(kChunkedHead) + "1\r\nx\r\n0\r\nT: 1\r\n\r\n";
  size_t at = 0;
  while (at < message.size()) {
    const size_t consumed = frame.ProcessInput(message.data() + at, message.size() - at);
    ASSERT_GT(consumed, 0u);
    at += consumed;
  }
  EXPECT_TRUE(frame.MessageFullyRead());
}

TEST(BalsaFrameNames, StateAndErrorTables) {
  const char* states[] = {"PARSE_ERROR",
                          "READING_HEADER_AND_FIRSTLINE",
                          "READING_CHUNK_LENGTH",
                          "READING_CHUNK_EXTENSION",
                          "READING_CHUNK_DATA",
                          "READING_CHUNK_TERM",
                          "READING_LAST_CHUNK_TERM",
                          "READING_TRAILER",
                          "READING_UNTIL_CLOSE",
                          "READING_CONTENT",
                          "MESSAGE_FULLY_READ"};
  for (int i = 0; i <= 10; ++i)
    EXPECT_STREQ(states[i],
                 BalsaFrame::ParseStateToString(static_cast<BalsaFrameEnums::ParseState>(i)));
  EXPECT_STREQ("UNKNOWN_STATE",
               BalsaFrame::ParseStateToString(static_cast<BalsaFrameEnums::ParseState>(11)));
  EXPECT_STREQ("UNKNOWN_STATE",
               BalsaFrame::ParseStateToString(static_cast<BalsaFrameEnums::ParseState>(-1)));

  const char* errors[] = {"NO_ERROR",
                          "NO_STATUS_LINE_IN_RESPONSE",
                          "NO_REQUEST_LINE_IN_REQUEST",
                          "FAILED_TO_FIND_WS_AFTER_RESPONSE_VERSION",
                          "FAILED_TO_FIND_WS_AFTER_REQUEST_METHOD",
                          "FAILED_TO_FIND_WS_AFTER_RESPONSE_STATUSCODE",
                          "FAILED_TO_FIND_WS_AFTER_REQUEST_REQUEST_URI",
                          "FAILED_TO_FIND_NL_AFTER_RESPONSE_REASON_PHRASE",
                          "FAILED_TO_FIND_NL_AFTER_REQUEST_HTTP_VERSION",
                          "PARSE_VERSION_IN_RESPONSE_FAILED",
                          "PARSE_STATUS_IN_RESPONSE_FAILED",
                          "READ_GENERAL_HEADER_KEY_FAILE",
                          "READ_GENERAL_HEADER_VALUE_FAILED",
                          "FAILED_CONVERTING_STATUS_CODE_TO_INT",
                          "REQUEST_URI_TOO_LONG",
                          "HEADERS_TOO_LONG",
                          "UNPARSABLE_CONTENT_LENGTH",
                          "MAYBE_BODY_BUT_NO_CONTENT_LENGTH",
                          "REQUIRED_BODY_BUT_NO_CONTENT_LENGTH",
                          "HEADER_MISSING_COLON",
                          "INVALID_CHUNK_LENGTH",
                          "CHUNK_LENGTH_OVERFLOW",
                          "CALLED_BYTES_SPLICED_WHEN_UNSAFE_TO_DO_SO",
                          "CALLED_BYTES_SPLICED_AND_EXCEEDED_SAFE_SPLICE_AMOUNT",
                          "MULTIPLE_CONTENT_LENGTH_KEYS",
                          "MULTIPLE_TRANSFER_ENCODING_KEYS",
                          "UNKNOWN_TRANSFER_ENCODING",
                          "INVALID_HEADER_FORMAT",
                          "INTERNAL_LOGIC_ERROR"};
  for (int i = 0; i <= 28; ++i)
    EXPECT_STREQ(errors[i],
                 BalsaFrame::ErrorCodeToString(static_cast<BalsaFrameEnums::ErrorCode>(i)));
  EXPECT_STREQ("UNKNOWN_ERROR",
               BalsaFrame::ErrorCodeToString(static_cast<BalsaFrameEnums::ErrorCode>(29)));
}

TEST(BalsaFrameLog, DebugAndWarningTexts) {
  ProxyConfig* config = GetProxyConfig();
  const int saved = config->log_level_;
  config->log_level_ = 2;
  BalsaFrame frame;
  testing::internal::CaptureStderr();
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n";
  frame.ProcessInput(head.data(), head.size());
  frame.ProcessInput("abc", 3);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("D/balsa_frame("));
  EXPECT_THAT(log, HasSubstr("): ==============READING_HEADER_AND_FIRSTLINE==============\n"));
  EXPECT_THAT(log, HasSubstr("): ==============READING_CONTENT==============\n"));
  EXPECT_THAT(log, HasSubstr("): ReadingContent:  3\n"));
  EXPECT_THAT(log, Not(HasSubstr("W/balsa_frame")));

  BalsaFrame post;
  testing::internal::CaptureStderr();
  const std::string bare = "POST / HTTP/1.1\r\n\r\n";
  post.ProcessInput(bare.data(), bare.size());
  post.ProcessInput("x", 1);
  log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("): findmethod = true\n"));
  // The error name on the failing call and again on every later one.
  const std::string warning = "W/balsa_frame(";
  size_t count = 0;
  for (size_t at = log.find(warning); at != std::string::npos; at = log.find(warning, at + 1)) {
    EXPECT_EQ(0u,
              log.compare(log.find("): ", at) + 3, 36, "REQUIRED_BODY_BUT_NO_CONTENT_LENGTH\n"));
    ++count;
  }
  EXPECT_EQ(2u, count);

  // At the default level only warnings are written.
  config->log_level_ = 1;
  BalsaFrame quiet;
  testing::internal::CaptureStderr();
  quiet.ProcessInput("\r\n\r\n", 4);
  log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, Not(HasSubstr("D/balsa_frame")));
  EXPECT_THAT(log, HasSubstr("): NO_REQUEST_LINE_IN_REQUEST\n"));
  config->log_level_ = saved;
}

// Itanium C++ ABI: a pointer to a virtual member holds its vtable byte offset (plus one,
// except on ARM where the flag sits in the adjustment instead).
template <typename F>
long SlotOf(F member) {
  struct {
    unsigned long ptr;
    long adj;
  } raw;
  static_assert(sizeof(raw) == sizeof(member), "unexpected member pointer layout");
  memcpy(&raw, &member, sizeof(raw));
#if defined(__arm__) || defined(__aarch64__)
  return static_cast<long>(raw.ptr / sizeof(void*));
#else
  return static_cast<long>((raw.ptr - 1) / sizeof(void*));
#endif
}

TEST(BalsaVisitorLayout, OperationsSitInTheirSlots) {
  EXPECT_EQ(2, SlotOf(&BalsaVisitor::ProcessBodyInput));
  EXPECT_EQ(3, SlotOf(&BalsaVisitor::ProcessBodyData));
  EXPECT_EQ(4, SlotOf(&BalsaVisitor::Reserved4));
  EXPECT_EQ(5, SlotOf(&BalsaVisitor::ProcessTrailerInput));
  EXPECT_EQ(6, SlotOf(&BalsaVisitor::ProcessHeaders));
  EXPECT_EQ(7, SlotOf(&BalsaVisitor::Reserved7));
  EXPECT_EQ(8, SlotOf(&BalsaVisitor::Reserved8));
  EXPECT_EQ(9, SlotOf(&BalsaVisitor::ProcessChunkLength));
  EXPECT_EQ(10, SlotOf(&BalsaVisitor::ProcessChunkExtensions));
  EXPECT_EQ(11, SlotOf(&BalsaVisitor::Reserved11));
  EXPECT_EQ(12, SlotOf(&BalsaVisitor::MessageDone));
  EXPECT_EQ(13, SlotOf(&BalsaVisitor::HandleHeaderError));
  EXPECT_EQ(14, SlotOf(&BalsaVisitor::HandleHeaderWarning));
  EXPECT_EQ(15, SlotOf(&BalsaVisitor::HandleChunkingError));
  EXPECT_EQ(16, SlotOf(&BalsaVisitor::HandleBodyError));
}

}  // namespace
