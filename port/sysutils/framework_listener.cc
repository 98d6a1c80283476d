#include <sysutils/FrameworkListener.h>

#include <android/log.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kTag[] = "FrameworkListener";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

FrameworkListener::FrameworkListener(const char* socketName) : SocketListener(socketName, true) {}

FrameworkListener::FrameworkListener(int socketFd, bool listen)
    : SocketListener(socketFd, listen) {}

FrameworkListener::~FrameworkListener() {
  // The serving thread calls back into this class: it must end before the class does.
  stopListener();
}

void FrameworkListener::registerCmd(FrameworkCommand* cmd) {
  commands_.push_back(cmd);
}

bool FrameworkListener::splitWords(const char* line, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool in_word = false;  // a word has begun, even an empty quoted one
  bool quoted = false;
  for (const char* p = line; *p != '\0'; ++p) {
    char c = *p;
    if (c == '\\') {
      in_word = true;
      if (p[1] != '\0')
        ++p;
      word += *p;  // a trailing backslash stands for itself
    } else if (c == '"') {
      in_word = true;
      quoted = !quoted;
    } else if (!quoted && IsBlank(c)) {
      if (in_word)
        words->push_back(word);
      word.clear();
      in_word = false;
    } else {
      in_word = true;
      word += c;
    }
  }
  if (quoted)
    return false;
  if (in_word)
    words->push_back(word);
  return true;
}

void FrameworkListener::dispatchCommand(SocketClient* client, const char* line) {
  std::vector<std::string> words;
  if (!splitWords(line, &words)) {
    client->sendMsg(500, "Unclosed quotes error", false);
    return;
  }
  if (words.empty()) {
    client->sendMsg(500, "Command not recognized", false);
    return;
  }
  for (FrameworkCommand* cmd : commands_) {
    if (words[0] != cmd->getCommand())
      continue;
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words)
      argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int rc = cmd->runCommand(client, static_cast<int>(words.size()), argv.data());
    if (rc != 0)
      __android_log_print(ANDROID_LOG_ERROR, kTag, "Handler '%s' error (%d)", cmd->getCommand(),
                          rc);
    return;
  }
  client->sendMsg(500, "Command not recognized", false);
}

bool FrameworkListener::onDataAvailable(SocketClient* client) {
  char buf[4096];
  ssize_t n;
  do {
    n = read(client->getSocket(), buf, sizeof(buf));
  } while (n < 0 && errno == EINTR);
  if (n <= 0)
    return false;  // the client left (or its socket failed)

  std::string& pending = client->pending_;
  size_t start = pending.size();
  pending.append(buf, static_cast<size_t>(n));
  // Every NUL ends one command; what follows the last one waits for more bytes.
  size_t begin = 0;
  for (size_t i = start; i < pending.size(); ++i) {
    if (pending[i] != '\0')
      continue;
    dispatchCommand(client, pending.c_str() + begin);
    begin = i + 1;
  }
  pending.erase(0, begin);
  if (pending.size() > kMaxCommandBytes) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "command longer than %zu bytes; client dropped",
                        kMaxCommandBytes);
    return false;
  }
  return true;
}
