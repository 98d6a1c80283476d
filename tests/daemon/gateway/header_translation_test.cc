// Header map building for a request and reply head conversion, both ways between HTTP/1.1 and
// the gateway's streams.
#include "gateway/header_translation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "stream/http_header_list.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Lines;

// "name=value;" per entry in map order, NUL shown as "|".
std::string Describe(const SpdyHeaderMap& map) {
  std::string out;
  for (const auto& e : map) {
    std::string value = e.second;
    for (char& c : value) {
      if (c == '\0')
        c = '|';
    }
    out += e.first + "=" + value + ";";
  }
  return out;
}

std::string WithNul(std::string s) {
  for (char& c : s) {
    if (c == '|')
      c = '\0';
  }
  return s;
}

TEST(HeaderTranslation, BuildsTheHeaderMapOfARequest) {
  const std::string fixed = "connection=close;";
  const struct {
    const char* name;
    Lines lines;
    const char* img_tag;
    int level;
    std::string want;
  } kCases[] = {
      {"repeated lines join with NUL in arrival order",
       {{"Accept", "a"}, {"Cookie", "c=1"}, {"accept", "b"}, {"ACCEPT", "c"}},
       "x-q",
       3,
       "accept=a|b|c;" + fixed + "cookie=c=1;x-q=3;"},
      {"relative url made absolute with the host",
       {{"url", "/p?q=1"}, {"host", "h.example:81"}},
       "x-q",
       0,
       fixed + "host=h.example:81;url=http://h.example:81/p?q=1;x-q=0;"},
      {"absolute url kept",
       {{"url", "http://a.example/x"}, {"host", "h.example"}},
       "x-q",
       0,
       fixed + "host=h.example;url=http://a.example/x;x-q=0;"},
      {"hop-by-hop lines removed, connection: close added",
       {{"Connection", "keep-alive"},
        {"Proxy-Connection", "keep-alive"},
        {"Keep-Alive", "300"},
        {"Transfer-Encoding", "chunked"},
        {"X-Original-Url", "/o"},
        {"X-Associated-Content", "z"},
        {"te", "trailers"}},
       "x-q",
       0,
       fixed + "te=trailers;x-q=0;"},
      {"a version line that is not HTTP is dropped",
       {{"version", "SPDY/2"}, {"versions", "HTTP/9"}, {"via", "v"}},
       "x-q",
       0,
       fixed + "versions=HTTP/9;via=v;x-q=0;"},
      {"the request's own image-level line wins", {{"X-Q", "9"}}, "x-q", 3, fixed + "x-q=9;"},
      {"empty IMG_TAG: the level under the empty name",
       {{"via", "v"}},
       "",
       -2,
       "=-2;" + fixed + "via=v;"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    HttpHeaderList list;
    for (const auto& line : c.lines)
      list.AppendHeader(line.first.c_str(), line.second.c_str());
    list.SortByKey();
    SpdyHeaderMap map;
    HeaderTranslation::BuildHeaderMap(list, c.img_tag, c.level, &map);
    EXPECT_EQ(Describe(map), c.want);
  }
}

TEST(HeaderTranslation, TurnsReplyHeadersIntoAnHttpHead) {
  const struct {
    const char* name;
    Lines map;
    bool ok;
    std::string head;
    const char* source;
    const char* compressed;
  } kCases[] = {
      {"map order, status and version lines included",
       {{"status", "200 OK"}, {"version", "HTTP/1.1"}, {"content-type", "text/html"}},
       true,
       "HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-type: text/html\r\nstatus: 200 OK\r\n"
       "version: HTTP/1.1\r\n\r\n",
       "",
       ""},
      {"NUL-separated values become one line each, empty pieces too",
       {{"status", "404 Not Found"},
        {"version", "HTTP/1.0"},
        {"set-cookie", "a|b"},
        {"x-e", "x||y|"}},
       true,
       "HTTP/1.0 404 Not Found\r\nconnection: close\r\nset-cookie: a\r\nset-cookie: b\r\n"
       "status: 404 Not Found\r\n"
       "version: HTTP/1.0\r\nx-e: x\r\nx-e: \r\nx-e: y\r\nx-e: \r\n\r\n",
       "",
       ""},
      {"transfer-encoding dropped in any letter case, and so is the gateway's connection header",
       {{"status", "200 OK"},
        {"version", "HTTP/1.1"},
        {"Transfer-Encoding", "chunked"},
        {"transfer-encoding", "chunked"},
        {"TRANSFER-encoding", "chunked"},
        {"Connection", "keep-alive"},
        {"keep-alive", "timeout=5"},
        {"Proxy-Connection", "keep-alive"}},
       true,
       "HTTP/1.1 200 OK\r\nconnection: close\r\nstatus: 200 OK\r\nversion: HTTP/1.1\r\n\r\n",
       "",
       ""},
      {"names that are empty or hold NUL or a colon left out",
       {{"status", "200 OK"},
        {"version", "HTTP/1.1"},
        {"", "v"},
        {std::string("x-\0a", 4), "v"},
        {"x:y", "v"},
        {"x-ok", "v"}},
       true,
       "HTTP/1.1 200 OK\r\nconnection: close\r\nstatus: 200 OK\r\nversion: HTTP/1.1\r\n"
       "x-ok: v\r\n\r\n",
       "",
       ""},
      {"equal content-lengths written once",
       {{"status", "200 OK"},
        {"version", "HTTP/1.1"},
        {"content-length", "5|5"},
        {"Content-Length", "5"}},
       true,
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nconnection: close\r\nstatus: 200 OK\r\n"
       "version: HTTP/1.1\r\n\r\n",
       "",
       ""},
      {"content-lengths that differ",
       {{"status", "200 OK"}, {"version", "HTTP/1.1"}, {"content-length", "5|6"}},
       false,
       "",
       "",
       ""},
      {"content-lengths that differ by letter case",
       {{"status", "200 OK"},
        {"version", "HTTP/1.1"},
        {"content-length", "5"},
        {"Content-Length", "7"}},
       false,
       "",
       "",
       ""},
      {"image sizes taken, the capitalised spelling winning",
       {{"status", "200 OK"},
        {"version", "HTTP/1.1"},
        {"x-img-src-len", "100"},
        {"x-img-dst-len", "40"},
        {"X-Img-Src-Len", "200"}},
       true,
       "HTTP/1.1 200 OK\r\nX-Img-Src-Len: 200\r\nconnection: close\r\nstatus: 200 OK\r\n"
       "version: HTTP/1.1\r\n"
       "x-img-dst-len: 40\r\nx-img-src-len: 100\r\n\r\n",
       "200",
       "40"},
      {"no status", {{"version", "HTTP/1.1"}, {"content-type", "text/html"}}, false, "", "", ""},
      {"no version", {{"status", "200 OK"}}, false, "", "", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SpdyHeaderMap map;
    for (const auto& e : c.map)
      map[e.first] = WithNul(e.second);
    std::string head, source, compressed;
    EXPECT_EQ(HeaderTranslation::SpdyHeadersToHttpResponse(&map, &head, &source, &compressed),
              c.ok);
    EXPECT_EQ(head, c.head);
    EXPECT_EQ(source, c.source);
    EXPECT_EQ(compressed, c.compressed);
  }
}

}  // namespace
