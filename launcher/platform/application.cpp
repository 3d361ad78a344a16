#include "application.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QSessionManager>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "system.h"

namespace quorrel {

namespace {

// A modal dialog runs a loop of its own, and control comes back to the
// message loop only once it closes: each open one is cancelled, as a player
// cancelling it would. The code that opened it goes on with that answer.
void cancelModalDialogs() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog && dialog->isVisible() && dialog->isModal()) dialog->reject();
  }
}

}  // namespace

void QtApplication::requestQuit() {
  quitRequested_ = true;
  cancelModalDialogs();
  // Queued, so a handler that pumps messages runs to its end before the loop stops.
  if (QThread::currentThread()->loopLevel() > 0)
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void QtApplication::startSystemMove(QWidget* window) {
  if (QWindow* handle = window->windowHandle()) handle->startSystemMove();
}

QString QtApplication::executablePath() {
  return system::runningProgramPath();
}

void QtApplication::whenSessionEnds(std::function<void()> handler) {
  QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, qGuiApp,
                   [handler](QSessionManager&) { handler(); });
  system::onTerminationRequest(std::move(handler));
}

int QtApplication::runMessageLoop(QApplication& app) {
  if (quitRequested_) QTimer::singleShot(0, &app, &QCoreApplication::quit);
  return app.exec();
}

}  // namespace quorrel
