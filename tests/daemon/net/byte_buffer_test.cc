#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "net/linear_byte_buffer.h"
#include "net/ring_byte_buffer.h"

namespace {

std::string Readable(ByteBuffer* b) {
  char* p;
  int n;
  b->GetReadableRegion(&p, &n);
  return std::string(p, static_cast<size_t>(n));
}

TEST(RingByteBufferTest, WrappedRunIsSeenInTwoPieces) {
  RingByteBuffer ring(8);
  ASSERT_EQ(6, ring.Write("xxxxxy", 6));
  ring.Consume(5);
  ASSERT_EQ(4, ring.Write("abcd", 4));
  ring.Consume(1);  // "abcd" at indexes 6, 7, 0, 1
  char* p;
  int n;
  ring.GetReadableRegion(&p, &n);
  EXPECT_EQ(2, n);
  EXPECT_EQ(6, ring.read_index());
  EXPECT_EQ("ab", std::string(p, 2));
  ring.Consume(2);
  ring.GetReadableRegion(&p, &n);
  EXPECT_EQ(0, ring.read_index());
  EXPECT_EQ("cd", std::string(p, static_cast<size_t>(n)));
  // Free space is now split too: the writable region stops at the end of the storage.
  ring.GetWritableRegion(&p, &n);
  EXPECT_EQ(6, n);
}

TEST(RingByteBufferTest, ConsumingEverythingResetsIndexes) {
  RingByteBuffer ring(8);
  ring.Write("abcde", 5);
  ring.Consume(3);
  ring.Consume(2);
  EXPECT_EQ(0, ring.read_index());
  EXPECT_EQ(0, ring.write_index());
  char* p;
  int n;
  ring.GetWritableRegion(&p, &n);
  EXPECT_EQ(8, n);
  ring.Write("ab", 2);
  ring.Consume(100);  // more than stored also clears
  EXPECT_TRUE(ring.IsEmpty());
  EXPECT_EQ(0, ring.write_index());
}

TEST(RingByteBufferTest, WriteStopsWhenFullAndReadSpansTheWrap) {
  RingByteBuffer ring(8);
  EXPECT_EQ(8, ring.Write("0123456789ab", 12));
  EXPECT_TRUE(ring.IsFull());
  char* p;
  int n;
  ring.GetWritableRegion(&p, &n);
  EXPECT_EQ(0, n);
  EXPECT_EQ(0, ring.Write("z", 1));
  char out[8];
  EXPECT_EQ(5, ring.Read(out, 5));
  EXPECT_EQ(4, ring.Write("wxyz", 4));
  char all[16];
  EXPECT_EQ(7, ring.Read(all, 16));
  EXPECT_EQ("567wxyz", std::string(all, 7));
}

TEST(RingByteBufferTest, CommitNeverOverwritesUnreadBytes) {
  RingByteBuffer ring(4);
  ring.Write("ab", 2);
  ring.Commit(10);
  EXPECT_EQ(4, ring.ReadableBytes());
  EXPECT_EQ(0, ring.write_index() - ring.read_index());
  ring.Commit(-3);
  EXPECT_EQ(4, ring.ReadableBytes());
}

TEST(RingByteBufferTest, ReserveMovesOrGrows) {
  RingByteBuffer ring(8);
  ring.Write("abcdef", 6);
  ring.Consume(4);  // "ef" at 4..5, writable region 2 bytes at the end
  EXPECT_TRUE(ring.Reserve(5));
  EXPECT_EQ(8, ring.Capacity());
  EXPECT_EQ(0, ring.read_index());
  EXPECT_EQ("ef", Readable(&ring));
  EXPECT_TRUE(ring.Reserve(7));  // only 6 free: grows by the request
  EXPECT_EQ(15, ring.Capacity());
  EXPECT_EQ("ef", Readable(&ring));
  char* p;
  int n;
  ring.GetWritableRegion(&p, &n);
  EXPECT_GE(n, 7);
}

TEST(RingByteBufferTest, ResizeKeepsOrderAndDropsOldestWhenShrinking) {
  RingByteBuffer ring(8);
  ring.Write("012345", 6);
  ring.Consume(5);
  ring.Write("6789abc", 7);  // "56789abc" wraps
  ring.Resize(12);
  EXPECT_EQ("56789abc", Readable(&ring));
  EXPECT_EQ(8, ring.write_index());
  ring.Resize(3);
  EXPECT_EQ("abc", Readable(&ring));
  EXPECT_EQ(0, ring.write_index());
  EXPECT_TRUE(ring.IsFull());
}

TEST(LinearByteBufferTest, GrowsToTheNeedThenDoubles) {
  LinearByteBuffer buf(4);
  EXPECT_EQ(10, buf.Write("0123456789", 10));
  EXPECT_EQ(10, buf.Capacity());
  EXPECT_TRUE(buf.IsFull());
  EXPECT_EQ(5, buf.Write("abcde", 5));
  EXPECT_EQ(20, buf.Capacity());
  EXPECT_EQ("0123456789abcde", Readable(&buf));
}

TEST(LinearByteBufferTest, ReserveMovesStoredBytesToTheStartWhenTheyFit) {
  LinearByteBuffer buf(8);
  buf.Write("abcdef", 6);
  buf.Consume(4);
  EXPECT_EQ(2, buf.FreeBytes());  // space before the read index does not count
  EXPECT_TRUE(buf.Reserve(5));
  EXPECT_EQ(8, buf.Capacity());
  EXPECT_EQ(0, buf.read_index());
  EXPECT_EQ("ef", Readable(&buf));
  EXPECT_EQ(6, buf.FreeBytes());
}

TEST(LinearByteBufferTest, CommitAndConsumeAreClamped) {
  LinearByteBuffer buf(4);
  buf.Commit(9);
  EXPECT_EQ(4, buf.write_index());
  buf.Consume(9);
  EXPECT_EQ(4, buf.read_index());
  EXPECT_TRUE(buf.IsEmpty());
  EXPECT_FALSE(buf.IsFull());  // full means stored bytes up to the end
  char out[4];
  EXPECT_EQ(0, buf.Read(out, 4));
  EXPECT_EQ(0, buf.Write("x", -1));
}

// Both buffers against a plain queue over many mixed operations, in place and by copy.
template <typename Buffer>
void RunModel(unsigned seed, int capacity, bool bounded) {
  std::mt19937 rng(seed);
  Buffer buf(capacity);
  std::deque<char> model;
  char scratch[64];
  for (int step = 0; step < 20000; ++step) {
    int op = static_cast<int>(rng() % 6);
    int len = static_cast<int>(rng() % 40);
    if (op == 0) {
      for (int i = 0; i < len; ++i)
        scratch[i] = static_cast<char>(rng());
      int took = buf.Write(scratch, len);
      if (bounded) {
        ASSERT_EQ(std::min<int>(len, capacity - static_cast<int>(model.size())), took);
      } else {
        ASSERT_EQ(len, took);
      }
      model.insert(model.end(), scratch, scratch + took);
    } else if (op == 1) {
      int got = buf.Read(scratch, len);
      ASSERT_EQ(std::min<int>(len, static_cast<int>(model.size())), got);
      for (int i = 0; i < got; ++i) {
        ASSERT_EQ(model.front(), scratch[i]);
        model.pop_front();
      }
    } else if (op == 2) {
      char* p;
      int n;
      buf.GetWritableRegion(&p, &n);
      int w = std::min(n, len);
      for (int i = 0; i < w; ++i)
        p[i] = static_cast<char>(rng());
      model.insert(model.end(), p, p + w);
      buf.Commit(w);
    } else if (op == 3) {
      char* p;
      int n;
      buf.GetReadableRegion(&p, &n);
      ASSERT_LE(n, static_cast<int>(model.size()));
      int r = std::min(n, len);
      for (int i = 0; i < r; ++i) {
        ASSERT_EQ(model.front(), p[i]);
        model.pop_front();
      }
      buf.Consume(r);
    } else if (op == 4 && !bounded) {
      ASSERT_TRUE(buf.Reserve(len));
      ASSERT_GE(buf.FreeBytes(), len);
    } else if (op == 5 && rng() % 50 == 0) {
      buf.Clear();
      model.clear();
    }
    ASSERT_EQ(static_cast<int>(model.size()), buf.ReadableBytes());
    ASSERT_EQ(model.empty(), buf.IsEmpty());
  }
}

TEST(ByteBufferModelTest, RingMatchesAQueue) {
  for (unsigned seed = 1; seed <= 5; ++seed)
    RunModel<RingByteBuffer>(seed, 37, true);
}

TEST(ByteBufferModelTest, LinearMatchesAQueue) {
  for (unsigned seed = 1; seed <= 5; ++seed)
    RunModel<LinearByteBuffer>(seed, 3, false);
}

}  // namespace
