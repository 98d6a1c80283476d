#ifndef TESTS_DAEMON_GATEWAY_GATEWAY_PEERS_HELPER_H
#define TESTS_DAEMON_GATEWAY_GATEWAY_PEERS_HELPER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "control/command_notifier.h"
#include "core/proxy_config.h"
#include "gateway/quorvin_interface.h"
#include "gateway/quorvin_thread.h"
#include "net/epoll_server.h"
#include "stream/stream_dispatch.h"

// A node script started for one test (the test gateway or the origin) and the one JSON line it
// prints once it listens. Killed by pid when destroyed.
class NodePeer {
 public:
  NodePeer(const std::string& script, const std::vector<std::string>& args,
           const std::string& stderr_path);
  ~NodePeer();

  NodePeer(const NodePeer&) = delete;
  NodePeer& operator=(const NodePeer&) = delete;

  bool ok() const { return !line_.empty(); }
  const std::string& line() const { return line_; }

 private:
  pid_t pid_ = -1;
  std::string line_;
};

// The number after "name": in a JSON line; -1 when absent.
long long JsonNumber(const std::string& line, const std::string& name);
// The string after "name": in a JSON line (escapes kept as written); empty when absent.
std::string JsonString(const std::string& line, const std::string& name);

// Plays the HttpThread: records what the gateway side reports, in order.
class RecordingDispatch : public StreamDispatch {
 public:
  void ProcessBackInput(uint32_t stream_id, const char* data, size_t len) override;
  void QuorvinStreamDone(uint32_t stream_id) override;
  void QuorvinOnRstStream(uint32_t stream_id) override;
  void OnStatistic(uint32_t stream_id, const char* source_len, const char* compressed_len) override;
  void WakeFrontRead(uint32_t stream_id) override;
  void QuorvinConnectionStart() override;
  void QuorvinConnectionDone(int status) override;

  std::map<uint32_t, std::string> replies;  // every byte handed on, per stream
  std::vector<std::string> events;          // "done 1", "rst 3", "stat 5 a b", "start", "end 5"
  std::multiset<uint32_t> done;
  std::vector<int> end_codes;
  std::map<uint32_t, int> wakes;
  int starts = 0;
};

// Plays the "start" command's notifier.
class RecordingNotifier : public CommandNotifier {
 public:
  void OnInformation(int type, const std::string& text) override;
  void ReportFlow(int, int, int) override {}
  void ReportCompression(int, int, int) override {}
  std::vector<std::string> information;  // "2 StartConnection err"
};

// A gateway session on a loop run by the test thread, against the real test gateway and origin.
class GatewayHarness {
 public:
  GatewayHarness();
  ~GatewayHarness();

  // Starts the origin once and a gateway with `flags`; false when either did not come up.
  bool StartGateway(const std::vector<std::string>& flags);
  bool Connect();
  // Runs loop iterations (with the periodic check, as the HttpThread does) until `done` holds
  // or `seconds` pass; returns whether it held.
  bool RunUntil(const std::function<bool()>& done, double seconds = 10);
  bool RunUntilDone(uint32_t stream_id) {
    return RunUntil([&] { return dispatch.done.count(stream_id) > 0; });
  }
  bool RunUntilEnded() {
    return RunUntil([&] { return !dispatch.end_codes.empty(); });
  }

  // A request as the client side hands it over: the request line's pseudo-lines plus `lines`.
  size_t SendRequest(uint32_t stream_id, const std::string& method, const std::string& url,
                     const std::vector<std::pair<std::string, std::string>>& lines = {});
  size_t SendGet(uint32_t stream_id, const std::string& path);

  // Event log lines of the gateway whose "ev" is `ev` (every line when empty).
  std::vector<std::string> Log(const std::string& ev = "") const;
  // The gateway writes its log on its own time: wait for `count` lines of `ev` before reading.
  bool WaitForLog(const std::string& ev, size_t count) {
    return RunUntil([&] { return Log(ev).size() >= count; });
  }
  std::string origin_host() const { return "127.0.0.1:" + std::to_string(origin_port); }
  BackConnection* back() { return thread->back_connection(); }
  const std::string& dir() const { return dir_; }

  int origin_port = 0;
  int gateway_port = 0;
  std::string gateway_sha256;
  RecordingDispatch dispatch;
  RecordingNotifier notifier;
  EpollServer loop;
  std::unique_ptr<QuorvinInterface> session;
  std::unique_ptr<QuorvinThread> thread;

 private:
  ProxyConfig saved_config_;
  std::string dir_;
  std::string log_path_;
  std::unique_ptr<NodePeer> origin_;
  std::unique_ptr<NodePeer> gateway_;
};

// Descriptors this process holds open.
int OpenDescriptorCount();

// Hex SHA-256 of `bytes`.
std::string Sha256Hex(const std::string& bytes);

#endif  // TESTS_DAEMON_GATEWAY_GATEWAY_PEERS_HELPER_H
