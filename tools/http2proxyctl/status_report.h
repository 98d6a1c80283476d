#ifndef TOOLS_HTTP2PROXYCTL_STATUS_REPORT_H
#define TOOLS_HTTP2PROXYCTL_STATUS_REPORT_H

#include <stdint.h>

#include <map>
#include <string>

// The reply to "status" ({running:1,listen:IP:PORT,...,config:PATH}) read back and written
// for a person, with the saving: how much less crossed the gateway link than the applications
// sent and received.
class StatusReport {
 public:
  // False when `text` is not a status reply.
  bool Parse(const std::string& text);
  std::string Readable() const;

  // A figure of the reply; 0 when absent.
  uint64_t Number(const std::string& key) const;
  const std::string& Text(const std::string& key) const;
  // 1 - link bytes / application bytes, in percent; false when the applications moved nothing.
  bool SavingPercent(double* percent) const;

 private:
  std::map<std::string, std::string> fields_;
};

#endif  // TOOLS_HTTP2PROXYCTL_STATUS_REPORT_H
