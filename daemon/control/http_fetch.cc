#include "control/http_fetch.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/error_text.h"
#include "net/name_resolver.h"

const int kHttpMaxBody = 1024 * 1024;
const int kHttpMaxHead = 8192;

namespace {

// Client settings. No Referer line is ever sent (nothing sets one); the User-Agent line always is.
int g_read_timeout = 30;
const int kFollowRedirects = 3;
const char kUserAgent[] = "QuorvinConfig/1.1.0";
const char kHttpVersion[] = "HTTP/1.0";
// Set while a running fetch must give up at its next wait.
std::atomic<bool> g_cancelled{false};
// How long a wait sleeps before it looks at the cancel flag again.
const int kCancelCheckMs = 100;

enum ErrorKind { kTable = 0, kSystem = 1, kResolver = 2 };

enum ErrorIndex {
  kSuccess = 0,
  kInternal,
  kNullUrl,
  kNoMetadata,
  kNoData,
  kNoReturnCode,
  kBadReturnCode,
  kStatusCode,
  kBadContentLength,
  kNetwork,
  kNoLocation,
  kMaxRedirects,
  kHeadTooLong,
  kClosedInHead,
  kBodyTooLong,
  kShortBody,
  kCancelled,
  kRedirectScheme,
  kRedirectHost,
  kErrorCount
};

const char* const kErrorTexts[kErrorCount] = {
    "Success",
    "Internal Error. What the hell?!",
    "Got NULL url",
    "Timed out, no metadata for %d seconds",
    "Timed out, no data for %d seconds",
    "Couldn't find return code in HTTP response",
    "Couldn't convert return code in HTTP response",
    "Request returned a status code of %d",
    "Couldn't convert Content-Length to integer",
    "Network error (description unavailable)",
    "Status code of %d but no Location: field",
    "Followed the maximum number of redirects (%d)",
    "Response head longer than %d bytes",
    "Connection closed inside the response head",
    "Body longer than %d bytes",
    "Body ended after %d bytes, short of its Content-Length",
    "Download cancelled",
    "Redirect to a scheme other than http refused",
    "Redirect to another host refused",
};

// The last failure. For system and resolver errors `arg` keeps errno or the resolver code as
// they were at the failure, since closing the socket afterwards may change errno.
struct LastError {
  int kind;
  int index;
  int arg;
};
LastError g_error = {kTable, kSuccess, 0};

int FailTable(int index, int arg) {
  g_error = {kTable, index, arg};
  return -1;
}

int FailSystem(int err) {
  g_error = {kSystem, kSuccess, err};
  return -1;
}

int FailResolver(int code) {
  g_error = {kResolver, kSuccess, code};
  return -1;
}

class Socket {
 public:
  Socket() = default;
  ~Socket() { Reset(-1); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  void Reset(int fd) {
    if (fd_ >= 0)
      close(fd_);
    fd_ = fd;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// poll rather than select: the daemon may hold more descriptors than an fd_set can name. The
// wait is cut into short slices so that a cancel ends it promptly.
// Returns 1 when `fd` is ready, 0 on a time-out, -1 on an error (errno set), kWaitCancelled
// when the fetch was cancelled.
const int kWaitCancelled = -2;
int WaitFor(int fd, short events) {
  long long left_ms = -1;
  if (g_read_timeout >= 0)
    left_ms = static_cast<long long>(g_read_timeout) * 1000;
  for (;;) {
    if (g_cancelled.load())
      return kWaitCancelled;
    const int slice =
        (left_ms >= 0 && left_ms < kCancelCheckMs) ? static_cast<int>(left_ms) : kCancelCheckMs;
    pollfd p = {fd, events, 0};
    int n = poll(&p, 1, slice);
    if (n < 0 && errno == EINTR)
      continue;
    if (n != 0)
      return n > 0 ? 1 : n;
    if (left_ms >= 0) {
      left_ms -= slice;
      if (left_ms <= 0)
        return 0;
    }
  }
}

ssize_t ReadSome(int fd, char* buf, size_t len) {
  for (;;) {
    ssize_t n = read(fd, buf, len);
    if (n < 0 && errno == EINTR)
      continue;
    return n;
  }
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5)
    return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535)
    return false;
  *port = value;
  return true;
}

// Resolves "name[:port]" and connects to its first address. 0 or -1 (error recorded).
int Connect(const std::string& host_part, Socket* sock) {
  std::string name = host_part;
  int port = 80;
  const size_t colon = host_part.find(':');
  if (colon != std::string::npos) {
    name = host_part.substr(0, colon);
    if (!ParsePort(host_part.substr(colon + 1), &port))
      return FailSystem(EINVAL);
  }
  if (name.empty())
    return FailResolver(HOST_NOT_FOUND);

  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  const int code = ResolveHost(name, &addr.sin_addr);
  if (code != 0)
    return FailResolver(code);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));

