#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace quorrel {

// The two folder choosers. Both are modal to the launcher's windows and answer
// the chosen folder, or nothing when the player cancels.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // The folder browser; `preselected` is an existing folder or "".
  virtual std::optional<QString> browseForFolder(QWidget* owner, const QString& instruction,
                                                 const QString& preselected) = 0;
  // The open dialog in folder-picking mode; it accepts only an existing folder.
  virtual std::optional<QString> pickFolder(QWidget* owner, const QString& title,
                                            const QString& proposed) = 0;
};

class QtApplication;

// Once the program is ending they open no more: they answer as cancelled.
class QtDialogs : public Dialogs {
 public:
  explicit QtDialogs(const QtApplication& application) : application_(application) {}
  std::optional<QString> browseForFolder(QWidget* owner, const QString& instruction,
                                         const QString& preselected) override;
  std::optional<QString> pickFolder(QWidget* owner, const QString& title,
                                    const QString& proposed) override;

 private:
  const QtApplication& application_;
};

}  // namespace quorrel
