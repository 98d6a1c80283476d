#include "control/status_command.h"

#include <arpa/inet.h>
#include <inttypes.h>
#include <netinet/in.h>
#include <stdio.h>

#include "control/config_updater.h"
#include "control/operate_db.h"
#include "control/proxy_control.h"
#include "core/logging.h"
#include "core/proxy_config.h"

namespace {

const char kTag[] = "control_message";

std::string Address(uint32_t ip_network_order, uint32_t port) {
  struct in_addr addr;
  addr.s_addr = ip_network_order;
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &addr, text, sizeof(text));
  return std::string(text) + ":" + std::to_string(port);
}

}  // namespace

StatusCommand::StatusCommand(SocketListener* listener, ProxyControl* app, OperateDB* db)
    : ControlCommand("status", listener, app, db) {
  // The uptime counts from here, the daemon's start.
  LinkCounters::Get();
}

int StatusCommand::runCommand(SocketClient* client, int /*argc*/, char** /*argv*/) {
  QV_LOGD(kTag, "status run");
  const LinkCounters::Snapshot counters = LinkCounters::Get().Read();
  Facts facts;
  facts.running = app_->started();
  if (facts.running && counters.listen_port != 0) {
    facts.listen = Address(counters.listen_ip, counters.listen_port);
  } else {
    const ProxyConfig* config = GetProxyConfig();
    facts.listen = config->listen_ip_ + ":" + config->listen_port_;
  }
  facts.level = app_->image_level();
  facts.sim = db_->sim_id();
  facts.config = ConfigUpdater::DefaultConfigPath();
  Reply(client, Format(facts, counters));
  return 0;
}

std::string StatusCommand::Format(const Facts& facts, const LinkCounters::Snapshot& c) {
  char figures[320];
  snprintf(figures, sizeof(figures),
           "gateway:%s,uptime:%" PRId64 ",streams:%" PRIu64 ",linkDown:%" PRIu64 ",linkUp:%" PRIu64
           ",appDown:%" PRIu64 ",appUp:%" PRIu64 ",rttMs:%" PRIu32 ",level:%d,",
           c.gateway_up ? "up" : "down", c.uptime_s, c.streams, c.link_down, c.link_up, c.app_down,
           c.app_up, c.rtt_ms, facts.level);
  return std::string("{running:") + (facts.running ? "1" : "0") + ",listen:" + facts.listen + "," +
         figures + "sim:" + facts.sim + ",config:" + facts.config + "}";
}
