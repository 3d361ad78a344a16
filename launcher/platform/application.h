#pragma once

#include <QString>
#include <functional>

class QApplication;
class QWidget;

namespace quorrel {

// What the window asks of the application and the window system.
class Application {
 public:
  virtual ~Application() = default;
  // Ends the message loop once control returns to it; the caller goes on. A
  // modal dialog open meanwhile is cancelled, so that control does return.
  virtual void requestQuit() = 0;
  // Lets the window system move the window with the mouse until the button is released.
  virtual void startSystemMove(QWidget* window) = 0;
  // The full path of the running program's file, as the system reports it now.
  virtual QString executablePath() = 0;
  // `handler` runs, from the message loop, when the desktop session ends or
  // the system asks the program to stop (a termination signal).
  virtual void whenSessionEnds(std::function<void()> handler) = 0;
};

class QtApplication : public Application {
 public:
  void requestQuit() override;
  void startSystemMove(QWidget* window) override;
  QString executablePath() override;
  void whenSessionEnds(std::function<void()> handler) override;
  // Runs the message loop; a quit requested before it started ends it at once.
  int runMessageLoop(QApplication& app);
  // Whether the program is ending: no dialog opens any more, and no request
  // waits for its answer.
  bool quitRequested() const { return quitRequested_; }

 private:
  bool quitRequested_ = false;
};

}  // namespace quorrel
