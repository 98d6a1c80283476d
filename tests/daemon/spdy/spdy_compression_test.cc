#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <memory>
#include <string>

#include "daemon/spdy/spdy_test_helper.h"
#include "spdy/frame_builder.h"
#include "spdy/spdy_dictionary.h"
#include "spdy/spdy_framer.h"
#include "spdy/spdy_header_map.h"

namespace {

// Inflates a whole zlib stream piece (sync-flushed) with plain zlib, supplying `dictionary`.
bool Inflate(z_stream* z, const std::string& in, std::string* out, const char* dictionary,
             size_t dictionary_size) {
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z->avail_in = static_cast<uInt>(in.size());
  char buf[4096];
  while (z->avail_in > 0) {
    z->next_out = reinterpret_cast<Bytef*>(buf);
    z->avail_out = sizeof(buf);
    int rv = inflate(z, Z_SYNC_FLUSH);
    if (rv == Z_NEED_DICT) {
      if (dictionary == nullptr ||
          inflateSetDictionary(z, reinterpret_cast<const Bytef*>(dictionary),
                               static_cast<uInt>(dictionary_size)) != Z_OK) {
        return false;
      }
      continue;
    }
    if (rv != Z_OK && rv != Z_BUF_ERROR)
      return false;
    out->append(buf, sizeof(buf) - z->avail_out);
  }
  return true;
}

std::string Block(const SpdyFrame& frame) {
  return std::string(frame.data() + frame.header_block_offset(), frame.header_block_len());
}

SpdyHeaderMap BrowserRequest() {
  return SpdyHeaderMap{
      {"accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
      {"accept-encoding", "gzip, deflate"},
      {"accept-language", "en-US,en;q=0.5"},
      {"connection", "close"},
      {"host", "www.example.com"},
      {"method", "GET"},
      {"url", "http://www.example.com/index.html?q=1"},
      {"user-agent", "Mozilla/5.0 (Linux; Android 4.4.2) AppleWebKit/537.36 Mobile"},
      {"version", "HTTP/1.1"}};
}

TEST(SpdyDictionaryTest, SizeAndId) {
  EXPECT_EQ(907u, kSpdyDictionarySize);
  EXPECT_EQ(906u, strlen(kSpdyDictionary));
  EXPECT_EQ('\0', kSpdyDictionary[906]);
  EXPECT_EQ(0,
            strncmp(kSpdyDictionary, "optionsgetheadpostputdeletetraceacceptaccept-charset", 52));
  EXPECT_STREQ("charset=iso-8859-1utf-8gzipdeflateHTTP/1.1statusversionurl",
               kSpdyDictionary + 906 - 58);
  EXPECT_EQ(0xdfa251b2u, SpdyDictionaryId());
}

TEST(SpdyCompressionTest, SynStreamBlockDecompressesToTheEncodedMap) {
  SpdyFramer framer;
  const SpdyHeaderMap headers = BrowserRequest();
  std::unique_ptr<SpdyFrame> plain(framer.CreateSynStream(1, 0, 0, 0, false, headers));
  std::unique_ptr<SpdyFrame> syn(framer.CreateSynStream(1, 0, 0, 0, true, headers));
  ASSERT_NE(nullptr, syn);
  // Fixed part unchanged, length rewritten to the compressed size.
  EXPECT_EQ(Hex(FrameBytes(*plain).substr(0, 4)), Hex(FrameBytes(*syn).substr(0, 4)));
  EXPECT_EQ(Hex(FrameBytes(*plain).substr(8, 10)), Hex(FrameBytes(*syn).substr(8, 10)));
  EXPECT_LT(syn->length(), plain->length());
  std::string block = Block(*syn);
  // zlib header: 2 KB window, preset dictionary flag, then the dictionary id.
  EXPECT_EQ(0x38, static_cast<unsigned char>(block[0]));
  EXPECT_EQ(0x20, block[1] & 0x20);
  EXPECT_EQ("df a2 51 b2", Hex(block.substr(2, 4)));
  // Ends with a sync flush marker.
  EXPECT_EQ("00 00 ff ff", Hex(block.substr(block.size() - 4)));

  z_stream z;
  memset(&z, 0, sizeof(z));
  ASSERT_EQ(Z_OK, inflateInit(&z));
  std::string decoded;
  ASSERT_TRUE(Inflate(&z, block, &decoded, kSpdyDictionary, kSpdyDictionarySize));
  inflateEnd(&z);
  EXPECT_EQ(Hex(Block(*plain)), Hex(decoded));
  SpdyHeaderMap parsed;
  ASSERT_TRUE(ParseHeaderBlock(decoded.data(), decoded.size(), &parsed));
  EXPECT_EQ(headers, parsed);
}

TEST(SpdyCompressionTest, SecondBlockNeedsTheFirst) {
  SpdyFramer sender;
  SpdyHeaderMap first = BrowserRequest();
  SpdyHeaderMap second = BrowserRequest();
  second["url"] = "http://www.example.com/style.css";
  std::unique_ptr<SpdyFrame> a(sender.CreateSynStream(1, 0, 0, 0, true, first));
  std::unique_ptr<SpdyFrame> b(sender.CreateSynStream(3, 0, 0, 0, true, second));
  // The second block refers back to the first: it is much smaller.
  EXPECT_LT(b->length(), a->length());

  {
    SpdyFramer receiver;
    RecordingFramerVisitor visitor;
    receiver.set_visitor(&visitor);
    std::string both = FrameBytes(*a) + FrameBytes(*b);
    EXPECT_EQ(both.size(), receiver.ProcessInput(both.data(), both.size()));
    EXPECT_FALSE(receiver.HasError());
    ASSERT_EQ(6u, visitor.events.size());
    SpdyHeaderMap parsed;
    std::string block = visitor.events[4].substr(6);
    ASSERT_TRUE(ParseHeaderBlock(block.data(), block.size(), &parsed));
    EXPECT_EQ(second, parsed);
  }
  {
    SpdyFramer fresh;
    RecordingFramerVisitor visitor;
    fresh.set_visitor(&visitor);
    std::string only_second = FrameBytes(*b);
    fresh.ProcessInput(only_second.data(), only_second.size());
    EXPECT_EQ(SpdyFramer::SPDY_DECOMPRESS_FAILURE, fresh.error_code());
  }
}

TEST(SpdyCompressionTest, LargeBlockReachesTheVisitorInPiecesWithNothingLost) {
  // One value of varied bytes, and one highly repetitive one whose last input bytes expand to
  // more than one output piece.
  std::string varied;
  for (int i = 0; i < 30000; ++i)
    varied += static_cast<char>('a' + (i * 7919 % 26));
  for (const std::string& value : {varied, std::string(50000, 'r')}) {
    SpdyFramer gateway;
    SpdyHeaderMap headers{{"status", "200"}, {"version", "HTTP/1.1"}, {"x-big", value}};
    std::string frame = BuildSynReply(&gateway, 1, headers, 0);
    FrameBuilder expected(64);
    WriteHeaderBlock(&expected, headers);

    for (size_t piece : {frame.size(), static_cast<size_t>(100), static_cast<size_t>(7)}) {
      SpdyFramer framer;
      RecordingFramerVisitor visitor;
      framer.set_visitor(&visitor);
      for (size_t at = 0; at < frame.size(); at += piece) {
        size_t n = std::min(piece, frame.size() - at);
        ASSERT_EQ(n, framer.ProcessInput(frame.data() + at, n));
      }
      ASSERT_FALSE(framer.HasError());
      ASSERT_EQ(3u, visitor.events.size());
      EXPECT_EQ(std::string(expected.data(), expected.length()), visitor.events[1].substr(6));
      EXPECT_GE(visitor.header_piece_sizes.size(), 2u);
      for (size_t n : visitor.header_piece_sizes)
        EXPECT_LE(n, 10240u);
    }
  }
}

TEST(SpdyCompressionTest, WrongDictionaryAndGarbageFail) {
  // A block compressed against another dictionary.
  z_stream z;
  memset(&z, 0, sizeof(z));
  ASSERT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, 11, 1, Z_DEFAULT_STRATEGY));
  const char other[] = "some other dictionary text";
  ASSERT_EQ(Z_OK, deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(other), sizeof(other)));
  FrameBuilder plain(64);
  WriteHeaderBlock(&plain, SpdyHeaderMap{{"status", "200"}});
  char out[256];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.length());
  z.next_out = reinterpret_cast<Bytef*>(out);
  z.avail_out = sizeof(out);
  ASSERT_EQ(Z_OK, deflate(&z, Z_SYNC_FLUSH));
  std::string block(out, sizeof(out) - z.avail_out);
  deflateEnd(&z);

  for (const std::string& bad : {block, std::string("\x78\x9c\xff\xff\xff\xff", 6)}) {
    std::string frame = RawControl(2, SYN_REPLY, 0, static_cast<uint32_t>(6 + bad.size()),
                                   std::string("\0\0\0\1\0\0", 6) + bad) +
                        RawData(1, 0, "after");
    SpdyFramer framer;
    RecordingFramerVisitor visitor;
    framer.set_visitor(&visitor);
    // The failing piece counts the rest of the input as consumed; later calls take nothing.
    EXPECT_EQ(frame.size(), framer.ProcessInput(frame.data(), frame.size()));
    EXPECT_EQ(SpdyFramer::SPDY_DECOMPRESS_FAILURE, framer.error_code());
    EXPECT_EQ(1, visitor.errors);
    EXPECT_EQ(0u, framer.ProcessInput(frame.data(), frame.size()));
    for (const std::string& e : visitor.events)
      EXPECT_EQ(std::string::npos, e.find("after")) << e;
  }
}

