#pragma once

#include <QString>

namespace quorrel {

// The desktop shell: opens web pages and files the way the player's desktop
// would. Opening a page reports nothing.
class Shell {
 public:
  virtual ~Shell() = default;
  virtual void openUrl(const QString& url) = 0;
  // Starts the file without waiting for it, in the launcher's current folder;
  // false when it could not be started.
  virtual bool openFile(const QString& file) = 0;
};

class DesktopShell : public Shell {
 public:
  void openUrl(const QString& url) override;
  // A program of this system (the launcher's own builds) starts directly, a
  // relative name from the current folder. The game client is a Windows
  // program: it runs under the program named by $WINE, else under wine from
  // PATH; without either the desktop opens it.
  bool openFile(const QString& file) override;
};

}  // namespace quorrel
