#ifndef TESTS_CATALOGUE_CLIENT_EXCHANGE_HELPER_H
#define TESTS_CATALOGUE_CLIENT_EXCHANGE_HELPER_H

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "catalogue/catalogue_helper.h"

namespace qvtest {
class DaemonUnderTest;
}

// What a raw client got from the proxy for the bytes it sent.
struct Exchange {
  std::string received;
  bool closed = false;  // the daemon closed (FIN or reset) within the wait
  bool reset = false;
  double seconds = 0;  // until the close
};

// Sends `pieces` to the proxy at `port` 50 ms apart, then reads until the daemon closes or
// `wait_s` pass; with `close_after`, closes right after sending instead. `*sent` is the bytes
// the socket took.
Exchange Talk(int port, const std::vector<std::string>& pieces, bool close_after, double wait_s,
              size_t* sent);

// The bytes of each "send" line of `c`, each passed through `fill` (placeholders), or false with
// the error.
bool CaseBytes(const CatalogueCase& c, const std::function<void(std::string*)>& fill,
               std::vector<std::string>* pieces, std::string* error);

// Today's "up" and "down" figures of every application, as queryflow answers them.
bool Figures(qvtest::DaemonUnderTest& daemon, long long* up, long long* down);
// Waits until the figures are `up` and `down` (the last figure of a connection may still be on
// its way when the client has seen the close); `*seen` is what was read last.
bool FiguresReach(qvtest::DaemonUnderTest& daemon, long long up, long long down, std::string* seen);

#endif  // TESTS_CATALOGUE_CLIENT_EXCHANGE_HELPER_H
