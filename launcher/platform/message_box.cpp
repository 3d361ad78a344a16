#include "message_box.h"

#include <QMessageBox>

#include "application.h"

namespace quorrel {

void QtMessageBox::showError(QWidget* owner, const QString& title, const QString& text) {
  if (application_.quitRequested()) return;
  QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, owner);
  box.exec();
}

void QtMessageBox::showNotice(QWidget* owner, const QString& title, const QString& text) {
  if (application_.quitRequested()) return;
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
  box.exec();
}

bool QtMessageBox::askYesNo(QWidget* owner, const QString& title, const QString& text) {
  if (application_.quitRequested()) return false;
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, owner);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace quorrel
