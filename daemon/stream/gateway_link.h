#ifndef DAEMON_STREAM_GATEWAY_LINK_H
#define DAEMON_STREAM_GATEWAY_LINK_H

class EpollServer;

// The gateway connection, as the client side drives it: made on demand when a client is
// accepted, and checked for its timeouts once per loop iteration. The gateway side implements
// it. Every call is made on the HttpThread.
class GatewayLink {
 public:
  enum State {
    kUp,          // a connection is active
    kConnecting,  // an attempt runs on the loop: QuorvinConnectionStart or
                  // QuorvinConnectionFailed (StreamDispatch) tells how it ends
    kDown,        // no connection, and none could be started
  };

  virtual ~GatewayLink() {}
  // Makes the connection on `loop` unless one is up or on its way. Never waits for the network.
  virtual State StartConnection(EpollServer* loop) = 0;
  // Once per HttpThread loop iteration.
  virtual void PeriodicCheck() = 0;
};

#endif  // DAEMON_STREAM_GATEWAY_LINK_H
