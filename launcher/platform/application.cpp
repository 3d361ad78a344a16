#include "application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <csignal>

namespace quorrel {

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

void QtApplication::requestQuit() {
  quitRequested_ = true;
  // Queued, so a handler that pumps messages runs to its end before the loop stops.
  if (QThread::currentThread()->loopLevel() > 0)
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void QtApplication::startSystemMove(QWidget* window) {
  if (QWindow* handle = window->windowHandle()) handle->startSystemMove();
}

QString QtApplication::executablePath() {
  return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

void QtApplication::whenSessionEnds(std::function<void()> handler) {
  QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, qGuiApp,
                   [handler](QSessionManager&) { handler(); });
  // Without the pipe the signals keep their default action: the program ends at once.
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qGuiApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qGuiApp, [handler] {
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

int QtApplication::runMessageLoop(QApplication& app) {
  if (quitRequested_) QTimer::singleShot(0, &app, &QCoreApplication::quit);
  return app.exec();
}

}  // namespace quorrel
