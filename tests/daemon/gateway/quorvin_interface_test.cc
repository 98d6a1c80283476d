// What the gateway session makes of a reply's headers.
#include "gateway/quorvin_interface.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "daemon/gateway/gateway_peers_helper.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Lines;

TEST(QuorvinInterface, ReportsImageSizesOnlyWhenBothArePresent) {
  // SYN_REPLY fixed part of stream 9.
  char bytes[14] = {'\x80', 2, 0, 2, 0, 0, 0, 6, 0, 0, 0, 9, 0, 0};
  SpdyFrame frame(bytes, false);
  const struct {
    Lines extra;
    std::vector<std::string> want;
  } kCases[] = {
      {{{"x-img-src-len", "3000"}, {"x-img-dst-len", "1200"}}, {"stat 9 3000 1200"}},
      {{{"X-Img-Src-Len", "7"}, {"x-img-dst-len", "5"}}, {"stat 9 7 5"}},
      {{{"x-img-src-len", "3000"}}, {}},
      {{{"x-img-dst-len", "1200"}}, {}},
  };
  for (const auto& c : kCases) {
    RecordingDispatch dispatch;
    QuorvinInterface session(&dispatch);
    SpdyHeaderMapHandle headers(new SpdyHeaderMap());
    (*headers)["status"] = "200 OK";
    (*headers)["version"] = "HTTP/1.1";
    for (const auto& e : c.extra)
      (*headers)[e.first] = e.second;
    session.OnSynReply(frame, headers);
    EXPECT_EQ(dispatch.events, c.want);
    EXPECT_EQ(dispatch.replies[9].compare(0, 17, "HTTP/1.1 200 OK\r\n"), 0);
  }
}

}  // namespace
