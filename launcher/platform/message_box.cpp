#include "message_box.h"

#include <QMessageBox>

namespace quorrel {

void QtMessageBox::showError(QWidget* owner, const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, owner);
  box.exec();
}

void QtMessageBox::showNotice(QWidget* owner, const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
  box.exec();
}

bool QtMessageBox::askYesNo(QWidget* owner, const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, owner);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace quorrel