TEST(SpdyCompressionTest, CompressedDataFramesRoundTripAndDropTheirContexts) {
  SpdyFramer sender;
  std::string body;
  for (int i = 0; i < 3000; ++i)
    body += "chunk " + std::to_string(i) + "\n";
  std::unique_ptr<SpdyFrame> first(sender.CreateDataFrame(
      5, body.data(), static_cast<uint32_t>(body.size()), DATA_FLAG_COMPRESSED));
  EXPECT_EQ(1u, sender.num_stream_compressors());
  EXPECT_EQ(DATA_FLAG_COMPRESSED, first->flags());
  std::unique_ptr<SpdyFrame> last(
      sender.CreateDataFrame(5, "tail", 4, DATA_FLAG_COMPRESSED | DATA_FLAG_FIN));
  EXPECT_EQ(DATA_FLAG_COMPRESSED | DATA_FLAG_FIN, last->flags());
  EXPECT_EQ(0u, sender.num_stream_compressors());

  SpdyFramer receiver;
  RecordingFramerVisitor visitor;
  receiver.set_visitor(&visitor);
  std::string input = FrameBytes(*first) + FrameBytes(*last);
  for (size_t at = 0; at < input.size(); at += 300) {
    size_t n = std::min<size_t>(300, input.size() - at);
    ASSERT_EQ(n, receiver.ProcessInput(input.data() + at, n));
  }
  ASSERT_FALSE(receiver.HasError());
  ASSERT_EQ(5u, visitor.events.size());
  EXPECT_EQ("data:5:" + body, visitor.events[1]);
  EXPECT_EQ("data:5:tail", visitor.events[3]);
  EXPECT_EQ("fin:5", visitor.events[4]);
  EXPECT_EQ(0u, receiver.num_stream_decompressors());

  // After FIN the stream starts a new deflate stream: a fresh inflater decodes it alone.
  std::unique_ptr<SpdyFrame> again(sender.CreateDataFrame(5, "new", 3, DATA_FLAG_COMPRESSED));
  z_stream z;
  memset(&z, 0, sizeof(z));
  ASSERT_EQ(Z_OK, inflateInit(&z));
  std::string decoded;
  ASSERT_TRUE(Inflate(&z, std::string(again->data() + 8, again->length()), &decoded, nullptr, 0));
  inflateEnd(&z);
  EXPECT_EQ("new", decoded);
}

