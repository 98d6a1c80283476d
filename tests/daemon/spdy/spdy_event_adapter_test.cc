#include "spdy/spdy_event_adapter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon/spdy/spdy_test_helper.h"
#include "spdy/frame_builder.h"

namespace {

TEST(SpdyEventAdapterTest, GatewayStreamBecomesSessionEvents) {
  SpdyFramer gateway;
  const std::string stream = BuildGatewayStream(&gateway);
  RecordingSessionVisitor visitor;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  EXPECT_EQ(stream.size(), adapter->ProcessInput(stream.data(), stream.size()));
  EXPECT_FALSE(adapter->HasError());
  const std::vector<std::string> expected = {
      "syn-reply:1:content-type=text/html;set-cookie=a=1\\0b=2;status=200 OK;version=HTTP/1.1;",
      "data:1:hello world",
      "fin:1",
      "syn-reply:3:status=204 No Content;version=HTTP/1.1;",
      "fin:3",
      "ping:1",
      "headers:5:x-extra=1;",
      "window-update:5:65536",
      "data:5:compressed body compressed body",
      "fin:5",
      "fin:7",
      "rst:9:5",
      "ping:2",
      "goaway:9"};
  EXPECT_EQ(expected, visitor.events);

  // Every split yields the same events.
  for (size_t cut = 1; cut < stream.size(); cut += 3) {
    RecordingSessionVisitor split_visitor;
    std::unique_ptr<SpdyEventAdapter> split(new SpdyEventAdapter(&split_visitor));
    size_t n = split->ProcessInput(stream.data(), cut);
    n += split->ProcessInput(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(stream.size(), n);
    ASSERT_EQ(expected, split_visitor.events) << "cut at " << cut;
  }
}

TEST(SpdyEventAdapterTest, UnparsableReplyBlockIsDroppedAndItsStreamTold) {
  SpdyFramer gateway;
  // A block naming "status" twice, built by hand and compressed by the gateway's context.
  FrameBuilder builder(64);
  builder.WriteUInt16(0x8002);
  builder.WriteUInt16(SYN_REPLY);
  FrameBuilder block(64);
  block.WriteUInt16(2);
  block.WriteString("status");
  block.WriteString("200");
  block.WriteString("status");
  block.WriteString("404");
  builder.WriteUInt32(static_cast<uint32_t>(6 + block.length()));
  builder.WriteUInt32(1);
  builder.WriteUInt16(0);
  builder.WriteBytes(block.data(), block.length());
  std::unique_ptr<SpdyFrame> plain(builder.take());
  std::unique_ptr<SpdyFrame> dup(gateway.CompressFrame(*plain));
  std::string input = FrameBytes(*dup) + RawData(1, DATA_FLAG_FIN, "body") +
                      BuildSynReply(&gateway, 3, SpdyHeaderMap{{"status", "200"}}, 0);

  RecordingSessionVisitor visitor;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  EXPECT_EQ(input.size(), adapter->ProcessInput(input.data(), input.size()));
  EXPECT_FALSE(adapter->HasError());
  EXPECT_EQ((std::vector<std::string>{"stream-error:1", "data:1:body", "fin:1",
                                      "syn-reply:3:status=200;"}),
            visitor.events);
}

// A SYN_REPLY whose block decompresses to exactly `size` bytes.
std::string ReplyOfBlockSize(SpdyFramer* gateway, size_t size) {
  SpdyHeaderMap headers{{"x", std::string(size - 2 - 4 - 1, 'v')}};
  EXPECT_EQ(size, GetHeaderBlockSize(headers));
  return BuildSynReply(gateway, 1, headers, 0);
}

TEST(SpdyEventAdapterTest, HeaderBufferHolds32768BytesAndNoMore) {
  {
    SpdyFramer gateway;
    std::string input = ReplyOfBlockSize(&gateway, 32768) + RawData(1, 0, "x");
    RecordingSessionVisitor visitor;
    std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
    EXPECT_EQ(input.size(), adapter->ProcessInput(input.data(), input.size()));
    ASSERT_EQ(2u, visitor.events.size());
    EXPECT_EQ(0u, visitor.events[0].rfind("syn-reply:1:x=vvv", 0));
    EXPECT_EQ(12u + 2 + 32761 + 1, visitor.events[0].size());
  }
  {
    SpdyFramer gateway;
    std::string input = ReplyOfBlockSize(&gateway, 32769) + RawData(1, 0, "x");
    RecordingSessionVisitor visitor;
    std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
    adapter->ProcessInput(input.data(), input.size());
    EXPECT_TRUE(adapter->HasError());
    EXPECT_EQ(SpdyFramer::SPDY_CONTROL_PAYLOAD_TOO_LARGE, adapter->error_code());
    EXPECT_EQ((std::vector<std::string>{"error:CONTROL_PAYLOAD_TOO_LARGE"}), visitor.events);
  }
}

TEST(SpdyEventAdapterTest, EachBlockStartsAfresh) {
  // A long block followed by a short one: the short one must not see the long one's bytes.
  SpdyFramer gateway;
  // Blocks must be compressed in sending order: one statement each.
  std::string input =
      BuildSynReply(&gateway, 1, SpdyHeaderMap{{"long", std::string(3000, 'l')}}, 0);
  input += BuildHeaders(&gateway, 1, SpdyHeaderMap{{"s", "t"}}, 0);
  // SYN_STREAM from the gateway is reported too, with its own header map.
  std::unique_ptr<SpdyFrame> syn(
      gateway.CreateSynStream(2, 1, 0, 0, true, SpdyHeaderMap{{"url", "/push"}}));
  input += FrameBytes(*syn);
  RecordingSessionVisitor visitor;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  EXPECT_EQ(input.size(), adapter->ProcessInput(input.data(), input.size()));
  ASSERT_EQ(3u, visitor.events.size());
  EXPECT_EQ("headers:1:s=t;", visitor.events[1]);
  EXPECT_EQ("syn:2:url=/push;", visitor.events[2]);
  // Handles kept by the receiver outlive the adapter.
  adapter.reset();
  ASSERT_EQ(3u, visitor.kept.size());
  EXPECT_EQ(1u, visitor.kept[1].use_count());
  EXPECT_EQ("t", (*visitor.kept[1])["s"]);
}

TEST(SpdyEventAdapterTest, SettingsNoopAndCredentialRaiseNoEvent) {
  std::string input = RawControl(2, SETTINGS, 0, 12, Word(1) + Word(0x64000000) + Word(1)) +
                      RawControl(2, NOOP, 0, 0, "") + RawControl(2, CREDENTIAL, 0, 8, "abcdefgh");
  RecordingSessionVisitor visitor;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  EXPECT_EQ(input.size(), adapter->ProcessInput(input.data(), input.size()));
  EXPECT_TRUE(visitor.events.empty());
  EXPECT_FALSE(adapter->HasError());
}

TEST(SpdyEventAdapterTest, FramerErrorIsReportedOnce) {
  std::string input = RawControl(3, PING, 0, 4, Word(1));
  RecordingSessionVisitor visitor;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&visitor));
  EXPECT_EQ(8u, adapter->ProcessInput(input.data(), input.size()));
  EXPECT_EQ(0u, adapter->ProcessInput(input.data(), input.size()));
  EXPECT_EQ((std::vector<std::string>{"error:UNSUPPORTED_VERSION"}), visitor.events);
}

