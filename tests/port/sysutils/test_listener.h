// A FrameworkListener with a few plain commands, for tests of the listener and its clients.
#ifndef TESTS_PORT_SYSUTILS_TEST_LISTENER_H
#define TESTS_PORT_SYSUTILS_TEST_LISTENER_H

#include <stdlib.h>
#include <sysutils/FrameworkListener.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvtest {

// "echo ...": replies "<argc>:[word]..." with every word, the command's own included.
// "fail": returns -1 without a reply. "bcast <code> <text>": broadcasts, then replies "sent".
class TestListener : public FrameworkListener {
 public:
  explicit TestListener(const char* name) : FrameworkListener(name) {
    Add(new Command("echo", [](SocketClient* c, int argc, char** argv) {
      std::string reply = std::to_string(argc) + ":";
      for (int i = 0; i < argc; ++i)
        reply += "[" + std::string(argv[i]) + "]";
      return c->sendMsg(1, reply.c_str(), false);
    }));
    Add(new Command("fail", [](SocketClient*, int, char**) { return -1; }));
    Add(new Command("bcast", [this](SocketClient* c, int argc, char** argv) {
      if (argc < 3)
        return -1;
      sendBroadcast(atoi(argv[1]), argv[2], false);
      return c->sendMsg(1, "sent", false);
    }));
  }
  ~TestListener() override { stopListener(); }

  void Add(FrameworkCommand* cmd) {
    owned_.emplace_back(cmd);
    registerCmd(cmd);
  }

 private:
  class Command : public FrameworkCommand {
   public:
    Command(const char* name, std::function<int(SocketClient*, int, char**)> run)
        : FrameworkCommand(name), run_(run) {}
    int runCommand(SocketClient* c, int argc, char** argv) override { return run_(c, argc, argv); }

   private:
    std::function<int(SocketClient*, int, char**)> run_;
  };

  std::vector<std::unique_ptr<FrameworkCommand>> owned_;
};

}  // namespace qvtest

#endif  // TESTS_PORT_SYSUTILS_TEST_LISTENER_H
