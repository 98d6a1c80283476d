// Host replacement for Android's <sysutils/FrameworkCommand.h>: one named command of a
// FrameworkListener.
#ifndef PORT_SYSUTILS_FRAMEWORKCOMMAND_H
#define PORT_SYSUTILS_FRAMEWORKCOMMAND_H

class SocketClient;

class FrameworkCommand {
 public:
  explicit FrameworkCommand(const char* cmd);
  virtual ~FrameworkCommand() {}

  FrameworkCommand(const FrameworkCommand&) = delete;
  FrameworkCommand& operator=(const FrameworkCommand&) = delete;

  // Runs on the listener's thread with the command's words (argv[0] is the command word).
  // 0 for success; a failure is logged by the listener, which sends no reply of its own.
  virtual int runCommand(SocketClient* c, int argc, char** argv) = 0;

  const char* getCommand() const { return command_; }

 private:
  const char* command_;
};

#endif  // PORT_SYSUTILS_FRAMEWORKCOMMAND_H
