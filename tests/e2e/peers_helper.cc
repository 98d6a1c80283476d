#include "e2e/peers_helper.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>

extern char** environ;

namespace qvtest {

namespace {

void RemoveTree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    unlink(path.c_str());
    return;
  }
  while (struct dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..")
      continue;
    const std::string child = path + "/" + name;
    struct stat st;
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      RemoveTree(child);
    else
      unlink(child.c_str());
  }
  closedir(dir);
  rmdir(path.c_str());
}

std::string EnvName(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

TempDir::TempDir(const std::string& base) {
  const char* tmp = getenv("TMPDIR");
  const std::string root = !base.empty() ? base : (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  std::string templ = root + "/qv_e2e_XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) != nullptr)
    path_ = buf.data();
  // Other users (a client run under setpriv) must be able to write their output here.
  chmod(path_.c_str(), 0777);
}

TempDir::~TempDir() {
  if (!path_.empty())
    RemoveTree(path_);
}

Process::~Process() {
  if (pid_ > 0)
    Stop(SIGKILL, 5);
}

bool Process::Spawn(const std::vector<std::string>& argv, const std::string& out_path,
                    const std::string& err_path, const std::vector<std::string>& env) {
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& w : words)
    args.push_back(&w[0]);
  args.push_back(nullptr);

  std::set<std::string> replaced;
  for (const std::string& e : env)
    replaced.insert(EnvName(e));
  std::vector<std::string> env_words;
  for (char** e = environ; *e != nullptr; ++e) {
    if (replaced.count(EnvName(*e)) == 0)
      env_words.push_back(*e);
  }
  for (const std::string& e : env) {
    if (e.back() != '=')
      env_words.push_back(e);
  }
  std::vector<char*> envp;
  for (std::string& e : env_words)
    envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0666);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0666);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    return false;
  pid_ = pid;
  status_ = -1;
  return true;
}

int Process::Wait(double timeout_s) {
  if (pid_ <= 0)
    return status_;
  int status = 0;
  const bool ended = WaitUntil(
      [&]() {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        return r == pid_ || (r < 0 && errno == ECHILD);
      },
      timeout_s);
  if (!ended)
    return -1;
  pid_ = -1;
  status_ = status;
  return status;
}

int Process::Stop(int signo, double timeout_s) {
  if (pid_ <= 0)
    return status_;
  kill(pid_, signo);
  int status = Wait(timeout_s);
  if (status == -1 && pid_ > 0) {
    kill(pid_, SIGKILL);
    status = Wait(10);
  }
  return status;
}

bool Process::Running() {
  if (pid_ <= 0)
    return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0)
    return true;
  pid_ = -1;
  status_ = status;
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  return static_cast<bool>(out);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

double NowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string WaitForFirstLine(const std::string& path, double timeout_s) {
  std::string line;
  WaitUntil(
      [&]() {
        const std::string text = ReadFile(path);
        const size_t nl = text.find('\n');
        if (nl == std::string::npos)
          return false;
        line = text.substr(0, nl);
        return true;
      },
      timeout_s);
  return line;
}

long long JsonNumber(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  const size_t at = json.find(needle);
  if (at == std::string::npos)
    return -1;
  return strtoll(json.c_str() + at + needle.size(), nullptr, 10);
}

bool Origin::Start(const TempDir& dir) {
  const std::string out = dir.File("origin.out");
  if (!process_.Spawn({QV_NODE, QV_ORIGIN_JS}, out, dir.File("origin.err")))
    return false;
  const std::string line = WaitForFirstLine(out, 20);
  http_port_ = static_cast<int>(JsonNumber(line, "http"));
  https_port_ = static_cast<int>(JsonNumber(line, "https"));
  return http_port_ > 0 && https_port_ > 0;
}

std::string Origin::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + path;
}

std::string Origin::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(https_port_) + path;
}

bool Gateway::Start(const TempDir& dir, const std::vector<std::string>& flags,
                    const std::string& name) {
  log_path_ = dir.File(name + ".jsonl");
  std::vector<std::string> argv = {QV_NODE, QV_GATEWAY_JS, "--port", "0", "--log", log_path_};
  argv.insert(argv.end(), flags.begin(), flags.end());
  const std::string out = dir.File(name + ".out");
  if (!process_.Spawn(argv, out, dir.File(name + ".err")))
    return false;
  port_ = static_cast<int>(JsonNumber(WaitForFirstLine(out, 20), "listening"));
  return port_ > 0;
}

void Gateway::Stop() {
  process_.Stop(SIGTERM, 5);
}

std::vector<std::string> Gateway::Events(const std::string& ev) const {
  std::vector<std::string> found;
  const std::string needle = "\"ev\":\"" + ev + "\"";
  for (const std::string& line : Lines(ReadFile(log_path_))) {
    if (ev.empty() || line.find(needle) != std::string::npos)
      found.push_back(line);
  }
  return found;
}

