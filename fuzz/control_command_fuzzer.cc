// Feeds arbitrary control socket messages (NUL-separated, as clients send them) to the nine
// commands: word splitting, dispatch, argument handling and the flow database behind the
// queries, on a database in a temporary folder. The proxy itself is a stand-in whose Start and
// Stop open nothing; every reply must be one NUL-terminated "<code> <text>" line.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <sysutils/FrameworkListener.h>
#include <sysutils/SocketClient.h>

#include "control/flow_db_commands.h"
#include "control/operate_db.h"
#include "control/proxy_commands.h"
#include "control/proxy_control.h"
#include "control/status_command.h"
#include "core/proxy_config.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "control command check failed: %s\n", what);
    abort();
  }
}

// The proxy's start and stop without sockets or threads: only the state they answer from.
class QuietAppInterface : public ProxyControl {
 public:
  int Start(CommandNotifier*) override {
    if (running_)
      return 6;
    running_ = true;
    return 0;
  }
  int Stop() override {
    if (!running_)
      return 7;
    running_ = false;
    return 0;
  }
  void SetDeviceID(const char* id) override { device_id_ = id != nullptr ? id : ""; }
  void SetImageLevel(int level) override { level_ = level; }
  bool started() const override { return running_; }
  int image_level() const override { return level_; }

 private:
  bool running_ = false;
  std::string device_id_;
  int level_ = 0;
};

// The nine commands registered as the daemon's listener registers them.
class CommandTable : public FrameworkListener {
 public:
  CommandTable(ProxyControl* app, OperateDB* db) : FrameworkListener("http2proxy") {
    commands_.emplace_back(new StartCommand(this, app, db));
    commands_.emplace_back(new StopCommand(this, app, db));
    commands_.emplace_back(new SetCommand(this, app, db));
    commands_.emplace_back(new SetSimCommand(this, app, db));
    commands_.emplace_back(new SetDeviceIDCommand(this, app, db));
    commands_.emplace_back(new QueryCommand(QueryCommand::kCompression, this, app, db));
    commands_.emplace_back(new QueryDetailCommand(QueryCommand::kCompression, this, app, db));
    commands_.emplace_back(new QueryCommand(QueryCommand::kFlow, this, app, db));
    commands_.emplace_back(new QueryDetailCommand(QueryCommand::kFlow, this, app, db));
    commands_.emplace_back(new StatusCommand(this, app, db));
    for (auto& cmd : commands_)
      registerCmd(cmd.get());
  }

 private:
  std::vector<std::unique_ptr<ControlCommand>> commands_;
};

struct World {
  World() {
    GetProxyConfig()->log_level_ = 0;
    char dir[] = "/tmp/qv_fuzz_control_XXXXXX";
    Check(mkdtemp(dir) != nullptr, "mkdtemp");
    folder = dir;
    db.reset(new OperateDB(folder + "/flow.db"));
    table.reset(new CommandTable(&app, db.get()));
    int pair[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "socketpair");
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    client.reset(new SocketClient(pair[0], true));
    reader = pair[1];
    // Some figures for the queries to find.
    db->CreateDB();
    db->WriteDB(10001, 16072, true, 100);
    db->WriteDB(10002, 16072, false, 50);
    db->WriteCompressedDB(10001, 16073, 1000, 300);
  }

  // Everything the commands replied since the last call.
  std::string Drain() {
    std::string out;
    char buf[4096];
    for (;;) {
      const ssize_t n = read(reader, buf, sizeof(buf));
      if (n <= 0)
        return out;
      out.append(buf, static_cast<size_t>(n));
    }
  }

  std::string folder;
  QuietAppInterface app;
  std::unique_ptr<OperateDB> db;
  std::unique_ptr<CommandTable> table;
  std::unique_ptr<SocketClient> client;
  int reader = -1;
};

bool IsCommand(const std::string& word) {
  static const char* const kNames[] = {"start",           "stop",  "set",         "sim",
                                       "deviceid",        "query", "querydetail", "queryflow",
                                       "querydetailflow", "status"};
  for (const char* name : kNames) {
    if (word == name)
      return true;
  }
  return false;
}

World* the_world = nullptr;

void RemoveFolder() {
  if (the_world == nullptr)
    return;
  the_world->db->CloseDB();
  for (const char* name : {"/flow.db", "/flow.db-journal"})
    unlink((the_world->folder + name).c_str());
  rmdir(the_world->folder.c_str());
}

World* TheWorld() {
  if (the_world == nullptr) {
    the_world = new World();
    atexit(RemoveFolder);
  }
  return the_world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096)
    return 0;
  World* w = TheWorld();
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  int messages = 0;
  while (start <= input.size() && messages < 16) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos)
      end = input.size();
    const std::string line = input.substr(start, end - start);
    std::vector<std::string> words;
    const bool split = FrameworkListener::splitWords(line.c_str(), &words);
    w->table->dispatchCommand(w->client.get(), line.c_str());
    const std::string reply = w->Drain();
    // At most one reply per message, NUL-terminated, "<code> <text>" with a known code.
    if (!reply.empty()) {
      Check(reply.back() == '\0', "reply ends with a NUL");
      Check(reply.find('\0') == reply.size() - 1, "one reply per message");
      Check(reply.compare(0, 2, "1 ") == 0 || reply.compare(0, 4, "500 ") == 0, "reply code");
    }
    if (!split) {
      Check(reply == std::string("500 Unclosed quotes error") + '\0', "unclosed quotes reply");
    } else if (words.empty() || !IsCommand(words[0])) {
      Check(reply == std::string("500 Command not recognized") + '\0', "unknown command reply");
    } else {
      Check(reply.empty() || reply.compare(0, 2, "1 ") == 0, "a command replies with code 1");
    }
    start = end + 1;
    ++messages;
  }
  return 0;
}