TEST(SpdyEventAdapterTest, CreatedFramesUseTheSessionContexts) {
  RecordingSessionVisitor unused;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&unused));
  SpdyHeaderMap headers{{"method", "GET"}, {"url", "http://h/"}, {"version", "HTTP/1.1"}};
  std::unique_ptr<SpdyFrame> a(adapter->CreateSynStream(1, 0, 0, 0, true, headers));
  std::unique_ptr<SpdyFrame> b(adapter->CreateSynStream(3, 0, 0, 0, true, headers));
  std::unique_ptr<SpdyFrame> d(adapter->CreateDataFrame(1, nullptr, 0, DATA_FLAG_FIN));
  // The gateway side decodes both blocks in order with one decompressor.
  RecordingSessionVisitor gateway_visitor;
  std::unique_ptr<SpdyEventAdapter> gateway(new SpdyEventAdapter(&gateway_visitor));
  std::string input = FrameBytes(*a) + FrameBytes(*b) + FrameBytes(*d);
  EXPECT_EQ(input.size(), gateway->ProcessInput(input.data(), input.size()));
  EXPECT_EQ((std::vector<std::string>{"syn:1:method=GET;url=http://h/;version=HTTP/1.1;",
                                      "syn:3:method=GET;url=http://h/;version=HTTP/1.1;", "fin:1"}),
            gateway_visitor.events);
}

}  // namespace
