#include "net/async_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <map>
#include <set>
#include <vector>

#include "net/epoll_server.h"

namespace {

// Runs the loop until `count` results came or `seconds` passed; the results by ticket.
std::map<uint64_t, AsyncResolver::Result> Collect(EpollServer* loop, AsyncResolver* resolver,
                                                  size_t count, double seconds) {
  std::map<uint64_t, AsyncResolver::Result> got;
  std::vector<AsyncResolver::Result> results;
  for (int i = 0; i < seconds * 20 && got.size() < count; ++i) {
    loop->set_timeout_in_us(50000);
    loop->WaitForEventsAndExecuteCallbacks();
    resolver->TakeResults(&results);
    for (const AsyncResolver::Result& r : results) {
      EXPECT_EQ(0u, got.count(r.ticket)) << "ticket " << r.ticket << " twice";
      got[r.ticket] = r;
    }
  }
  return got;
}

TEST(AsyncResolver, LooksUpOffTheLoopOnceEachAndDropsWhatIsCancelled) {
  EpollServer loop(64);
  AsyncResolver resolver(&loop, 2, 10000);
  std::set<uint64_t> tickets;
  for (int i = 0; i < 6; ++i)
    tickets.insert(resolver.Resolve(i % 2 ? "localhost" : "127.0.0.3"));
  const uint64_t cancelled = resolver.Resolve("localhost");
  resolver.Cancel(cancelled);
  EXPECT_EQ(6u, tickets.size());
  EXPECT_EQ(0u, tickets.count(0));
  EXPECT_EQ(6u, resolver.pending());
  const auto got = Collect(&loop, &resolver, 6, 10);
  ASSERT_EQ(6u, got.size());
  for (const auto& entry : got) {
    EXPECT_EQ(1u, tickets.count(entry.first));
    EXPECT_EQ(0, entry.second.code);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &entry.second.address, text, sizeof(text));
    EXPECT_EQ(entry.first % 2 ? "127.0.0.3" : "127.0.0.1", std::string(text))
        << "ticket " << entry.first;
  }
  EXPECT_EQ(0u, resolver.pending());
  // The cancelled lookup never comes.
  EXPECT_TRUE(Collect(&loop, &resolver, 1, 0.3).empty());
}

TEST(AsyncResolver, ALookupPastItsTimeEndsAsTryAgain) {
  EpollServer loop(64);
  // No time at all: whatever the worker does, the ticket ends at the first look, once.
  AsyncResolver resolver(&loop, 1, 0);
  const uint64_t ticket = resolver.Resolve("localhost");
  std::vector<AsyncResolver::Result> results;
  resolver.TakeResults(&results);
  ASSERT_EQ(1u, results.size());
  EXPECT_EQ(ticket, results[0].ticket);
  EXPECT_TRUE(results[0].code == TRY_AGAIN || results[0].code == 0);
  EXPECT_TRUE(Collect(&loop, &resolver, 1, 0.5).empty());
}

}  // namespace
