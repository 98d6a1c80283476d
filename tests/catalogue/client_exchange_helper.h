#ifndef TESTS_CATALOGUE_CLIENT_EXCHANGE_HELPER_H
#define TESTS_CATALOGUE_CLIENT_EXCHANGE_HELPER_H

#include <stddef.h>

#include <string>
#include <vector>

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

#endif  // TESTS_CATALOGUE_CLIENT_EXCHANGE_HELPER_H
