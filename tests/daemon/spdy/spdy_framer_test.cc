#include "spdy/spdy_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/spdy/spdy_test_helper.h"

namespace {

std::vector<std::string> ParseWhole(const std::string& input, size_t* consumed = nullptr) {
  SpdyFramer framer;
  RecordingFramerVisitor visitor;
  framer.set_visitor(&visitor);
  size_t n = framer.ProcessInput(input.data(), input.size());
  if (consumed)
    *consumed = n;
  return visitor.events;
}

// Feeds one frame and returns the framer's state and error afterwards.
struct Outcome {
  size_t consumed;
  SpdyFramer::SpdyError error;
  int errors_reported;
  std::vector<std::string> events;
};

Outcome Feed(const std::string& input) {
  SpdyFramer framer;
  RecordingFramerVisitor visitor;
  framer.set_visitor(&visitor);
  Outcome out;
  out.consumed = framer.ProcessInput(input.data(), input.size());
  out.error = framer.error_code();
  out.errors_reported = visitor.errors;
  out.events = visitor.events;
  return out;
}

TEST(SpdyFramerTest, EverySplitOfTheGatewayStreamGivesTheSameCallbacks) {
  SpdyFramer gateway;
  const std::string stream = BuildGatewayStream(&gateway);
  size_t consumed = 0;
  const std::vector<std::string> whole = ParseWhole(stream, &consumed);
  ASSERT_EQ(stream.size(), consumed);
  // Every frame type arrives and nothing fails.
  ASSERT_GE(whole.size(), 20u);
  for (const std::string& e : whole)
    EXPECT_NE(0u, e.rfind("error", 0)) << e;

  for (size_t cut = 1; cut < stream.size(); ++cut) {
    SpdyFramer framer;
    RecordingFramerVisitor visitor;
    framer.set_visitor(&visitor);
    size_t n = framer.ProcessInput(stream.data(), cut);
    n += framer.ProcessInput(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(stream.size(), n) << "cut at " << cut;
    ASSERT_EQ(whole, visitor.events) << "cut at " << cut;
  }

  SpdyFramer framer;
  RecordingFramerVisitor visitor;
  framer.set_visitor(&visitor);
  for (size_t i = 0; i < stream.size(); ++i)
    ASSERT_EQ(1u, framer.ProcessInput(&stream[i], 1));
  EXPECT_EQ(whole, visitor.events);
  EXPECT_EQ(0u, framer.num_stream_decompressors());
}

TEST(SpdyFramerTest, GatewayStreamCallbacksInOrder) {
  SpdyFramer gateway;
  const std::vector<std::string> e = ParseWhole(BuildGatewayStream(&gateway));
  std::vector<std::string> kinds;
  for (const std::string& s : e)
    kinds.push_back(s.substr(0, s.find(':', s.find(':') + 1)));
  const std::vector<std::string> expected = {
      "control:2",      "block:",       "block-end:1", "data-start:1", "data:1",
      "data-start:1",   "data:1",       "fin:1",       "control:2",    "block:",
      "block-end:3",    "fin:3",        "control:6",   "control:4",    "control:8",
      "block:",         "block-end:5",  "control:9",   "data-start:5", "data:5",
      "fin:5",          "data-start:7", "fin:7",       "control:10",   "credential:credential",
      "credential-end", "control:3",    "control:6",   "control:7"};
  ASSERT_EQ(expected.size(), kinds.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(0, kinds[i].compare(0, expected[i].size(), expected[i])) << i << " " << kinds[i];
  }
  EXPECT_EQ("data:1:hello world", e[4] + e[6].substr(7));
  EXPECT_EQ("data:5:compressed body compressed body", e[19]);
}

TEST(SpdyFramerTest, VersionOtherThanTwoStopsWithoutFurtherConsumption) {
  for (uint16_t version : {1, 3, 0x7fff}) {
    SpdyFramer framer;
    RecordingFramerVisitor visitor;
    framer.set_visitor(&visitor);
    std::string input = RawControl(version, PING, 0, 4, Word(1)) + RawData(1, 0, "x");
    EXPECT_EQ(8u, framer.ProcessInput(input.data(), input.size()));
    EXPECT_EQ(SpdyFramer::SPDY_UNSUPPORTED_VERSION, framer.error_code());
    EXPECT_TRUE(framer.HasError());
    EXPECT_EQ(1, visitor.errors);
    EXPECT_EQ(0u, framer.ProcessInput(input.data() + 8, input.size() - 8));
    EXPECT_EQ(0u, framer.ProcessInput(input.data(), input.size()));
    EXPECT_EQ(1, visitor.errors);
    EXPECT_STREQ("ERROR", SpdyFramer::StateToString(framer.state()));
  }
}

TEST(SpdyFramerTest, ControlTypesOutsideOneToTenAreInvalid) {
  for (uint16_t type : {0, 11, 0xffff}) {
    Outcome out = Feed(RawControl(2, type, 0, 4, Word(1)));
    EXPECT_EQ(SpdyFramer::SPDY_INVALID_CONTROL_FRAME, out.error) << type;
    EXPECT_EQ(8u, out.consumed);
  }
  // The fixed-size types pass the type check (PING and GOAWAY then fail the size check).
  for (uint16_t type : {RST_STREAM, SETTINGS, NOOP, PING, GOAWAY, WINDOW_UPDATE, CREDENTIAL}) {
    Outcome out = Feed(RawControl(2, type, 0, 8, Word(1) + Word(2)));
    if (type == PING || type == GOAWAY) {
      EXPECT_EQ(SpdyFramer::SPDY_INVALID_CONTROL_FRAME, out.error);
    } else {
      EXPECT_EQ(SpdyFramer::SPDY_NO_ERROR, out.error) << type;
    }
  }
}

TEST(SpdyFramerTest, SizeTableAtItsLimits) {
  struct Case {
    uint16_t type;
    uint32_t length;
    bool ok;
  } cases[] = {
      {SYN_STREAM, 9, false},   {SYN_STREAM, 10, true},    {SYN_REPLY, 5, false},
      {SYN_REPLY, 6, true},     {HEADERS, 5, false},       {HEADERS, 6, true},
      {RST_STREAM, 7, false},   {RST_STREAM, 8, true},     {RST_STREAM, 9, false},
      {SETTINGS, 3, false},     {SETTINGS, 4, true},       {PING, 3, false},
      {PING, 4, true},          {PING, 5, false},          {GOAWAY, 3, false},
      {GOAWAY, 4, true},        {GOAWAY, 5, false},        {WINDOW_UPDATE, 7, false},
      {WINDOW_UPDATE, 8, true}, {WINDOW_UPDATE, 9, false}, {CREDENTIAL, 7, false},
      {CREDENTIAL, 8, true},    {NOOP, 0, true},           {NOOP, 100, true},
  };
  for (const Case& c : cases) {
    Outcome out = Feed(RawControl(2, c.type, 0, c.length, ""));
    EXPECT_EQ(c.ok ? SpdyFramer::SPDY_NO_ERROR : SpdyFramer::SPDY_INVALID_CONTROL_FRAME, out.error)
        << "type " << c.type << " length " << c.length;
  }
}

TEST(SpdyFramerTest, ControlLengthLimitIs65528) {
  std::string payload = Word(0) + std::string(65528 - 4, '\x5a');
  Outcome ok = Feed(RawControl(2, SETTINGS, 0, 65528, payload));
  EXPECT_EQ(SpdyFramer::SPDY_NO_ERROR, ok.error);
  EXPECT_EQ(65536u, ok.consumed);
  ASSERT_EQ(1u, ok.events.size());
  // The whole 65,536-byte frame was buffered and handed over.
  EXPECT_EQ(65536u * 3 - 1 + 10, ok.events[0].size());

  Outcome too_large = Feed(RawControl(2, SETTINGS, 0, 65529, payload + "x"));
  EXPECT_EQ(SpdyFramer::SPDY_CONTROL_PAYLOAD_TOO_LARGE, too_large.error);
  EXPECT_EQ(8u, too_large.consumed);
  EXPECT_EQ(1, too_large.errors_reported);

  Outcome syn = Feed(RawControl(2, SYN_STREAM, 0, 65529, std::string(20, '\0')));
  EXPECT_EQ(SpdyFramer::SPDY_CONTROL_PAYLOAD_TOO_LARGE, syn.error);
  Outcome cred = Feed(RawControl(2, CREDENTIAL, 0, 65529, ""));
  EXPECT_EQ(SpdyFramer::SPDY_CONTROL_PAYLOAD_TOO_LARGE, cred.error);
}

TEST(SpdyFramerTest, LargeControlFrameDoesNotDisturbTheNextFrames) {
  std::string big = RawControl(2, SETTINGS, 0, 40000, Word(0) + std::string(39996, 'q'));
  std::string input = big + RawControl(2, PING, 0, 4, Word(9)) + big + RawData(3, 1, "ok");
  Outcome out = Feed(input);
  EXPECT_EQ(input.size(), out.consumed);
  ASSERT_EQ(6u, out.events.size());
  EXPECT_EQ("control:6:80 02 00 06 00 00 00 04 00 00 00 09", out.events[1]);
  EXPECT_EQ("data:3:ok", out.events[4]);
  EXPECT_EQ("fin:3", out.events[5]);
}

TEST(SpdyFramerTest, EmptyDataFrameWithFinAndNoop) {
  Outcome out = Feed(RawData(5, DATA_FLAG_FIN, "") + RawData(7, 0, "") +
                     RawControl(2, NOOP, 0, 0, "") + RawData(9, 0, "z"));
  std::vector<std::string> expected = {"data-start:5:1:0", "fin:5", "data-start:7:0:0",
                                       "data-start:9:0:1", "data:9:z"};
  EXPECT_EQ(expected, out.events);

  // A NOOP is its 8-byte header only: a length it claims is not skipped.
  std::string noop = RawControl(2, NOOP, 0, 8, "");
  Outcome after = Feed(noop + RawData(3, 0, "abcd"));
  EXPECT_EQ(SpdyFramer::SPDY_NO_ERROR, after.error);
  EXPECT_EQ((std::vector<std::string>{"data-start:3:0:4", "data:3:abcd"}), after.events);
}

TEST(SpdyFramerTest, SynReplyWithFinEndsTheBlockThenTheStream) {
  SpdyFramer gateway;
  SpdyHeaderMap headers{{"status", "200"}, {"version", "HTTP/1.1"}};
  Outcome out = Feed(BuildSynReply(&gateway, 11, headers, CONTROL_FLAG_FIN));
  ASSERT_EQ(4u, out.events.size());
  EXPECT_EQ(0u, out.events[0].rfind("control:2:80 02 00 02 01", 0));
  EXPECT_EQ("block-end:11", out.events[2]);
  EXPECT_EQ("fin:11", out.events[3]);
}

TEST(SpdyFramerTest, EmptyHeaderBlockEndsWithItsFixedFields) {
  // A SYN_REPLY of length 6 with FIN as the last bytes received: its end and the FIN come now,
  // not when the next frame arrives.
  Outcome out =
      Feed(RawControl(2, SYN_REPLY, CONTROL_FLAG_FIN, 6, Word(13) + std::string(2, '\0')));
  EXPECT_EQ(SpdyFramer::SPDY_NO_ERROR, out.error);
  ASSERT_EQ(3u, out.events.size());
  EXPECT_EQ("block-end:13", out.events[1]);
  EXPECT_EQ("fin:13", out.events[2]);
}

TEST(SpdyFramerTest, HugeDataLengthIsNotAnError) {
  std::string header = RawData(1, 0, "");
  header[5] = '\xff';  // length 0xff0000: above one million
  Outcome out = Feed(header + std::string(100, 'd'));
  EXPECT_EQ(SpdyFramer::SPDY_NO_ERROR, out.error);
  EXPECT_EQ(108u, out.consumed);
  EXPECT_EQ("data-start:1:0:16711680", out.events[0]);
}

TEST(SpdyFramerTest, NamesOfStatesAndErrors) {
  const char* states[] = {"ERROR",
                          "DONE",
                          "RESET",
                          "AUTO_RESET",
                          "READING_COMMON_HEADER",
                          "CONTROL_FRAME_PAYLOAD",
                          "IGNORE_REMAINING_PAYLOAD",
                          "FORWARD_STREAM_FRAME",
                          "SPDY_CONTROL_FRAME_BEFORE_HEADER_BLOCK",
                          "SPDY_CONTROL_FRAME_HEADER_BLOCK",
                          "SPDY_CREDENTIAL_FRAME_PAYLOAD"};
  for (int i = 0; i < 11; ++i)
    EXPECT_STREQ(states[i], SpdyFramer::StateToString(i));
  EXPECT_STREQ("UNKNOWN_STATE", SpdyFramer::StateToString(11));
  EXPECT_STREQ("UNKNOWN_STATE", SpdyFramer::StateToString(-1));
  const char* errors[] = {"NO_ERROR",          "INVALID_CONTROL_FRAME", "CONTROL_PAYLOAD_TOO_LARGE",
                          "ZLIB_INIT_FAILURE", "UNSUPPORTED_VERSION",   "DECOMPRESS_FAILURE",
                          "COMPRESS_FAILURE"};
  for (int i = 0; i < 7; ++i)
    EXPECT_STREQ(errors[i], SpdyFramer::ErrorCodeToString(i));
  EXPECT_STREQ("UNKNOWN_ERROR", SpdyFramer::ErrorCodeToString(7));
}

TEST(SpdyFramerTest, StatesAlongAFrame) {
  SpdyFramer framer;
  EXPECT_EQ(SpdyFramer::SPDY_RESET, framer.state());
  std::string ping = RawControl(2, PING, 0, 4, Word(3));
  framer.ProcessInput(ping.data(), 3);
  EXPECT_EQ(SpdyFramer::SPDY_READING_COMMON_HEADER, framer.state());
  framer.ProcessInput(ping.data() + 3, 6);
  EXPECT_EQ(SpdyFramer::SPDY_CONTROL_FRAME_PAYLOAD, framer.state());
  framer.ProcessInput(ping.data() + 9, 3);
  EXPECT_EQ(SpdyFramer::SPDY_AUTO_RESET, framer.state());
  std::string data = RawData(1, 0, "abc");
  framer.ProcessInput(data.data(), 9);
  EXPECT_EQ(SpdyFramer::SPDY_FORWARD_STREAM_FRAME, framer.state());
  SpdyFramer gateway;
  std::string reply = BuildSynReply(&gateway, 1, SpdyHeaderMap{{"a", "b"}}, 0);
  framer.ProcessInput(data.data() + 9, 2);
  framer.ProcessInput(reply.data(), 10);
  EXPECT_EQ(SpdyFramer::SPDY_CONTROL_FRAME_BEFORE_HEADER_BLOCK, framer.state());
  framer.ProcessInput(reply.data() + 10, 5);
  EXPECT_EQ(SpdyFramer::SPDY_CONTROL_FRAME_HEADER_BLOCK, framer.state());
  framer.ProcessInput(reply.data() + 15, reply.size() - 15);
  EXPECT_EQ(SpdyFramer::SPDY_RESET, framer.state());
  std::string cred = RawControl(2, CREDENTIAL, 0, 8, "12345678");
  framer.ProcessInput(cred.data(), 10);
  EXPECT_EQ(SpdyFramer::SPDY_CREDENTIAL_FRAME_PAYLOAD, framer.state());
  EXPECT_FALSE(framer.HasError());
}

}  // namespace