TEST(SpdyCompressionTest, EmptyCompressedPartsAfterAFlushStillMakeFrames) {
  // zlib has nothing to do for an empty part once the stream was flushed; that is no failure.
  SpdyFramer sender;
  std::unique_ptr<SpdyFrame> d1(sender.CreateDataFrame(3, "", 0, DATA_FLAG_COMPRESSED));
  std::unique_ptr<SpdyFrame> d2(sender.CreateDataFrame(3, "", 0, DATA_FLAG_COMPRESSED));
  std::unique_ptr<SpdyFrame> d3(
      sender.CreateDataFrame(3, "end", 3, DATA_FLAG_COMPRESSED | DATA_FLAG_FIN));
  ASSERT_TRUE(d1 && d2 && d3);
  EXPECT_EQ(0u, d2->length());
  EXPECT_EQ(DATA_FLAG_COMPRESSED, d2->flags());
  // The same for a header frame whose block is empty, one after another.
  std::string plain_bytes = std::string("\x80\x02\x00\x02\x00\x00\x00\x06", 8) +
                            std::string("\x00\x00\x00\x01\x00\x00", 6);
  SpdyFrame plain(&plain_bytes[0], false);
  std::unique_ptr<SpdyFrame> r1(sender.CompressFrame(plain));
  std::unique_ptr<SpdyFrame> r2(sender.CompressFrame(plain));
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(6u, r2->length());

  SpdyFramer receiver;
  RecordingFramerVisitor visitor;
  receiver.set_visitor(&visitor);
  const std::string input = FrameBytes(*d1) + FrameBytes(*d2) + FrameBytes(*d3);
  ASSERT_EQ(input.size(), receiver.ProcessInput(input.data(), input.size()));
  ASSERT_FALSE(receiver.HasError());
  ASSERT_FALSE(visitor.events.empty());
  EXPECT_EQ("fin:3", visitor.events.back());
  EXPECT_NE(std::string::npos, visitor.events[visitor.events.size() - 2].find("data:3:end"));
}

