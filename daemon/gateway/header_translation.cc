#include "gateway/header_translation.h"

#include <stdio.h>
#include <string.h>

#include <utility>

#include "core/logging.h"
#include "stream/http_header_list.h"

namespace {

// Its lines are the gateway session's.
const char kTag[] = "quorvin_interface";

std::string Lower(const std::string& s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool StartsWith(const char* s, const char* prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

// The first occurrence of a name wins.
void Store(SpdyHeaderMap* map, const std::string& name, std::string&& value) {
  map->emplace(Lower(name), std::move(value));
}

}  // namespace

void HeaderTranslation::BuildHeaderMap(const HttpHeaderList& headers, const std::string& img_tag,
                                       int image_level, SpdyHeaderMap* map) {
  // The value is gathered where the map keeps it: no buffer of its own, and no copy of it.
  std::string value;
  std::string previous;
  bool have_previous = false;
  for (const HttpHeaderLine& line : headers) {
    if (StartsWith(line.key, "version") && !StartsWith(line.value, "HTTP")) {
      QV_LOGW(kTag, "not valid version %s", line.value);
      continue;
    }
    if (have_previous && previous == line.key) {
      value.push_back('\0');
      value.append(line.value);
      continue;
    }
    if (have_previous)
      Store(map, previous, std::move(value));
    value.assign(line.value);
    previous = line.key;
    have_previous = true;
  }
  if (have_previous)
    Store(map, previous, std::move(value));

  char level[16];
  snprintf(level, sizeof(level), "%d", image_level);
  map->emplace(img_tag, level);

  for (const char* name : {"x-associated-content", "x-original-url", "transfer-encoding",
                           "connection", "proxy-connection", "keep-alive"}) {
    map->erase(name);
  }
  (*map)["connection"] = "close";

  auto url = map->find("url");
  if (url != map->end() && !url->second.empty() && url->second[0] == '/') {
    QV_LOGD(kTag, "need modify url");
    auto host = map->find("host");
    url->second = "http://" + (host != map->end() ? host->second : std::string()) + url->second;
    QV_LOGD(kTag, "need modify url %s", url->second.c_str());
  }
}

bool HeaderTranslation::SpdyHeadersToHttpResponse(SpdyHeaderMap* headers, std::string* head,
                                                  std::string* source_len,
                                                  std::string* compressed_len,
                                                  std::string* problem) {
  auto status = headers->find("status");
  auto version = headers->find("version");
  if (status == headers->end() || version == headers->end()) {
    if (problem != nullptr)
      *problem = "no usable status or version";
    return false;
  }
  // A line break would let the gateway's text end the head early or add lines of its own.
  auto has_line_break = [](const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
  };
  if (has_line_break(status->second) || has_line_break(version->second)) {
    if (problem != nullptr)
      *problem = "no usable status or version";
    return false;
  }
  // The body arrives unframed in data frames, and the client connection closes after it: the
  // gateway's framing and connection headers, in whatever letter case, do not apply to it.
  std::string length;
  bool have_length = false;
  for (auto it = headers->begin(); it != headers->end();) {
    const std::string name = Lower(it->first);
    if (name == "transfer-encoding" || name == "connection" || name == "keep-alive" ||
        name == "proxy-connection") {
      it = headers->erase(it);
      continue;
    }
    if (name == "content-length") {
      // Repeated lengths are one value with NUL between them; any two that differ leave the
      // client no way to tell where the body ends.
      size_t start = 0;
      while (true) {
        const size_t nul = it->second.find('\0', start);
        const std::string piece =
            it->second.substr(start, nul == std::string::npos ? std::string::npos : nul - start);
        if (have_length && piece != length) {
          if (problem != nullptr)
            *problem = "content-length values that differ";
          return false;
        }
        length = piece;
        have_length = true;
        if (nul == std::string::npos)
          break;
        start = nul + 1;
      }
    }
    ++it;
  }

  auto it = headers->find("x-img-src-len");
  if (it != headers->end()) {
    QV_LOGD(kTag, "find X-IMG-SRC-LEN");
    *source_len = it->second;
  }
  it = headers->find("X-Img-Src-Len");
  if (it != headers->end()) {
    QV_LOGD(kTag, "find X-IMG-SRC-LEN1");
    *source_len = it->second;
  }
  it = headers->find("x-img-dst-len");
  if (it != headers->end()) {
    QV_LOGD(kTag, "find X-IMG_DST_LEN");
    *compressed_len = it->second;
  }
  it = headers->find("X-Img-Dst-Len");
  if (it != headers->end()) {
    QV_LOGD(kTag, "find X-IMG_DST_LEN1");
    *compressed_len = it->second;
  }

  (*headers)["connection"] = "close";
  *head = version->second + " " + status->second + "\r\n";
  bool length_written = false;
  for (const auto& entry : *headers) {
    if (has_line_break(entry.first) || has_line_break(entry.second)) {
      QV_LOGW(kTag, "SpdyHeadersToHttpResponse: a header with a line break left out");
      continue;
    }
    // An empty name, or one holding NUL or ':', would make a line that is no header at all.
    if (entry.first.empty() ||
        entry.first.find_first_of(std::string(":\0", 2)) != std::string::npos) {
      QV_LOGW(kTag, "SpdyHeadersToHttpResponse: a header with an empty name, NUL or ':' left out");
      continue;
    }
    if (Lower(entry.first) == "content-length") {
      // Equal lengths are written once: a client may refuse a head that repeats its length.
      if (length_written)
        continue;
      length_written = true;
      head->append(entry.first).append(": ").append(length).append("\r\n");
      continue;
    }
    size_t start = 0;
    while (true) {
      const size_t nul = entry.second.find('\0', start);
      head->append(entry.first).append(": ");
      head->append(entry.second, start, nul == std::string::npos ? std::string::npos : nul - start);
      head->append("\r\n");
      if (nul == std::string::npos)
        break;
      start = nul + 1;
    }
  }
  head->append("\r\n");
  QV_LOGD(kTag, "SpdyHeadersToHttpResponse %s", head->c_str());
  return true;
}
