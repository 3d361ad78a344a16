#include "dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include "application.h"

namespace quorrel {

namespace {

// Named as the system names it: the launcher appends the system's separator to the folder.
std::optional<QString> existingFolder(const QString& path) {
  if (path.isEmpty() || !QFileInfo(path).isDir()) return std::nullopt;
  return QDir::toNativeSeparators(path);
}

}  // namespace

std::optional<QString> QtDialogs::browseForFolder(QWidget* owner, const QString& instruction,
                                                  const QString& preselected) {
  if (application_.quitRequested()) return std::nullopt;
  return existingFolder(QFileDialog::getExistingDirectory(owner, instruction, preselected));
}

std::optional<QString> QtDialogs::pickFolder(QWidget* owner, const QString& title,
                                             const QString& proposed) {
  if (application_.quitRequested()) return std::nullopt;
  QFileDialog dialog(owner, title);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (!proposed.isEmpty()) dialog.selectFile(proposed);
  dialog.setWindowModality(Qt::ApplicationModal);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return existingFolder(dialog.selectedFiles().constFirst());
}

}  // namespace quorrel
