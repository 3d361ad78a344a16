// The quit request against the real message loop.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include "platform/application.h"

namespace quorrel::testing {
namespace {

QApplication& application() {
  return *static_cast<QApplication*>(QCoreApplication::instance());
}

// A loop that does not end by itself fails the test instead of hanging it.
void failAfter(int milliseconds, bool& timedOut) {
  QTimer::singleShot(milliseconds, &application(), [&timedOut] {
    timedOut = true;
    QCoreApplication::exit(1);
  });
}

TEST(QuitRequestTest, RequestBeforeTheLoopEndsItAsSoonAsItStarts) {
  QtApplication app;
  bool timedOut = false;
  app.requestQuit();
  QCoreApplication::processEvents();  // pumping before the loop must not lose the request
  failAfter(5000, timedOut);
  EXPECT_EQ(app.runMessageLoop(application()), 0);
  EXPECT_FALSE(timedOut);
}

TEST(QuitRequestTest, HandlerThatPumpsMessagesRunsToItsEndFirst) {
  QtApplication app;
  bool timedOut = false;
  bool handlerFinished = false;
  bool laterEventRan = false;
  QTimer::singleShot(0, &application(), [&] {
    app.requestQuit();
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    handlerFinished = true;
    QTimer::singleShot(0, &application(), [&] { laterEventRan = true; });
  });
  failAfter(5000, timedOut);
  app.runMessageLoop(application());
  EXPECT_TRUE(handlerFinished);
  EXPECT_FALSE(laterEventRan);
  EXPECT_FALSE(timedOut);
}

}  // namespace
}  // namespace quorrel::testing