TEST(SpdyCompressionTest, HighlyCompressedDataFrameIsDeliveredWhole) {
  // A megabyte of zeros compresses about a thousandfold, beyond the output room per input byte.
  SpdyFramer sender;
  std::string zeros(1 << 20, '\0');
  std::unique_ptr<SpdyFrame> frame(sender.CreateDataFrame(
      9, zeros.data(), static_cast<uint32_t>(zeros.size()), DATA_FLAG_COMPRESSED | DATA_FLAG_FIN));
  ASSERT_LT(frame->length(), 10000u);
  SpdyFramer receiver;
  RecordingFramerVisitor visitor;
  receiver.set_visitor(&visitor);
  std::string input = FrameBytes(*frame);
  ASSERT_EQ(input.size(), receiver.ProcessInput(input.data(), input.size()));
  ASSERT_EQ(3u, visitor.events.size());
  EXPECT_EQ("data:9:" + zeros, visitor.events[1]);
  EXPECT_EQ("fin:9", visitor.events[2]);
}

TEST(SpdyCompressionTest, CorruptCompressedDataFails) {
  std::string input = RawData(3, DATA_FLAG_COMPRESSED, std::string("\x78\x9c\xff\xff\xff", 5));
  SpdyFramer framer;
  RecordingFramerVisitor visitor;
  framer.set_visitor(&visitor);
  EXPECT_EQ(8u, framer.ProcessInput(input.data(), input.size()));
  EXPECT_EQ(SpdyFramer::SPDY_DECOMPRESS_FAILURE, framer.error_code());
  EXPECT_EQ(0u, framer.ProcessInput(input.data() + 8, input.size() - 8));
}

TEST(SpdyCompressionTest, IncompressibleBlocksOfEverySizeComeOutWhole) {
  // Random values leave deflate no gain: the compressed frame must still hold the whole block,
  // and each block must end cleanly so that the next one decodes.
  SpdyFramer sender;
  SpdyFramer receiver;
  RecordingFramerVisitor visitor;
  receiver.set_visitor(&visitor);
  uint32_t seed = 12345;
  std::string expected_blocks;
  for (size_t size = 0; size < 3000; size += 37) {
    std::string value;
    for (size_t i = 0; i < size; ++i) {
      seed = seed * 1103515245u + 12345u;
      value += static_cast<char>(seed >> 24);
    }
    SpdyHeaderMap headers{{"x", value}};
    std::unique_ptr<SpdyFrame> syn(sender.CreateSynStream(1, 0, 0, 0, true, headers));
    ASSERT_NE(nullptr, syn);
    std::string bytes = FrameBytes(*syn);
    ASSERT_EQ(bytes.size(), receiver.ProcessInput(bytes.data(), bytes.size()));
    ASSERT_FALSE(receiver.HasError()) << size;
    FrameBuilder block(16);
    WriteHeaderBlock(&block, headers);
    ASSERT_EQ(std::string(block.data(), block.length()),
              visitor.events[visitor.events.size() - 2].substr(6))
        << size;
  }
}

