// A FrameworkListener with a few plain commands, for tests of the listener and its clients.
#ifndef TESTS_PORT_SYSUTILS_TEST_LISTENER_H
#define TESTS_PORT_SYSUTILS_TEST_LISTENER_H

#include <stdlib.h>
#include <sysutils/FrameworkCommand.h>
#include <sysutils/FrameworkListener.h>
#include <sysutils/SocketClient.h>

#include <memory>
#include <string>
#include <vector>

namespace qvtest {

// "echo ...": replies "<argc>:[word][word]..." with every word, the command's own included.
// "fail": returns -1 without a reply. "bcast <code> <text>": broadcasts, then replies "sent".
class TestListener : public FrameworkListener {
 public:
  explicit TestListener(const char* name) : FrameworkListener(name) { Register(); }
  TestListener(int fd, bool listen) : FrameworkListener(fd, listen) { Register(); }
  ~TestListener() override { stopListener(); }

  void Add(FrameworkCommand* cmd) {
    owned_.emplace_back(cmd);
    registerCmd(cmd);
  }

 private:
  class Echo : public FrameworkCommand {
   public:
    Echo() : FrameworkCommand("echo") {}
    int runCommand(SocketClient* c, int argc, char** argv) override {
      std::string reply = std::to_string(argc) + ":";
      for (int i = 0; i < argc; ++i)
        reply += "[" + std::string(argv[i]) + "]";
      c->sendMsg(1, reply.c_str(), false);
      return 0;
    }
  };
  class Fail : public FrameworkCommand {
   public:
    Fail() : FrameworkCommand("fail") {}
    int runCommand(SocketClient*, int, char**) override { return -1; }
  };
  class Bcast : public FrameworkCommand {
   public:
    explicit Bcast(SocketListener* l) : FrameworkCommand("bcast"), listener_(l) {}
    int runCommand(SocketClient* c, int argc, char** argv) override {
      if (argc < 3)
        return -1;
      listener_->sendBroadcast(atoi(argv[1]), argv[2], false);
      c->sendMsg(1, "sent", false);
      return 0;
    }

   private:
    SocketListener* listener_;
  };

  void Register() {
    Add(new Echo());
    Add(new Fail());
    Add(new Bcast(this));
  }

  std::vector<std::unique_ptr<FrameworkCommand>> owned_;
};

}  // namespace qvtest

#endif  // TESTS_PORT_SYSUTILS_TEST_LISTENER_H