namespace {

std::atomic<int> next_curl_id{0};

struct CurlRun {
  Process process;
  std::string base;
};

void StartCurl(const TempDir& dir, const std::vector<std::string>& args,
               const std::vector<std::string>& prefix, CurlRun* run) {
  run->base = dir.File("curl" + std::to_string(next_curl_id++));
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), {"curl", "-sS", "-o", run->base + ".body", "-D", run->base + ".head"});
  argv.insert(argv.end(), args.begin(), args.end());
  // Only the proxy the test names: none from the environment, and no exceptions to it.
  run->process.Spawn(argv, run->base + ".w", run->base + ".err",
                     {"http_proxy=", "https_proxy=", "HTTPS_PROXY=", "all_proxy=", "ALL_PROXY=",
                      "no_proxy=", "NO_PROXY="});
}

CurlResult FinishCurl(CurlRun* run, double timeout_s) {
  CurlResult result;
  const int status = run->process.Wait(timeout_s);
  if (status == -1)
    run->process.Stop(SIGKILL, 5);
  else if (WIFEXITED(status))
    result.exit_code = WEXITSTATUS(status);
  result.headers = ReadFile(run->base + ".head");
  result.body = ReadFile(run->base + ".body");
  result.stderr_text = ReadFile(run->base + ".err");
  result.written = ReadFile(run->base + ".w");
  return result;
}

}  // namespace

CurlResult RunCurl(const TempDir& dir, const std::vector<std::string>& args, double timeout_s,
                   const std::vector<std::string>& prefix) {
  CurlRun run;
  StartCurl(dir, args, prefix, &run);
  return FinishCurl(&run, timeout_s);
}

std::vector<CurlResult> RunCurls(const TempDir& dir,
                                 const std::vector<std::vector<std::string>>& arg_lists,
                                 double timeout_s) {
  std::vector<CurlRun> runs(arg_lists.size());
  for (size_t i = 0; i < arg_lists.size(); ++i)
    StartCurl(dir, arg_lists[i], {}, &runs[i]);
  std::vector<CurlResult> results;
  for (CurlRun& run : runs)
    results.push_back(FinishCurl(&run, timeout_s));
  return results;
}

namespace {

// The last response head in a -D dump (curl writes every head, the CONNECT reply included).
std::string LastHead(const std::string& headers) {
  size_t start = 0;
  for (size_t at = headers.find("HTTP/"); at != std::string::npos;
       at = headers.find("HTTP/", at + 1)) {
    if (at == 0 || headers[at - 1] == '\n')
      start = at;
  }
  return headers.substr(start);
}

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string HeaderValue(const std::string& headers, const std::string& name) {
  std::string value;
  const std::string wanted = Lower(name) + ":";
  for (std::string line : Lines(LastHead(headers))) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (Lower(line.substr(0, wanted.size())) == wanted) {
      value = line.substr(wanted.size());
      value.erase(0, value.find_first_not_of(' '));
    }
  }
  return value;
}

int StatusCode(const std::string& headers) {
  const std::string head = LastHead(headers);
  const size_t blank = head.find(' ');
  return blank == std::string::npos ? -1 : atoi(head.c_str() + blank + 1);
}

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < len; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string PatternBytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

std::vector<int> ListeningPorts(pid_t pid) {
  const std::string fd_dir =
      pid == 0 ? std::string("/proc/self/fd") : "/proc/" + std::to_string(pid) + "/fd";
  std::set<std::string> inodes;
  if (DIR* dir = opendir(fd_dir.c_str())) {
    while (struct dirent* e = readdir(dir)) {
      char target[128];
      const std::string link = fd_dir + "/" + e->d_name;
      const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
      if (n <= 0)
        continue;
      target[n] = '\0';
      if (strncmp(target, "socket:[", 8) == 0)
        inodes.insert(std::string(target + 8, strlen(target + 8) - 1));
    }
    closedir(dir);
  }
  std::vector<int> ports;
  std::vector<std::string> lines = Lines(ReadFile("/proc/net/tcp"));
  for (size_t i = 1; i < lines.size(); ++i) {
    std::istringstream in(lines[i]);
    std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
    in >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
    if (state != "0A" || inodes.count(inode) == 0)
      continue;
    const size_t colon = local.find(':');
    if (colon != std::string::npos)
      ports.push_back(static_cast<int>(strtol(local.c_str() + colon + 1, nullptr, 16)));
  }
  return ports;
}

int RefusingPort(int* fd) {
  *fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(*fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0)
    return -1;
  socklen_t len = sizeof(addr);
  getsockname(*fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

double WaitForClose(int fd, double timeout_s) {
  const double start = NowSeconds();
  for (;;) {
    const double left = timeout_s - (NowSeconds() - start);
    if (left <= 0)
      return -1;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
      continue;
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0)
      return NowSeconds() - start;
  }
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

TempDir* PeersSuite::dir_ = nullptr;
Origin* PeersSuite::origin_ = nullptr;
Gateway* PeersSuite::gateway_ = nullptr;

void PeersSuite::SetUpTestSuite() {
  dir_ = new TempDir();
  origin_ = new Origin();
  gateway_ = new Gateway();
  ASSERT_TRUE(origin_->Start(*dir_));
  ASSERT_TRUE(gateway_->Start(*dir_));
}

void PeersSuite::TearDownTestSuite() {
  delete gateway_;
  delete origin_;
  delete dir_;
  gateway_ = nullptr;
  origin_ = nullptr;
  dir_ = nullptr;
}

}  // namespace qvtest