TEST(SpdyCompressionTest, OnlyHeaderBlockFramesCompress) {
  SpdyFramer framer;
  std::unique_ptr<SpdyFrame> ping(SpdyFramer::CreatePingFrame(1));
  EXPECT_EQ(nullptr, framer.CompressFrame(*ping));
  std::unique_ptr<SpdyFrame> rst(SpdyFramer::CreateRstStream(1, 5));
  EXPECT_EQ(nullptr, framer.CompressFrame(*rst));
}

TEST(SpdyHeaderBlockTest, ParseRules) {
  auto encode = [](std::initializer_list<std::string> parts, int count) {
    FrameBuilder b(64);
    b.WriteUInt16(static_cast<uint16_t>(count));
    for (const std::string& p : parts)
      b.WriteString(p);
    return std::string(b.data(), b.length());
  };
  SpdyHeaderMap map;
  std::string dup = encode({"a", "1", "a", "2"}, 2);
  EXPECT_FALSE(ParseHeaderBlock(dup.data(), dup.size(), &map));

  std::string ok = encode({"a", "1", "b", "22"}, 2);
  map.clear();
  EXPECT_TRUE(ParseHeaderBlock(ok.data(), ok.size(), &map));
  map.clear();
  EXPECT_FALSE(ParseHeaderBlock(ok.data(), ok.size() - 1, &map));  // last value one short
  std::string trailing = ok + "junk";
  map.clear();
  EXPECT_TRUE(ParseHeaderBlock(trailing.data(), trailing.size(), &map));
  EXPECT_EQ("a=1;b=22;", DescribeHeaders(map));
  map.clear();
  EXPECT_FALSE(ParseHeaderBlock(ok.data(), 1, &map));
  EXPECT_FALSE(ParseHeaderBlock(nullptr, 0, &map));
  std::string missing_pair = encode({"a", "1"}, 2);
  EXPECT_FALSE(ParseHeaderBlock(missing_pair.data(), missing_pair.size(), &map));
  std::string cut_length = ok.substr(0, 2 + 2 + 1 + 1);  // value length cut in half
  EXPECT_FALSE(ParseHeaderBlock(cut_length.data(), cut_length.size(), &map));
  std::string none = encode({}, 0);
  map.clear();
  EXPECT_TRUE(ParseHeaderBlock(none.data(), none.size(), &map));
  EXPECT_TRUE(map.empty());

  std::string nul_value("x\0y\0", 4);
  std::string with_nul = encode({"set-cookie", nul_value, std::string("n\0m", 3), ""}, 2);
  map.clear();
  ASSERT_TRUE(ParseHeaderBlock(with_nul.data(), with_nul.size(), &map));
  EXPECT_EQ(nul_value, map["set-cookie"]);
  EXPECT_EQ("", map[std::string("n\0m", 3)]);
}

TEST(SpdyHeaderBlockTest, WrittenInByteOrderWithSizes) {
  SpdyHeaderMap map{{"b", "2"}, {"a", "1"}, {"ab", "3"}, {"\xc3\xa9", "4"}, {"z", "5"}, {"B", "6"}};
  FrameBuilder b(8);
  ASSERT_TRUE(WriteHeaderBlock(&b, map));
  std::string block(b.data(), b.length());
  EXPECT_EQ(GetHeaderBlockSize(map), block.size());
  EXPECT_EQ(2u + 6 * 4 + 8 + 6, block.size());
  SpdyHeaderMap parsed;
  ASSERT_TRUE(ParseHeaderBlock(block.data(), block.size(), &parsed));
  EXPECT_EQ("B=6;a=1;ab=3;b=2;z=5;\xc3\xa9=4;", DescribeHeaders(parsed));
  EXPECT_EQ("00 06 00 01 42 00 01 36 00 01 61", Hex(block.substr(0, 11)));

  SpdyHeaderMap too_long{{"x", std::string(65536, 'v')}};
  FrameBuilder refused(8);
  EXPECT_FALSE(WriteHeaderBlock(&refused, too_long));
  SpdyFramer framer;
  EXPECT_EQ(nullptr, framer.CreateSynStream(1, 0, 0, 0, true, too_long));
}

}  // namespace
