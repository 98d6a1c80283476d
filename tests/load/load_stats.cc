#include "load/load_stats.h"

#include <stdio.h>

#include <algorithm>

namespace {

const size_t kMaxSamples = 20;

double Percentile(std::vector<float> values, double p) {
  if (values.empty())
    return 0;
  const size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
  return values[at];
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  static const char* const kNames[] = {"ok",     "corrupted", "misrouted", "truncated_as_complete",
                                       "closed", "failed"};
  return outcome < kOutcomeCount ? kNames[outcome] : "?";
}

void LoadStats::Add(LoadRequest::Kind kind, Outcome outcome, double latency,
                    const std::string& why) {
  ++outcomes[outcome];
  ++by_kind[kind][outcome];
  if (outcome == kOk)
    latency_ms.push_back(static_cast<float>(latency));
  else if (samples.size() < kMaxSamples)
    samples.push_back(why);
}

void LoadStats::Merge(const LoadStats& o) {
  for (int i = 0; i < kOutcomeCount; ++i) {
    outcomes[i] += o.outcomes[i];
    for (int k = 0; k < LoadRequest::kKindCount; ++k)
      by_kind[k][i] += o.by_kind[k][i];
  }
  keepalive_reconnects += o.keepalive_reconnects;
  keepalive_reused += o.keepalive_reused;
  bytes_in += o.bytes_in;
  bytes_out += o.bytes_out;
  latency_ms.insert(latency_ms.end(), o.latency_ms.begin(), o.latency_ms.end());
  for (const std::string& s : o.samples) {
    if (samples.size() < kMaxSamples)
      samples.push_back(s);
  }
}

uint64_t LoadStats::total() const {
  uint64_t n = 0;
  for (uint64_t c : outcomes)
    n += c;
  return n;
}

std::string LoadStats::Json(double seconds, double cpu_seconds) const {
  std::string out = "{\"requests\":" + std::to_string(total());
  for (int i = 0; i < kOutcomeCount; ++i)
    out += ",\"" + std::string(OutcomeName(static_cast<Outcome>(i))) +
           "\":" + std::to_string(outcomes[i]);
  char buf[256];
  snprintf(buf, sizeof(buf),
           ",\"keepalive_reconnects\":%llu,\"keepalive_reused\":%llu,\"bytes_in\":%llu,"
           "\"bytes_out\":%llu,\"seconds\":%.3f,\"rps\":%.1f,\"p50_ms\":%.2f,\"p99_ms\":%.2f,"
           "\"client_cpu_s\":%.2f",
           static_cast<unsigned long long>(keepalive_reconnects),
           static_cast<unsigned long long>(keepalive_reused),
           static_cast<unsigned long long>(bytes_in), static_cast<unsigned long long>(bytes_out),
           seconds, seconds > 0 ? static_cast<double>(total()) / seconds : 0.0,
           Percentile(latency_ms, 0.5), Percentile(latency_ms, 0.99), cpu_seconds);
  out += buf;
  out += ",\"by_kind\":{";
  for (int k = 0; k < LoadRequest::kKindCount; ++k) {
    out += std::string(k ? "," : "") + "\"" + KindName(static_cast<LoadRequest::Kind>(k)) + "\":{";
    for (int i = 0; i < kOutcomeCount; ++i)
      out += std::string(i ? "," : "") + "\"" + OutcomeName(static_cast<Outcome>(i)) +
             "\":" + std::to_string(by_kind[k][i]);
    out += "}";
  }
  out += "},\"samples\":[";
  for (size_t i = 0; i < samples.size(); ++i)
    out += std::string(i ? "," : "") + "\"" + Escape(samples[i]) + "\"";
  out += "]}";
  return out;
}
