#ifndef DAEMON_NET_ASYNC_RESOLVER_H
#define DAEMON_NET_ASYNC_RESOLVER_H

#include <netinet/in.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class EpollServer;

// Host name lookups (ResolveHost) on threads of their own, so that a slow name server holds up
// the one client waiting for the name and never the event loop. At most `workers` lookups run
// at once; the rest wait their turn. A lookup that has not ended `timeout_ms` after it was asked
// for ends then as TRY_AGAIN, and its late answer is dropped. Owned and called on the loop's
// thread only; the loop is woken when a lookup ends.
class AsyncResolver {
 public:
  struct Result {
    uint64_t ticket;
    // 0, or the resolver's code (HOST_NOT_FOUND, TRY_AGAIN, ...).
    int code;
    struct in_addr address;
  };

  AsyncResolver(EpollServer* loop, int workers, int timeout_ms);
  // Lookups still running go on by themselves and end unheard.
  ~AsyncResolver();

  AsyncResolver(const AsyncResolver&) = delete;
  AsyncResolver& operator=(const AsyncResolver&) = delete;

  // Starts a lookup; the ticket (never 0) names its result.
  uint64_t Resolve(const std::string& host);
  // Its result will not be wanted.
  void Cancel(uint64_t ticket);
  // The lookups that ended since the last call, and those past their time, in that order.
  void TakeResults(std::vector<Result>* results);
  // Lookups asked for and not yet taken.
  size_t pending() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  const int timeout_ms_;
  // Tickets not yet taken, and when each was asked for (monotonic milliseconds).
  std::map<uint64_t, int64_t> asked_;
  uint64_t next_ticket_ = 1;
};

#endif  // DAEMON_NET_ASYNC_RESOLVER_H
