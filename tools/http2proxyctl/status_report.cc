#include "status_report.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// The keys in reply order; "sim" and "config" are free text and come last.
const char* const kKeys[] = {"running",  "listen", "gateway", "uptime", "streams",
                             "linkDown", "linkUp", "appDown", "appUp",  "rttMs",
                             "level",    "sim",    "config"};

// 1234567 as "1,234,567".
std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      out += ',';
    out += digits[i];
  }
  return out;
}

std::string Duration(uint64_t s) {
  char text[64];
  if (s < 60)
    snprintf(text, sizeof(text), "%" PRIu64 " s", s);
  else if (s < 3600)
    snprintf(text, sizeof(text), "%" PRIu64 " min %02" PRIu64 " s", s / 60, s % 60);
  else
    snprintf(text, sizeof(text), "%" PRIu64 " h %02" PRIu64 " min", s / 3600, s / 60 % 60);
  return text;
}

}  // namespace

bool StatusReport::Parse(const std::string& text) {
  fields_.clear();
  if (text.size() < 2 || text.front() != '{' || text.back() != '}')
    return false;
  const std::string body = text.substr(1, text.size() - 2);
  // Each key is looked for after the previous one; a value runs to the next key's ",key:".
  size_t at = 0;
  const size_t count = sizeof(kKeys) / sizeof(kKeys[0]);
  for (size_t k = 0; k < count; ++k) {
    const std::string key = std::string(k == 0 ? "" : ",") + kKeys[k] + ":";
    if (body.compare(at, key.size(), key) != 0)
      return false;
    const size_t start = at + key.size();
    size_t end = body.size();
    if (k + 1 < count) {
      // The config path is last and may hold anything; sim stops at the last ",config:".
      end = k + 2 == count ? body.rfind(std::string(",") + kKeys[k + 1] + ":")
                           : body.find(std::string(",") + kKeys[k + 1] + ":", start);
      if (end == std::string::npos || end < start)
        return false;
    }
    fields_[kKeys[k]] = body.substr(start, end - start);
    at = end;
  }
  return true;
}

uint64_t StatusReport::Number(const std::string& key) const {
  auto it = fields_.find(key);
  return it == fields_.end() ? 0 : strtoull(it->second.c_str(), nullptr, 10);
}

const std::string& StatusReport::Text(const std::string& key) const {
  static const std::string kNone;
  auto it = fields_.find(key);
  return it == fields_.end() ? kNone : it->second;
}

bool StatusReport::SavingPercent(double* percent) const {
  const uint64_t app = Number("appDown") + Number("appUp");
  const uint64_t link = Number("linkDown") + Number("linkUp");
  if (app == 0)
    return false;
  *percent = 100.0 * (1.0 - static_cast<double>(link) / static_cast<double>(app));
  return true;
}

std::string StatusReport::Readable() const {
  const bool running = Text("running") == "1";
  std::string out;
  out += "proxy         " + std::string(running ? "running, listening on " : "stopped (") +
         Text("listen") + (running ? "" : " when started)") + ", image level " + Text("level") +
         "\n";
  out += "gateway       " + Text("gateway");
  if (Number("rttMs") > 0 || Text("gateway") == "up")
    out += ", last ping answered in " + Text("rttMs") + " ms";
  out += "\n";
  out += "uptime        " + Duration(Number("uptime")) + "\n";
  out += "streams       " + Grouped(Number("streams")) + "\n";
  out += "applications  " + Grouped(Number("appDown")) + " bytes received, " +
         Grouped(Number("appUp")) + " bytes sent\n";
  out += "gateway link  " + Grouped(Number("linkDown")) + " bytes received, " +
         Grouped(Number("linkUp")) + " bytes sent\n";
  double percent = 0;
  char saving[96];
  if (SavingPercent(&percent))
    snprintf(saving, sizeof(saving), "%.1f %% (the gateway link against the applications)",
             percent);
  else
    snprintf(saving, sizeof(saving), "none yet (no application traffic)");
  out += std::string("saving        ") + saving + "\n";
  out += "sim           " + (Text("sim").empty() ? std::string("(none)") : Text("sim")) + "\n";
  out += "config        " + Text("config") + "\n";
  return out;
}
