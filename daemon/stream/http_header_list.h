#ifndef DAEMON_STREAM_HTTP_HEADER_LIST_H
#define DAEMON_STREAM_HTTP_HEADER_LIST_H

#include <stddef.h>

// One header line: both texts live in the owning list's arena and are NUL-terminated.
struct HttpHeaderLine {
  const char* key;
  const char* value;
};

// The header lines of one message, in arrival order until SortByKey. Keys and values are copied
// into one growable text arena; the line array points into it.
class HttpHeaderList {
 public:
  typedef const HttpHeaderLine* const_iterator;

  static constexpr int kInitialArenaCapacity = 32768;
  static constexpr int kInitialLineCapacity = 64;

  HttpHeaderList();
  ~HttpHeaderList();

  HttpHeaderList(const HttpHeaderList&) = delete;
  HttpHeaderList& operator=(const HttpHeaderList&) = delete;

  // Appends a line with the key lower-cased (ASCII). Returns false, appending nothing, only when
  // the texts cannot be represented in the arena's int-sized counts.
  bool AppendHeader(const char* key, const char* value);
  // The same for texts given by length; they may hold any byte and get a terminator each.
  bool AppendHeader(const char* key, size_t key_len, const char* value, size_t value_len);

  // First line whose key equals `key` ignoring ASCII case; end() when there is none.
  const_iterator Lookup(const char* key) const;

  // Ascending strcmp order of the keys. Equal keys keep their arrival order, so the lines made
  // from the request line stay ahead of any client line that repeats their name.
  void SortByKey();

  // Drops every line; storage that grew returns to its initial size.
  void Clear();

  const_iterator begin() const { return lines_; }
  const_iterator end() const { return lines_ + line_count_; }
  int line_count() const { return line_count_; }
  int arena_capacity() const { return arena_capacity_; }
  int arena_used() const { return arena_used_; }
  int line_capacity() const { return line_capacity_; }

 private:
  bool GrowArena(long long needed);

  void TakeStorage();

  int arena_capacity_;
  char* arena_;
  int arena_used_;
  char* write_position_;
  int line_capacity_;
  HttpHeaderLine* lines_;
  int line_count_;
};

// ASCII-only case-insensitive equality of two NUL-terminated texts.
bool AsciiEqualsIgnoreCase(const char* a, const char* b);

#endif  // DAEMON_STREAM_HTTP_HEADER_LIST_H
