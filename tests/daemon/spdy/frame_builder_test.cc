#include "spdy/frame_builder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "daemon/spdy/spdy_test_helper.h"
#include "spdy/spdy_frame.h"
#include "spdy/spdy_frame_record.h"
#include "spdy/spdy_framer.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values)
    out += static_cast<char>(v);
  return out;
}

TEST(FrameCreationTest, PingRstAndDataFramesAreByteExact) {
  std::unique_ptr<SpdyFrame> ping(SpdyFramer::CreatePingFrame(7));
  EXPECT_EQ("80 02 00 06 00 00 00 04 00 00 00 07", Hex(FrameBytes(*ping)));

  std::unique_ptr<SpdyFrame> rst(SpdyFramer::CreateRstStream(5, 1));
  EXPECT_EQ("80 02 00 03 00 00 00 08 00 00 00 05 00 00 00 01", Hex(FrameBytes(*rst)));
  EXPECT_EQ(5u, rst->stream_id());
  EXPECT_EQ(1u, rst->status());

  SpdyFramer framer;
  std::unique_ptr<SpdyFrame> data(framer.CreateDataFrame(1, "abc", 3, DATA_FLAG_FIN));
  EXPECT_EQ("00 00 00 01 01 00 00 03 61 62 63", Hex(FrameBytes(*data)));

  std::unique_ptr<SpdyFrame> empty(framer.CreateDataFrame(0x7fffffff, nullptr, 0, DATA_FLAG_FIN));
  EXPECT_EQ("7f ff ff ff 01 00 00 00", Hex(FrameBytes(*empty)));
  EXPECT_FALSE(empty->is_control_frame());
}

TEST(FrameCreationTest, DataFrameWithTheControlBitInItsStreamIdIsRefused) {
  SpdyFramer framer;
  EXPECT_EQ(nullptr, framer.CreateDataFrame(0x80000001u, "abc", 3, 0));
}

TEST(FrameCreationTest, SynStreamLayoutAndPriorityBits) {
  SpdyFramer framer;
  SpdyHeaderMap headers{{"method", "GET"}, {"url", "/"}};
  for (int priority = 0; priority < 8; ++priority) {
    std::unique_ptr<SpdyFrame> syn(framer.CreateSynStream(3, 1, priority, 0, false, headers));
    std::string b = FrameBytes(*syn);
    EXPECT_EQ(static_cast<char>((priority & 3) << 6), b[16]) << priority;
    EXPECT_EQ(0, b[17]);
    EXPECT_EQ(priority & 3, syn->priority());
  }
  std::unique_ptr<SpdyFrame> syn(framer.CreateSynStream(3, 1, 3, CONTROL_FLAG_FIN, false, headers));
  std::string expected = Bytes({0x80, 0x02, 0x00, 0x01, 0x01, 0x00, 0x00, 0x21, 0, 0, 0,
                                3,    0,    0,    0,    1,    0xc0, 0x00, 0,    2, 0, 6}) +
                         "method" + Bytes({0, 3}) + "GET" + Bytes({0, 3}) + "url" + Bytes({0, 1}) +
                         "/";
  EXPECT_EQ(Hex(expected), Hex(FrameBytes(*syn)));
  EXPECT_EQ(GetHeaderBlockSize(headers) + 10, syn->length());
  EXPECT_EQ(3u, syn->stream_id());
  EXPECT_EQ(1u, syn->associated_stream_id());
  EXPECT_EQ(CONTROL_FLAG_FIN, syn->flags());
}

TEST(FrameCreationTest, SettingsLengthAndEntries) {
  std::unique_ptr<SpdyFrame> settings(
      SpdyFramer::CreateSettings({{0x64000000u, 1}, {0x65000000u, 2}, {0x66000000u, 3755744309u}}));
  EXPECT_EQ(28u, settings->length());
  EXPECT_EQ(3u, settings->num_entries());
  EXPECT_EQ(
      "80 02 00 04 00 00 00 1c 00 00 00 03 64 00 00 00 00 00 00 01 65 00 00 00 00 00 00 02 "
      "66 00 00 00 df dc 1c 35",
      Hex(FrameBytes(*settings)));
  std::unique_ptr<SpdyFrame> one(SpdyFramer::CreateSettings({{0x64000000u, 1}}));
  EXPECT_EQ(12u, one->length());
  std::unique_ptr<SpdyFrame> none(SpdyFramer::CreateSettings({}));
  EXPECT_EQ("80 02 00 04 00 00 00 04 00 00 00 00", Hex(FrameBytes(*none)));
}

TEST(FrameBuilderTest, GrowsByDoublingAndKeepsContents) {
  FrameBuilder builder(4);
  EXPECT_TRUE(builder.WriteUInt32(0x01020304));
  EXPECT_EQ(4u, builder.capacity());
  EXPECT_TRUE(builder.WriteUInt16(0x0506));
  EXPECT_EQ(8u, builder.capacity());
  std::string big(100, 'x');
  EXPECT_TRUE(builder.WriteBytes(big.data(), big.size()));
  EXPECT_EQ(106u, builder.capacity());
  EXPECT_EQ(106u, builder.length());
  EXPECT_EQ("01 02 03 04 05 06 78", Hex(std::string(builder.data(), 7)));
}

