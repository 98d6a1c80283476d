#include "stream/http_header_list.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Keys(const HttpHeaderList& list) {
  std::vector<std::string> keys;
  for (const HttpHeaderLine& line : list)
    keys.push_back(line.key);
  return keys;
}

TEST(HttpHeaderList, AppendLowerCasesOnlyTheKeyAndLookupIgnoresCase) {
  HttpHeaderList list;
  list.AppendHeader("Content-TYPE", "Text/HTML");
  list.AppendHeader("X-\xC4-A", "1");
  list.AppendHeader("content-type", "second");
  EXPECT_EQ(3, list.line_count());
  EXPECT_STREQ("content-type", list.begin()->key);
  EXPECT_STREQ("Text/HTML", list.begin()->value);
  // Only ASCII letters change.
  EXPECT_STREQ("x-\xC4-a", list.begin()[1].key);

  HttpHeaderList::const_iterator found = list.Lookup("CONTENT-type");
  ASSERT_NE(list.end(), found);
  EXPECT_STREQ("Text/HTML", found->value);
  EXPECT_EQ(list.end(), list.Lookup("content-typ"));
  EXPECT_EQ(list.end(), list.Lookup("content-type2"));
  HttpHeaderList empty;
  EXPECT_EQ(empty.end(), empty.Lookup("a"));
}

TEST(HttpHeaderList, ArenaDoublesWhenTheNextLineDoesNotFitAndKeepsEarlierText) {
  HttpHeaderList list;
  // Each line takes key + value + two terminators.
  const std::string first(16000, 'a');
  const std::string second(16650, 'b');
  list.AppendHeader("key-one", first.c_str());
  list.AppendHeader("key-two", second.c_str());
  const int used = 7 + 16000 + 2 + 7 + static_cast<int>(second.size()) + 2;
  EXPECT_EQ(used, list.arena_used());
  ASSERT_LE(used, 32768);
  const int room = 32768 - used;
  // A line that fits exactly does not grow the arena.
  ASSERT_GE(room, 3);
  list.AppendHeader("k", std::string(static_cast<size_t>(room - 3), 'c').c_str());
  EXPECT_EQ(32768, list.arena_used());
  EXPECT_EQ(32768, list.arena_capacity());
  // One byte more doubles it, and every line still reads back.
  list.AppendHeader("", "");
  EXPECT_EQ(65536, list.arena_capacity());
  EXPECT_EQ(first, list.Lookup("KEY-ONE")->value);
  EXPECT_EQ(second, list.Lookup("key-two")->value);
  EXPECT_EQ(std::string(static_cast<size_t>(room - 3), 'c'), list.Lookup("k")->value);

  // A single huge line doubles as often as needed.
  list.AppendHeader("big", std::string(200000, 'd').c_str());
  EXPECT_EQ(262144, list.arena_capacity());
  EXPECT_EQ(first, list.Lookup("key-one")->value);
  EXPECT_EQ(200000u, strlen(list.Lookup("big")->value));
}

TEST(HttpHeaderList, LineArrayDoublesAndKeepsOrder) {
  HttpHeaderList list;
  for (int i = 0; i < 64; ++i)
    list.AppendHeader(("k" + std::to_string(i)).c_str(), std::to_string(i).c_str());
  EXPECT_EQ(64, list.line_capacity());
  list.AppendHeader("k64", "64");
  EXPECT_EQ(128, list.line_capacity());
  ASSERT_EQ(65, list.line_count());
  int i = 0;
  for (const HttpHeaderLine& line : list) {
    EXPECT_EQ("k" + std::to_string(i), line.key);
    EXPECT_EQ(std::to_string(i), line.value);
    ++i;
  }
}

TEST(HttpHeaderList, SortIsByteOrderAndKeepsArrivalOrderOfEqualKeys) {
  for (int extra : {0, 60}) {
    HttpHeaderList list;
    list.AppendHeader("url", "first");
    list.AppendHeader("a_b", "");
    list.AppendHeader("\xE9t\xE9", "");
    list.AppendHeader("a-b", "");
    list.AppendHeader("URL", "second");
    list.AppendHeader("Accept", "");
    for (int i = 0; i < extra; ++i)
      list.AppendHeader(i % 2 ? "z" : "url", std::to_string(i).c_str());
    list.AppendHeader("url", "last");
    list.SortByKey();
    std::vector<std::string> keys = Keys(list);
    EXPECT_EQ("a-b", keys[0]);
    EXPECT_EQ("a_b", keys[1]);
    EXPECT_EQ("accept", keys[2]);
    EXPECT_EQ("\xE9t\xE9", keys.back()) << "bytes above 0x7f sort last";
    std::vector<std::string> urls;
    for (const HttpHeaderLine& line : list) {
      if (std::string(line.key) == "url")
        urls.push_back(line.value);
    }
    ASSERT_EQ(static_cast<size_t>(3 + extra / 2), urls.size());
    EXPECT_EQ("first", urls.front());
    EXPECT_EQ("second", urls[1]);
    EXPECT_EQ("last", urls.back());
    for (size_t k = 1; k < keys.size(); ++k)
      EXPECT_LE(keys[k - 1], keys[k]);
  }
}

TEST(HttpHeaderList, LengthFormKeepsAnyByteAndTerminatesBoth) {
  HttpHeaderList list;
  const char key[] = {'A', '\0', 'B'};
  const char value[] = {'x', '\r', '\n', 'y'};
  list.AppendHeader(key, sizeof(key), value, sizeof(value));
  ASSERT_EQ(1, list.line_count());
  EXPECT_EQ(0, memcmp(list.begin()->key, "a\0b", 4));
  EXPECT_EQ(std::string("x\r\ny"), list.begin()->value);
  EXPECT_EQ(3 + 1 + 4 + 1, list.arena_used());
}

TEST(HttpHeaderList, ClearEmptiesAndShrinksGrownStorage) {
  HttpHeaderList list;
  for (int i = 0; i < 100; ++i)
    list.AppendHeader("k", std::string(500, 'v').c_str());
  ASSERT_GT(list.arena_capacity(), HttpHeaderList::kInitialArenaCapacity);
  ASSERT_GT(list.line_capacity(), HttpHeaderList::kInitialLineCapacity);
  list.Clear();
  EXPECT_EQ(0, list.line_count());
  EXPECT_EQ(0, list.arena_used());
  EXPECT_EQ(list.begin(), list.end());
  EXPECT_EQ(HttpHeaderList::kInitialArenaCapacity, list.arena_capacity());
  EXPECT_EQ(HttpHeaderList::kInitialLineCapacity, list.line_capacity());
  list.AppendHeader("Host", "h");
  EXPECT_STREQ("h", list.Lookup("host")->value);
}

TEST(AsciiEqualsIgnoreCase, ComparesWholeTexts) {
  EXPECT_TRUE(AsciiEqualsIgnoreCase("ChUnKeD", "chunked"));
  EXPECT_TRUE(AsciiEqualsIgnoreCase("", ""));
  EXPECT_FALSE(AsciiEqualsIgnoreCase("chunked", "chunked "));
  EXPECT_FALSE(AsciiEqualsIgnoreCase("chunke", "chunked"));
  // 0xC4 and 0xE4 differ by the ASCII case bit but are not letters.
  EXPECT_FALSE(AsciiEqualsIgnoreCase("\xC4", "\xE4"));
  EXPECT_FALSE(AsciiEqualsIgnoreCase("@", "`"));
}

}  // namespace
