#ifndef DAEMON_FRONT_QUEUE_LIMITS_H
#define DAEMON_FRONT_QUEUE_LIMITS_H

#include <stddef.h>

// How much the client side holds for peers that do not take their bytes. Every queue of
// output is bounded, so one application (or anyone who can reach the port) cannot make the
// daemon grow, and one stalled client never stalls the gateway session of all the others.
struct QueueLimits {
  // A tunnel stops reading one side while this much waits for the other, and reads again once
  // it is down to the low mark: TCP then slows the sender and nothing is dropped. 256 KB keeps
  // a tunnel at full speed over a mobile link (8 Mbit/s over 200 ms is 200 KB in flight); the
  // low mark at a quarter leaves 64 KB to send while the paused side refills, so the socket
  // never runs dry and a pause costs one wake-up per 192 KB rather than one per read.
  static constexpr size_t kTunnelHighMark = 256 * 1024;
  static constexpr size_t kTunnelLowMark = 64 * 1024;

  // SPDY/2 has no flow control: the gateway sends a reply as fast as it can, and the daemon
  // must keep reading the session for every other stream. A reply whose client takes nothing
  // is held up to the soft cap as long as the client moved a byte within the stall time
  // (1 MB is four times what a client's own socket buffers take, enough for an application
  // that reads in bursts), and never beyond the hard cap (16 MB: a 100 MB reply to a client
  // that reads nothing reaches it in a fraction of a second). Past either, the stream is
  // reset at the gateway and the client gets a TCP reset, never a short body that looks whole.
  static constexpr size_t kReplySoftCap = 1024 * 1024;
  static constexpr int kReplyStallSeconds = 5;
  static constexpr size_t kReplyHardCap = 16 * 1024 * 1024;
  // All reply queues together: past it, the stream with the largest queue goes first. Four
  // streams at the hard cap, a quarter of what a 32-bit process may well have to spare.
  static constexpr size_t kReplyCeiling = 64 * 1024 * 1024;
};

#endif  // DAEMON_FRONT_QUEUE_LIMITS_H