TEST(FrameBuilderTest, RefusesOversizedWritesAndStrings) {
  FrameBuilder builder(16);
  char byte = 0;
  // The refusal comes before any byte is read.
  EXPECT_FALSE(builder.WriteBytes(&byte, 1u << 24));
  EXPECT_FALSE(builder.WriteString(std::string(65536, 'a')));
  EXPECT_EQ(0u, builder.length());
  EXPECT_TRUE(builder.WriteString(std::string(65535, 'a')));
  EXPECT_EQ(65537u, builder.length());
  EXPECT_EQ("ff ff 61", Hex(std::string(builder.data(), 3)));
}

TEST(FrameBuilderTest, ReadersStayInsideTheBytes) {
  const std::string bytes = Bytes({0, 3, 'a', 'b', 'c', 0, 5, 'x'});
  FrameBuilder reader(bytes.data(), bytes.size());
  EXPECT_TRUE(reader.read_only());
  EXPECT_EQ(FrameBuilder::kReadOnlyMarker, reader.capacity());
  const char* cursor = nullptr;
  std::string s;
  ASSERT_TRUE(reader.ReadString(&cursor, &s));
  EXPECT_EQ("abc", s);
  const char* before = cursor;
  EXPECT_FALSE(reader.ReadString(&cursor, &s));  // claims 5 bytes, 1 left
  EXPECT_EQ(before, cursor);
  uint16_t v = 0;
  ASSERT_TRUE(reader.ReadUInt16(&cursor, &v));
  EXPECT_EQ(5, v);
  EXPECT_FALSE(reader.ReadUInt16(&cursor, &v));  // one byte left
  const char* outside = bytes.data() + bytes.size() + 1;
  EXPECT_FALSE(reader.ReadUInt16(&outside, &v));
  // Borrowed bytes are never written or handed out as an owned frame.
  EXPECT_FALSE(reader.WriteUInt16(1));
  EXPECT_EQ(nullptr, reader.take());
}

TEST(FrameBuilderTest, TakeLeavesTheBuilderEmpty) {
  FrameBuilder builder(8);
  builder.WriteUInt32(1);
  builder.WriteUInt32(0x01000000);
  std::unique_ptr<SpdyFrame> frame(builder.take());
  ASSERT_NE(nullptr, frame);
  EXPECT_TRUE(frame->owns_buffer());
  EXPECT_EQ(0u, builder.length());
  EXPECT_EQ(nullptr, builder.take());
  EXPECT_TRUE(builder.WriteUInt16(7));  // usable again
}

TEST(SpdyFrameTest, AccessorsAndLengthSetter) {
  SpdyFrame frame(16);
  EXPECT_EQ(std::string(16, '\0'), std::string(frame.data(), 16));
  EXPECT_TRUE(frame.owns_buffer());
  std::string raw = RawControl(2, WINDOW_UPDATE, 0xa5, 8, Bytes({0x80, 0, 0, 9, 0, 1, 0, 0}));
  SpdyFrame view(&raw[0], false);
  EXPECT_TRUE(view.is_control_frame());
  EXPECT_EQ(2, view.version());
  EXPECT_EQ(WINDOW_UPDATE, view.type());
  EXPECT_EQ(0xa5, view.flags());
  EXPECT_EQ(9u, view.stream_id());  // reserved bit masked
  EXPECT_EQ(65536u, view.delta_window_size());
  view.set_length(0x123456);
  EXPECT_EQ(0xa5, view.flags());
  EXPECT_EQ(0x123456u, view.length());
  view.set_length(0x1abcdef);  // only 24 bits fit
  EXPECT_EQ(0xa5, view.flags());
  EXPECT_EQ(0xabcdefu, view.length());

  std::string ping = RawControl(2, PING, 0, 4, Bytes({0, 0, 0, 2}));
  EXPECT_EQ(kInvalidStream, SpdyFrame(&ping[0], false).stream_id());
  std::string goaway = RawControl(2, GOAWAY, 0, 4, Bytes({0, 0, 0, 2}));
  EXPECT_EQ(kInvalidStream, SpdyFrame(&goaway[0], false).stream_id());
  EXPECT_EQ(kInvalidStream, SpdyFrame::StreamIdOf(nullptr));
  std::string data = RawData(0x7fffffff, 0, "");
  SpdyFrame data_view(&data[0], false);
  EXPECT_EQ(0x7fffffffu, SpdyFrame::StreamIdOf(&data_view));
}

TEST(SpdyFrameRecordTest, RecordSendsTheWholeFrameAndOwnsIt) {
  SpdyFrame* ping = SpdyFramer::CreatePingFrame(3);
  std::unique_ptr<DataFrame> record(new SpdyFrameRecord(ping));
  EXPECT_EQ(ping->data(), record->data);
  EXPECT_EQ(12u, record->size);
  EXPECT_FALSE(record->delete_when_done);
  EXPECT_EQ(0u, record->index);
  record->stream_id = 0;
  // Destroying the record through the base frees the frame once (checked by the sanitizers).
  EXPECT_EQ(nullptr, SpdyFrameRecord::Create(nullptr));
  std::unique_ptr<DataFrame> made(SpdyFrameRecord::Create(SpdyFramer::CreateRstStream(3, 5)));
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(16u, made->size);
}

}  // namespace
