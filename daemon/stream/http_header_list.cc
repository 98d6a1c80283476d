#include "stream/http_header_list.h"

#include <limits.h>
#include <string.h>

#include <algorithm>

namespace {

inline unsigned char AsciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool KeyLess(const HttpHeaderLine& a, const HttpHeaderLine& b) {
  return strcmp(a.key, b.key) < 0;
}

// Below this many lines a plain insertion sort beats the merge sort's scratch allocation.
const int kInsertionSortLimit = 32;

}  // namespace

bool AsciiEqualsIgnoreCase(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    if (AsciiLower(*x) != AsciiLower(*y))
      return false;
    if (*x == 0)
      return true;
  }
}

HttpHeaderList::HttpHeaderList()
    : arena_capacity_(kInitialArenaCapacity),
      arena_(nullptr),
      arena_used_(0),
      write_position_(nullptr),
      line_capacity_(kInitialLineCapacity),
      lines_(nullptr),
      line_count_(0) {}

void HttpHeaderList::TakeStorage() {
  // Taken with the first line: a client that has sent nothing holds none of it.
  if (arena_ == nullptr) {
    arena_ = new char[arena_capacity_];
    write_position_ = arena_ + arena_used_;
  }
  if (lines_ == nullptr)
    lines_ = new HttpHeaderLine[line_capacity_];
}

HttpHeaderList::~HttpHeaderList() {
  delete[] arena_;
  delete[] lines_;
}

bool HttpHeaderList::AppendHeader(const char* key, const char* value) {
  return AppendHeader(key, strlen(key), value, strlen(value));
}

bool HttpHeaderList::GrowArena(long long needed) {
  if (needed > INT_MAX)
    return false;
  long long capacity = arena_capacity_;
  while (capacity < needed)
    capacity *= 2;
  if (capacity > INT_MAX)
    capacity = INT_MAX;
  char* fresh = new char[capacity];
  memcpy(fresh, arena_, static_cast<size_t>(arena_used_));
  for (int i = 0; i < line_count_; ++i) {
    lines_[i].key = fresh + (lines_[i].key - arena_);
    lines_[i].value = fresh + (lines_[i].value - arena_);
  }
  delete[] arena_;
  arena_ = fresh;
  arena_capacity_ = static_cast<int>(capacity);
  write_position_ = arena_ + arena_used_;
  return true;
}

bool HttpHeaderList::AppendHeader(const char* key, size_t key_len, const char* value,
                                  size_t value_len) {
  if (key_len > INT_MAX / 2 || value_len > INT_MAX / 2)
    return false;
  TakeStorage();
  const long long needed = static_cast<long long>(arena_used_) + static_cast<long long>(key_len) +
                           static_cast<long long>(value_len) + 2;
  if (needed > arena_capacity_ && !GrowArena(needed))
    return false;
  if (line_count_ == line_capacity_) {
    if (line_capacity_ > INT_MAX / 2)
      return false;
    HttpHeaderLine* fresh = new HttpHeaderLine[line_capacity_ * 2];
    std::copy(lines_, lines_ + line_count_, fresh);
    delete[] lines_;
    lines_ = fresh;
    line_capacity_ *= 2;
  }

  char* out = write_position_;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(key);
  for (size_t i = 0; i < key_len; ++i)
    out[i] = static_cast<char>(AsciiLower(in[i]));
  out[key_len] = '\0';
  char* value_out = out + key_len + 1;
  if (value_len > 0)
    memcpy(value_out, value, value_len);
  value_out[value_len] = '\0';

  lines_[line_count_].key = out;
  lines_[line_count_].value = value_out;
  ++line_count_;
  const int used = static_cast<int>(key_len + value_len + 2);
  arena_used_ += used;
  write_position_ += used;
  return true;
}

HttpHeaderList::const_iterator HttpHeaderList::Lookup(const char* key) const {
  for (const_iterator it = begin(); it != end(); ++it) {
    if (AsciiEqualsIgnoreCase(it->key, key))
      return it;
  }
  return end();
}

void HttpHeaderList::SortByKey() {
  if (line_count_ <= kInsertionSortLimit) {
    for (int i = 1; i < line_count_; ++i) {
      HttpHeaderLine line = lines_[i];
      int j = i;
      while (j > 0 && KeyLess(line, lines_[j - 1])) {
        lines_[j] = lines_[j - 1];
        --j;
      }
      lines_[j] = line;
    }
    return;
  }
  std::stable_sort(lines_, lines_ + line_count_, KeyLess);
}

void HttpHeaderList::Clear() {
  // A list that grew goes back to its initial size, taken again with its next line.
  if (arena_capacity_ != kInitialArenaCapacity) {
    delete[] arena_;
    arena_ = nullptr;
    arena_capacity_ = kInitialArenaCapacity;
  }
  if (line_capacity_ != kInitialLineCapacity) {
    delete[] lines_;
    lines_ = nullptr;
    line_capacity_ = kInitialLineCapacity;
  }
  arena_used_ = 0;
  write_position_ = arena_;
  line_count_ = 0;
}
