#include <android/log.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

char PriorityLetter(int prio) {
  switch (prio) {
    case ANDROID_LOG_VERBOSE:
      return 'V';
    case ANDROID_LOG_DEBUG:
      return 'D';
    case ANDROID_LOG_INFO:
      return 'I';
    case ANDROID_LOG_WARN:
      return 'W';
    case ANDROID_LOG_ERROR:
      return 'E';
    case ANDROID_LOG_FATAL:
      return 'F';
    case ANDROID_LOG_SILENT:
      return 'S';
    default:
      return '?';
  }
}

}  // namespace

extern "C" int __android_log_write(int prio, const char* tag, const char* text) {
  if (tag == nullptr)
    tag = "";
  if (text == nullptr)
    text = "";
  size_t len = strlen(text);
  // logcat shows one entry per call; a trailing line end in the message is not a second line.
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
    --len;

  char head[64];
  snprintf(head, sizeof(head), "(%d): ", static_cast<int>(getpid()));
  const std::string prefix = std::string(1, PriorityLetter(prio)) + "/" + tag + head;
  // A line end inside the message (text that came from outside, say) starts a line of its
  // own with the same prefix, as logcat shows it: every line written has its tag.
  std::string line;
  line.reserve(len + prefix.size() + 1);
  line += prefix;
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < len && text[i + 1] == '\n')
        ++i;
      line += '\n';
      line += prefix;
    } else {
      line += text[i];
    }
  }
  line += '\n';

  // One write per line so that lines of concurrent threads never interleave.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<int>(line.size());
}

extern "C" int __android_log_vprint(int prio, const char* tag, const char* fmt, va_list ap) {
  char small[1024];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof(small), fmt, copy);
  va_end(copy);
  if (n < 0)
    return -1;
  if (static_cast<size_t>(n) < sizeof(small))
    return __android_log_write(prio, tag, small);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&big[0], big.size(), fmt, ap);
  return __android_log_write(prio, tag, big.c_str());
}

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = __android_log_vprint(prio, tag, fmt, ap);
  va_end(ap);
  return n;
}
