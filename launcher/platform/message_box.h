#pragma once

#include <QString>

class QWidget;

namespace quorrel {

class MessageBox {
 public:
  virtual ~MessageBox() = default;
  // Modal, with the stop icon and an OK button.
  virtual void showError(QWidget* owner, const QString& title, const QString& text) = 0;
  // Modal, without an icon, with an OK button; returns once the player closed it.
  virtual void showNotice(QWidget* owner, const QString& title, const QString& text) = 0;
  // Modal, with the question icon and Yes and No buttons, No the default;
  // true only when the player chose Yes.
  virtual bool askYesNo(QWidget* owner, const QString& title, const QString& text) = 0;
};

class QtApplication;

// Once the program is ending no box opens any more: a question is answered No.
class QtMessageBox : public MessageBox {
 public:
  explicit QtMessageBox(const QtApplication& application) : application_(application) {}
  void showError(QWidget* owner, const QString& title, const QString& text) override;
  void showNotice(QWidget* owner, const QString& title, const QString& text) override;
  bool askYesNo(QWidget* owner, const QString& title, const QString& text) override;

 private:
  const QtApplication& application_;
};

}  // namespace quorrel
