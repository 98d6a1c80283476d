#include "e2e/qualify_helper.h"

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace qvtest {

long EnvNumber(const char* name, long fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? strtol(text, nullptr, 10) : fallback;
}

int OpenDescriptors(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(path.c_str());
  if (d == nullptr)
    return -1;
  int count = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.')
      ++count;
  }
  closedir(d);
  return count;
}

long ResidentKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 6, "VmRSS:") == 0)
      return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

double CpuSeconds(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // The fields after the command name, which sits in parentheses and may hold blanks.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos)
    return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14)
      utime = strtoull(field.c_str(), nullptr, 10);
    if (i == 15) {
      stime = strtoull(field.c_str(), nullptr, 10);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void RaiseDescriptorLimit() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

LoadResult RunLoadClient(const TempDir& dir, const std::vector<std::string>& args,
                         double timeout_s) {
  static int runs = 0;
  const std::string base = dir.File("load" + std::to_string(runs++));
  std::vector<std::string> argv;
  std::istringstream emulator(QV_EMULATOR);
  for (std::string w; emulator >> w;)
    argv.push_back(w);
  argv.push_back(QV_LOAD_CLIENT_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  Process client;
  LoadResult result;
  if (!client.Spawn(argv, base + ".out", base + ".err"))
    return result;
  const int status = client.Wait(timeout_s);
  if (status == -1)
    client.Stop(SIGKILL, 5);
  else if (WIFEXITED(status))
    result.exit_code = WEXITSTATUS(status);
  result.json = ReadFile(base + ".out");
  result.stderr_text = ReadFile(base + ".err");
  return result;
}

void Report(const std::string& line) {
  const char* path = getenv("QV_QUALIFY_REPORT");
  if (path == nullptr || *path == '\0')
    return;
  std::ofstream(path, std::ios::app) << line << "\n";
}

}  // namespace qvtest