  // A non-blocking connect, so that an unreachable server costs one read timeout, not the
  // kernel's minutes of retries, and a cancel ends the wait.
  sock->Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock->fd() < 0)
    return FailSystem(errno);
  if (connect(sock->fd(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (errno != EINPROGRESS && errno != EINTR)
      return FailSystem(errno);
    const int ready = WaitFor(sock->fd(), POLLOUT);
    if (ready == kWaitCancelled)
      return FailTable(kCancelled, 0);
    if (ready == 0)
      return FailSystem(ETIMEDOUT);
    if (ready < 0)
      return FailSystem(errno);
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(sock->fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
      return FailSystem(errno);
    if (err != 0)
      return FailSystem(err);
  }
  // Every read below waits for readiness first; the request is written in blocking mode.
  const int flags = fcntl(sock->fd(), F_GETFL);
  if (flags < 0 || fcntl(sock->fd(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    return FailSystem(errno);
  return 0;
}

int SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return FailSystem(errno);
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Reads the head byte by byte (nothing of the body is consumed) up to the blank line that ends
// it; a '\r' does not break a run of line ends.
int ReadHead(int fd, std::string* head) {
  int line_ends = 0;
  while (line_ends < 2) {
    if (head->size() >= static_cast<size_t>(kHttpMaxHead))
      return FailTable(kHeadTooLong, kHttpMaxHead);
    int ready = WaitFor(fd, POLLIN);
    if (ready == kWaitCancelled)
      return FailTable(kCancelled, 0);
    if (ready == 0)
      return FailTable(kNoMetadata, g_read_timeout);
    if (ready < 0)
      return FailSystem(errno);
    char c;
    ssize_t n = ReadSome(fd, &c, 1);
    if (n < 0)
      return FailSystem(errno);
    if (n == 0)
      return FailTable(kClosedInHead, 0);
    head->push_back(c);
    if (c == '\n')
      ++line_ends;
    else if (c != '\r')
      line_ends = 0;
  }
  return 0;
}

// The value of the header line whose name (with its colon) is `name`, in any letter case, with
// the blanks after the colon skipped. Names are matched at the start of a line only, so that
// "Content-Location:" is never taken for "Location:".
bool FindHeader(const std::string& head, const char* name, std::string* value) {
  const size_t name_len = strlen(name);
  size_t pos = head.find('\n');
  while (pos != std::string::npos) {
    const size_t begin = pos + 1;
    size_t end = head.find('\n', begin);
    pos = end;
    if (end == std::string::npos)
      end = head.size();
    if (end > begin && head[end - 1] == '\r')
      --end;
    if (end - begin >= name_len && strncasecmp(head.c_str() + begin, name, name_len) == 0) {
      size_t v = begin + name_len;
      while (v < end && (head[v] == ' ' || head[v] == '\t'))
        ++v;
      *value = head.substr(v, end - v);
      return true;
    }
  }
  return false;
}

// The status code after the "HTTP/" of the status line. 0 or -1 (error recorded).
int ParseStatus(const std::string& head, int* code) {
  const std::string status_line = head.substr(0, head.find_first_of("\r\n"));
  const size_t http = status_line.find("HTTP/");
  if (http == std::string::npos)
    return FailTable(kNoReturnCode, 0);
  const size_t space = status_line.find(' ', http);
  if (space == std::string::npos)
    return FailTable(kBadReturnCode, 0);
  const char* start = status_line.c_str() + space + 1;
  char* end = nullptr;
  errno = 0;
  long value = strtol(start, &end, 10);
  if (end == start || errno == ERANGE || value > INT_MAX || value < INT_MIN)
    return FailTable(kBadReturnCode, 0);
  *code = static_cast<int>(value);
  return 0;
}

// Digits only, blanks around them allowed; at most kHttpMaxBody. 0 or -1 (error recorded).
int ParseContentLength(const std::string& text, size_t* length) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
    ++i;
  const size_t digits = i;
  size_t value = 0;
  bool too_long = false;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + static_cast<size_t>(text[i] - '0');
    if (value > static_cast<size_t>(kHttpMaxBody)) {
      too_long = true;
      value = static_cast<size_t>(kHttpMaxBody) + 1;
    }
    ++i;
  }
  const bool converted = i > digits;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
    ++i;
  if (!converted || i != text.size())
    return FailTable(kBadContentLength, 0);
  if (too_long)
    return FailTable(kBodyTooLong, kHttpMaxBody);
  *length = value;
  return 0;
}

// Reads the body: exactly Content-Length bytes when the head announced it, else everything up
// to the server's close. 0 or -1 (error recorded).
int ReadBody(int fd, bool has_length, size_t length, std::string* data) {
  if (has_length)
    data->reserve(length);
  char chunk[4096];
  for (;;) {
    size_t want = sizeof(chunk);
    if (has_length) {
      if (data->size() == length)
        return 0;
      if (length - data->size() < want)
        want = length - data->size();
    }
    int ready = WaitFor(fd, POLLIN);
    if (ready == kWaitCancelled)
      return FailTable(kCancelled, 0);
    if (ready == 0)
      return FailTable(kNoData, g_read_timeout);
    if (ready < 0)
      return FailSystem(errno);
    ssize_t n = ReadSome(fd, chunk, want);
    if (n < 0)
      return FailSystem(errno);
    if (n == 0) {
      if (has_length)
        return FailTable(kShortBody, static_cast<int>(data->size()));
      return 0;
    }
    if (data->size() + static_cast<size_t>(n) > static_cast<size_t>(kHttpMaxBody))
      return FailTable(kBodyTooLong, kHttpMaxBody);
    data->append(chunk, static_cast<size_t>(n));
  }
}

// The url of a Location line runs to the first blank or control character.
size_t UrlEnd(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ' && text[i] != '\x7f')
    ++i;
  return i;
}

// The host name of "name[:port]", lower-cased.
std::string HostName(const std::string& host_part) {
  std::string name = host_part.substr(0, host_part.find(':'));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// The url a Location leads to from `host_part` and `path`. A redirect may only lead to plain
// HTTP on the server's own host: one to https would be fetched as plain HTTP, and one to
// another host would let a redirect (or whoever can forge one) pick the configuration. 0 or -1
// (error recorded).
int FollowLocation(const std::string& location, const std::string& host_part,
                   const std::string& path, const std::string& server_host, std::string* url) {
  std::string next;
  const size_t scheme = location.find("://");
  const size_t first_special = location.find_first_of("/?#");
  if (scheme != std::string::npos &&
      (first_special == std::string::npos || scheme < first_special)) {
    if (scheme != 4 || strncasecmp(location.c_str(), "http", 4) != 0)
      return FailTable(kRedirectScheme, 0);
    next = location;
  } else if (location.compare(0, 2, "//") == 0) {
    next = "http:" + location;
  } else if (location[0] == '/') {
    // A Location without a host stays on the host of this request.
    next = "http://" + host_part + location;
  } else {
    // Relative to the folder of this request's path.
    const size_t slash = path.rfind('/');
    next = "http://" + host_part + (slash == std::string::npos ? "/" : path.substr(0, slash + 1)) +
           location;
  }
  const size_t host_begin = next.find("://") + 3;
  const std::string next_host =
      next.substr(host_begin, next.find_first_of("/?#", host_begin) - host_begin);
  if (next_host.find('@') != std::string::npos || HostName(next_host) != server_host)
    return FailTable(kRedirectHost, 0);
  *url = next;
  return 0;
}

std::string BuildRequest(const std::string& host_part, const std::string& path) {
  std::string request;
  request.reserve(1024);
  request += "GET ";
  request += path.empty() ? "/" : path;
  request += " ";
  request += kHttpVersion;
  request += "\r\nHost: ";
  request += host_part;
  request += "\r\nUser-Agent: ";
  request += kUserAgent;
  request += "\r\nConnection: Close\r\n\r\n";
  return request;
}

}  // namespace

int http_fetch(const char* url_arg, char** body) {
  if (url_arg == nullptr)
    return FailTable(kNullUrl, 0);
  std::string url = url_arg;
  std::string server_host;
  for (int redirects = 0;; ++redirects) {
    if (g_cancelled.load())
      return FailTable(kCancelled, 0);
    const size_t scheme = url.find("://");
    const size_t host_begin = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t slash = url.find('/', host_begin);
    const std::string host_part =
        url.substr(host_begin, slash == std::string::npos ? std::string::npos : slash - host_begin);
    const std::string path = slash == std::string::npos ? std::string() : url.substr(slash);
    if (redirects == 0)
      server_host = HostName(host_part);

    Socket sock;
    if (Connect(host_part, &sock) != 0)
      return -1;
    if (SendAll(sock.fd(), BuildRequest(host_part, path)) != 0)
      return -1;
    std::string head;
    if (ReadHead(sock.fd(), &head) != 0)
      return -1;
    int code = 0;
    if (ParseStatus(head, &code) != 0)
      return -1;
    if (code < 200 || code > 307)
      return FailTable(kStatusCode, code);

    if (code >= 300) {
      std::string location;
      if (FindHeader(head, "Location:", &location))
        location = location.substr(0, UrlEnd(location));
      if (location.empty())
        return FailTable(kNoLocation, code);
      if (redirects >= kFollowRedirects)
        return FailTable(kMaxRedirects, kFollowRedirects);
      if (FollowLocation(location, host_part, path, server_host, &url) != 0)
        return -1;
      continue;
    }

    bool has_length = false;
    size_t length = 0;
    std::string length_text;
    if (FindHeader(head, "Content-Length:", &length_text)) {
      if (ParseContentLength(length_text, &length) != 0)
        return -1;
      has_length = true;
    }
    std::string data;
    if (ReadBody(sock.fd(), has_length, length, &data) != 0)
      return -1;

    if (body != nullptr) {
      char* copy = static_cast<char*>(malloc(data.size() + 1));
      if (copy == nullptr)
        return FailSystem(ENOMEM);
      memcpy(copy, data.data(), data.size());
      copy[data.size()] = '\0';
      *body = copy;
    }
    g_error = {kTable, kSuccess, 0};
    return static_cast<int>(data.size());
  }
}

std::string http_strerror(const char* prefix) {
  const std::string lead =
      (prefix != nullptr && prefix[0] != '\0') ? std::string(prefix) + ": " : "";
  switch (g_error.kind) {
    case kSystem:
      return lead + ErrorText(g_error.arg);
    case kResolver:
      return lead + hstrerror(g_error.arg);
    default:
      break;
  }
  const int index = (g_error.index >= 0 && g_error.index < kErrorCount) ? g_error.index : kInternal;
  const std::string text = kErrorTexts[index];
  const size_t mark = text.find("%d");
  if (mark == std::string::npos)
    return lead + text;
  // An entry that carries a figure is written without the prefix.
  return text.substr(0, mark) + std::to_string(g_error.arg) + text.substr(mark + 2);
}

void http_perror(const char* prefix) {
  if (g_error.kind == kSystem) {
    errno = g_error.arg;
    perror(prefix);
  } else if (g_error.kind == kResolver) {
    h_errno = g_error.arg;
    herror(prefix);
  } else {
    const std::string text = http_strerror(prefix) + "\n";
    fputs(text.c_str(), stderr);
  }
}

void http_set_read_timeout(int seconds) {
  g_read_timeout = seconds;
}

int http_read_timeout() {
  return g_read_timeout;
}

void http_cancel(bool cancelled) {
  g_cancelled.store(cancelled);
}
