#include "application.h"

#include <QApplication>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace quorrel {

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

int QtApplication::runMessageLoop(QApplication& app) {
  if (quitRequested_) QTimer::singleShot(0, &app, &QCoreApplication::quit);
  return app.exec();
}

}  // namespace quorrel
