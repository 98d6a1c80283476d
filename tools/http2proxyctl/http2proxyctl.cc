// http2proxyctl: the control client of the http2quorvin daemon.
//
//   http2proxyctl [--socket PATH] [--timeout SECONDS] [--raw] WORD...
//       Sends the words as one command, prints the reply ("<code> <text>") on standard output;
//       the reply to "status" is written out for a person, with the saving in percent, unless
//       --raw. Exit status: 0 for a code-1 reply, 1 for any other reply (500 to 599: the
//       command was rejected or refused), 2 when no reply came (timeout or the daemon closed
//       the socket), 3 when the socket cannot be reached, 4 for bad usage, a known command
//       among them that lacks a word or has a date that is not YYYY-MM-DD (the daemon would
//       not answer it). Broadcasts that arrive before the reply go to standard error.
//   http2proxyctl [--socket PATH] --listen
//       Prints every message the daemon broadcasts, one per line, until interrupted (status 0)
//       or until the daemon closes the socket (status 2): the gateway's status (100 to 500) and
//       the outcome of each "updateconfig" download (600 to 603).
//
// The socket is PATH, else $HTTP2QUORVIN_SOCKET, else /dev/socket/http2proxy.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "command_table.h"
#include "status_report.h"

namespace {

enum ExitCode {
  kOk = 0,
  kFailureReply = 1,
  kNoReply = 2,
  kNoSocket = 3,
  kUsage = 4,
};

volatile sig_atomic_t g_interrupted = 0;
// SIGINT and SIGTERM stay blocked except inside ppoll, so that one arriving between the flag
// test and the wait still ends the wait.
sigset_t g_wait_mask;

void OnSignal(int) {
  g_interrupted = 1;
}

void Usage() {
  fprintf(stderr,
          "usage: http2proxyctl [--socket PATH] [--timeout SECONDS] [--raw] WORD...\n"
          "       http2proxyctl [--socket PATH] --listen\n"
          "Sends one command to the http2quorvin control socket and prints the reply.\n"
          "Exit status: 0 reply code 1, 1 other reply, 2 no reply, 3 no socket, 4 usage.\n"
          "Commands:\n");
  for (const CommandTable::Command& c : CommandTable::Commands())
    fprintf(stderr, "  %s\n", c.usage);
}

// A word as the listener splits it back: quoted, with '"' and '\' escaped, when it is empty or
// holds a blank, a quote or a backslash.
std::string QuoteWord(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"' || c == '\\')
      plain = false;
  if (plain)
    return word;
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\')
      out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int Connect(const std::string& path) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    fprintf(stderr, "http2proxyctl: socket path too long: %s\n", path.c_str());
    return -1;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fprintf(stderr, "http2proxyctl: socket: %s\n", strerror(errno));
    return -1;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
    fprintf(stderr, "http2proxyctl: cannot connect to %s: %s\n", path.c_str(), strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Reads NUL-terminated messages from the daemon.
class MessageReader {
 public:
  explicit MessageReader(int fd) : fd_(fd) {}

  // 1: *msg holds the next message; 0: the daemon closed the socket; -1: timeout, interrupt
  // or error. `timeout_ms` < 0 waits for ever.
  int Next(std::string* msg, int timeout_ms) {
    const double deadline = Now() + timeout_ms / 1000.0;
    while (true) {
      size_t nul = buffer_.find('\0');
      if (nul != std::string::npos) {
        msg->assign(buffer_, 0, nul);
        buffer_.erase(0, nul + 1);
        return 1;
      }
      timespec wait;
      timespec* wait_for = nullptr;
      if (timeout_ms >= 0) {
        double left = deadline - Now();
        if (left <= 0)
          return -1;
        wait.tv_sec = static_cast<time_t>(left);
        wait.tv_nsec = static_cast<long>((left - static_cast<double>(wait.tv_sec)) * 1e9);
        wait_for = &wait;
      }
      if (g_interrupted)
        return -1;
      pollfd pfd = {fd_, POLLIN, 0};
      int n = ppoll(&pfd, 1, wait_for, &g_wait_mask);
      if (n < 0 && errno != EINTR)
        return -1;
      if (g_interrupted)
        return -1;
      if (n <= 0)
        continue;
      char buf[4096];
      ssize_t got = read(fd_, buf, sizeof(buf));
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        return got == 0 ? 0 : -1;
      buffer_.append(buf, static_cast<size_t>(got));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

// "<code> <text>" split; false when the message does not start with a number.
bool ParseMessage(const std::string& msg, int* code, std::string* text) {
  size_t i = 0;
  while (i < msg.size() && msg[i] >= '0' && msg[i] <= '9')
    ++i;
  if (i == 0 || i > 9)
    return false;
  *code = atoi(msg.substr(0, i).c_str());
  *text = i < msg.size() ? msg.substr(i + 1) : "";
  return true;
}

// The daemon broadcasts the gateway's status with codes 100 to 400, and 500 with the text
// "server disconnection", and the outcome of a configuration download with 600 to 699. A
// command's own reply is code 1, 500 for a command the listener rejected, or 501 to 599 for a
// refused request.
bool IsBroadcast(int code, const std::string& text) {
  if ((code >= 100 && code < 500) || (code >= 600 && code < 700))
    return true;
  return code == 500 && text == "server disconnection";
}

void InstallSignals() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &g_wait_mask);
  sigdelset(&g_wait_mask, SIGINT);
  sigdelset(&g_wait_mask, SIGTERM);
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int Listen(int fd, const std::string& path) {
  fprintf(stderr, "http2proxyctl: listening on %s\n", path.c_str());
  MessageReader reader(fd);
  std::string msg;
  while (true) {
    int rc = reader.Next(&msg, -1);
    if (rc == 1) {
      printf("%s\n", msg.c_str());
      fflush(stdout);
      continue;
    }
    if (g_interrupted)
      return kOk;
    fprintf(stderr, "http2proxyctl: the daemon closed the socket\n");
    return kNoReply;
  }
}

int RunCommand(int fd, const std::vector<std::string>& words, double timeout_s, bool raw) {
  std::string command;
  for (const std::string& w : words) {
    if (!command.empty())
      command += ' ';
    command += QuoteWord(w);
  }
  command += '\0';
  if (!SendAll(fd, command)) {
    fprintf(stderr, "http2proxyctl: send failed: %s\n", strerror(errno));
    return kNoReply;
  }

  MessageReader reader(fd);
  const double deadline = Now() + timeout_s;
  std::string msg;
  while (true) {
    double left = deadline - Now();
    int rc = left > 0 ? reader.Next(&msg, static_cast<int>(left * 1000.0) + 1) : -1;
    if (rc == 0) {
      fprintf(stderr, "http2proxyctl: the daemon closed the socket without a reply\n");
      return kNoReply;
    }
    if (rc < 0) {
      if (g_interrupted)
        fprintf(stderr, "http2proxyctl: interrupted before a reply\n");
      else
        fprintf(stderr, "http2proxyctl: no reply to \"%s\" within %g s\n", words[0].c_str(),
                timeout_s);
      return kNoReply;
    }
    int code;
    std::string text;
    if (ParseMessage(msg, &code, &text) && IsBroadcast(code, text)) {
      fprintf(stderr, "http2proxyctl: broadcast: %s\n", msg.c_str());
      continue;
    }
    const bool ok = ParseMessage(msg, &code, &text) && code == 1;
    StatusReport status;
    if (ok && !raw && words[0] == "status" && status.Parse(text))
      printf("%s", status.Readable().c_str());
    else
      printf("%s\n", msg.c_str());
    fflush(stdout);
    return ok ? kOk : kFailureReply;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  const char* env = getenv("HTTP2QUORVIN_SOCKET");
  path = (env != nullptr && *env != '\0') ? env : "/dev/socket/http2proxy";
  double timeout_s = 5.0;
  bool listen = false;
  bool raw = false;

  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--socket" || arg == "--timeout") {
      if (i + 1 >= argc) {
        Usage();
        return kUsage;
      }
      const char* value = argv[++i];
      if (arg == "--socket") {
        path = value;
      } else {
        char* end = nullptr;
        timeout_s = strtod(value, &end);
        if (end == value || *end != '\0' || !(timeout_s > 0)) {
          fprintf(stderr, "http2proxyctl: bad timeout: %s\n", value);
          return kUsage;
        }
      }
    } else if (arg == "--listen") {
      listen = true;
    } else if (arg == "--raw") {
      raw = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return kOk;
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      fprintf(stderr, "http2proxyctl: unknown option %s\n", arg.c_str());
      Usage();
      return kUsage;
    } else {
      break;  // the command's words start here
    }
  }
  std::vector<std::string> words(argv + i, argv + argc);
  if (listen == !words.empty()) {
    Usage();
    return kUsage;
  }
  std::string why;
  if (!listen && !CommandTable::Check(words, &why)) {
    fprintf(stderr, "http2proxyctl: %s\nusage: http2proxyctl [--socket PATH] %s\n", why.c_str(),
            CommandTable::Find(words[0])->usage);
    return kUsage;
  }

  InstallSignals();
  int fd = Connect(path);
  if (fd < 0)
    return kNoSocket;
  int rc = listen ? Listen(fd, path) : RunCommand(fd, words, timeout_s, raw);
  close(fd);
  return rc;
}
