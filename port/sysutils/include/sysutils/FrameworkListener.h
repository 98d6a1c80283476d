// Host replacement for Android's <sysutils/FrameworkListener.h>: a SocketListener that reads
// NUL-terminated text commands and runs the FrameworkCommand registered under the first word.
#ifndef PORT_SYSUTILS_FRAMEWORKLISTENER_H
#define PORT_SYSUTILS_FRAMEWORKLISTENER_H

#include <string>
#include <vector>

#include <sysutils/FrameworkCommand.h>
#include <sysutils/SocketClient.h>
#include <sysutils/SocketListener.h>

class FrameworkListener : public SocketListener {
 public:
  // Longest command kept while waiting for its NUL; a client sending more is dropped.
  static constexpr size_t kMaxCommandBytes = 1 << 20;

  explicit FrameworkListener(const char* socketName);
  FrameworkListener(int socketFd, bool listen);
  ~FrameworkListener() override;

  // Splits `line` into words at blanks (space, tab, CR, LF); double quotes group words (""
  // is an empty word) and a backslash takes the next character as it is. False for an
  // unclosed quote.
  static bool splitWords(const char* line, std::vector<std::string>* words);

  // Runs one command text as if `client` had sent it. The serving thread calls it for every
  // message; host tests and fuzzers call it directly.
  void dispatchCommand(SocketClient* client, const char* line);

 protected:
  // Commands are looked up in registration order; the listener does not own them.
  void registerCmd(FrameworkCommand* cmd);
  bool onDataAvailable(SocketClient* client) override;

 private:
  std::vector<FrameworkCommand*> commands_;
};

#endif  // PORT_SYSUTILS_FRAMEWORKLISTENER_H
