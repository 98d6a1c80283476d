#ifndef TESTS_E2E_QUALIFY_HELPER_H
#define TESTS_E2E_QUALIFY_HELPER_H

// Helpers of the qualification runs (load, gateway faults, races): the figures of a process,
// the load client, and the sizes a run takes from the environment (scripts/qualify sets the
// long ones; the test suite runs the short defaults).

#include <sys/types.h>

#include <string>
#include <vector>

#include "e2e/peers_helper.h"

namespace qvtest {

// The integer in the environment variable `name`, or `fallback`.
long EnvNumber(const char* name, long fallback);

// Open descriptors of `pid`; -1 when it cannot be read.
int OpenDescriptors(pid_t pid);
// Resident set size of `pid` in KB; -1 when it cannot be read.
long ResidentKb(pid_t pid);
// User plus system CPU time of `pid` in seconds; -1 when it cannot be read.
double CpuSeconds(pid_t pid);

// Raises this process's descriptor limit to its hard limit (children inherit it).
void RaiseDescriptorLimit();

// tests/load/load_client run to its end: its exit status and its JSON line of figures.
struct LoadResult {
  int exit_code = -1;
  std::string json;
  std::string stderr_text;
  long long Figure(const std::string& key) const { return JsonNumber(json, key); }
};
LoadResult RunLoadClient(const TempDir& dir, const std::vector<std::string>& args,
                         double timeout_s);

// Appends `line` to the file named by $QV_QUALIFY_REPORT, when set (scripts/qualify collects
// the figures of every run there).
void Report(const std::string& line);

}  // namespace qvtest

#endif  // TESTS_E2E_QUALIFY_HELPER_H
