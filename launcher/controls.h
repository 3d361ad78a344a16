#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QList>
#include <QPixmap>

namespace quorrel {

// A picture: drawn at its natural size from the top-left corner and cut at the
// control's edge, never stretched. It takes the mouse presses that land on it.
class TImage : public QLabel {
  Q_OBJECT
 public:
  TImage(QWidget* parent, const QString& name, const QRect& bounds, const QPixmap& picture);

 signals:
  void mouseDown(Qt::MouseButton button);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

// A transparent text label that grows to the right from its top-left corner.
class TLabel : public QLabel {
  Q_OBJECT
 public:
  TLabel(QWidget* parent, const QString& name, const QPoint& topLeft, const QString& caption,
         const QFont& font, const QColor& color);

  void setCaption(const QString& caption);
  QString caption() const { return text(); }
  void setFontColor(const QColor& color);
  QColor fontColor() const;

 signals:
  void clicked();
  void mouseEntered();
  void mouseLeft();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
};

// A button that shows one picture of its image list: 0 normal, 1 disabled and
// 2 hot (the mouse over it); a list of two has no disabled look and 1 is hot.
class TImageButton : public QAbstractButton {
  Q_OBJECT
 public:
  TImageButton(QWidget* parent, const QString& name, const QRect& bounds, QList<QPixmap> images);

  int currentImageIndex() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QList<QPixmap> images_;
  bool hot_ = false;
};

}  // namespace quorrel
