#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "platform/system.h"

namespace quorrel::system {

namespace {

// A termination signal only writes a byte here; the message loop reads it and
// runs the handler, outside the signal's context.
int signalPipe[2] = {-1, -1};

void noteTerminationSignal(int) {
  const int savedErrno = errno;
  [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], "x", 1);
  errno = savedErrno;
}

}  // namespace

QString runningProgramPath() {
  return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

void onTerminationRequest(std::function<void()> handler) {
  // Without the pipe the signals keep their default action: the program ends at once.
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [handler] {
    char drained[16];
    while (::read(signalPipe[0], drained, sizeof drained) > 0) {
    }
    handler();
  });
  struct sigaction action {};
  action.sa_handler = &noteTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGHUP, SIGINT}) ::sigaction(signal, &action, nullptr);
}

}  // namespace quorrel::system
