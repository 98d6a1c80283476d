#ifndef DAEMON_CONTROL_FLOW_COMPRESS_LISTENER_H
#define DAEMON_CONTROL_FLOW_COMPRESS_LISTENER_H

#include <sysutils/FrameworkListener.h>

#include <memory>
#include <vector>

class ControlCommand;
class OperateDB;
class ProxyControl;

// The control socket "http2proxy" and its commands: start, stop, set, sim, deviceid, query,
// querydetail, queryflow, querydetailflow, updateconfig (the configuration download) and status
// (what the daemon carried since it started). It owns
// the proxy it is given and the flow database for the life of the process; startListener serves
// the socket on a thread of its own and every command runs there, one at a time.
class FlowCompressListener : public FrameworkListener {
 public:
  // Takes ownership of `app`.
  explicit FlowCompressListener(ProxyControl* app);
  // Stops serving, stops a running proxy, then frees the commands and the database.
  ~FlowCompressListener() override;

  ProxyControl* app_interface() { return app_.get(); }
  OperateDB* flow_db() { return db_.get(); }

 private:
  std::unique_ptr<ProxyControl> app_;
  std::unique_ptr<OperateDB> db_;
  std::vector<std::unique_ptr<ControlCommand>> commands_;
};

#endif  // DAEMON_CONTROL_FLOW_COMPRESS_LISTENER_H
