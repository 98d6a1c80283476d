#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "app/app_interface.h"
#include "control/flow_compress_listener.h"
#include "core/logging.h"
#include "core/proxy_config.h"

namespace {

const char kTag[] = "main";

volatile sig_atomic_t g_running = 1;

void WriteLine(const char* text, size_t len) {
  // puts is not async-signal-safe; a single write gives the same line.
  ssize_t ignored = write(STDOUT_FILENO, text, len);
  (void)ignored;
}

#define QV_SIGNAL_LINE(text) WriteLine(text "\n", sizeof(text))

void OnSignal(int signo) {
  switch (signo) {
    case SIGTERM:
      QV_SIGNAL_LINE("quorvingate recv SIGTERM");
      break;
    case SIGINT:
      QV_SIGNAL_LINE("quorvingate recv SIGINT");
      break;
    case SIGQUIT:
      QV_SIGNAL_LINE("quorvingate recv SIGQUIT");
      break;
    default:
      return;
  }
  g_running = 0;
}

void InstallHandler(int signo) {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

const char kUsage[] =
    "usage: http2quorvin [--help]\n"
    "The traffic-saving proxy daemon. It takes no options: it reads its configuration from\n"
    "/system/etc/http2quorvin.conf (HTTP2QUORVIN_CONF names another file) and is driven through\n"
    "the control socket http2proxy (ANDROID_SOCKET_http2proxy, or a Unix socket at\n"
    "HTTP2QUORVIN_SOCKET, default /dev/socket/http2proxy). SIGTERM, SIGINT or SIGQUIT end it.\n";

// The signals that end the daemon, blocked in every thread but the main one.
void EndingSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
}

}  // namespace

int main(int argc, char** argv) {
  // The daemon reads no options; a word it does not know must not start it by accident.
  if (argc > 1) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
      fputs(kUsage, stdout);
      return 0;
    }
    fprintf(stderr, "http2quorvin: unknown option \"%s\"\n%s", argv[1], kUsage);
    return 2;
  }
  // Line-buffered, so that lines written with puts keep their order with the signal lines.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  const pid_t ppid = getppid();
  GetProxyConfig();
  QV_LOGW(kTag, "ppid %d", static_cast<int>(ppid));
  QV_LOGD(kTag, "mian");
  QV_LOGD(kTag, "log path ");

  InstallHandler(SIGTERM);
  InstallHandler(SIGINT);
  InstallHandler(SIGQUIT);
  signal(SIGPIPE, SIG_IGN);
  InstallHandler(SIGPIPE);
  // Every thread the daemon starts inherits these blocked, so an ending signal always reaches
  // the main thread and cuts its sleep short instead of waiting out the second.
  sigset_t ending;
  EndingSignals(&ending);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  FlowCompressListener* listener = new FlowCompressListener(new AppInterface());
  QV_LOGD(kTag, "aaaa");
  if (listener->startListener() != 0) {
    QV_LOGD(kTag, "Unable to start FlowCompressListener");
    delete listener;
    return -1;
  }
  pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);

  while (g_running) {
    const pid_t now = getppid();
    if (now != ppid) {
      QV_LOGW(kTag, "exit %d", static_cast<int>(now));
      break;
    }
    usleep(1000000);
  }
  // Ends the control thread and a running proxy before the process tears down what they use.
  delete listener;
  return 0;
}
