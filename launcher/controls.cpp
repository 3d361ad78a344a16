#include "controls.h"

#include <QMouseEvent>
#include <QPainter>

namespace quorrel {

namespace {

// The images of the image buttons sit this far left of the button's rectangle.
constexpr int kButtonImageShift = 2;

}  // namespace

TImage::TImage(QWidget* parent, const QString& name, const QRect& bounds, const QPixmap& picture)
    : QLabel(parent) {
  setObjectName(name);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setPixmap(picture);
  setGeometry(bounds);
}

void TImage::mousePressEvent(QMouseEvent* event) {
  event->accept();
  emit mouseDown(event->button());
}

TLabel::TLabel(QWidget* parent, const QString& name, const QPoint& topLeft, const QString& caption,
               const QFont& font, const QColor& color)
    : QLabel(parent) {
  setObjectName(name);
  setFont(font);
  setFontColor(color);
  setTextFormat(Qt::PlainText);
  move(topLeft);
  setCaption(caption);
}

void TLabel::setCaption(const QString& caption) {
  setText(caption);
  adjustSize();
}

void TLabel::setFontColor(const QColor& color) {
  QPalette colors = palette();
  colors.setColor(QPalette::WindowText, color);
  setPalette(colors);
}

QColor TLabel::fontColor() const {
  return palette().color(QPalette::WindowText);
}

void TLabel::mousePressEvent(QMouseEvent* event) {
  event->accept();
}

void TLabel::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit clicked();
}

void TLabel::enterEvent(QEnterEvent* event) {
  QLabel::enterEvent(event);
  emit mouseEntered();
}

void TLabel::leaveEvent(QEvent* event) {
  QLabel::leaveEvent(event);
  emit mouseLeft();
}

TImageButton::TImageButton(QWidget* parent, const QString& name, const QRect& bounds,
                           QList<QPixmap> images)
    : QAbstractButton(parent), images_(std::move(images)) {
  setObjectName(name);
  setGeometry(bounds);
  setCursor(Qt::PointingHandCursor);
}

int TImageButton::currentImageIndex() const {
  const bool hasDisabledLook = images_.size() > 2;
  if (!isEnabled()) return hasDisabledLook ? 1 : 0;
  if (hot_) return hasDisabledLook ? 2 : 1;
  return 0;
}

void TImageButton::paintEvent(QPaintEvent*) {
  const int index = currentImageIndex();
  if (index >= images_.size()) return;
  QPainter painter(this);
  painter.drawPixmap(-kButtonImageShift, 0, images_[index]);
}

void TImageButton::enterEvent(QEnterEvent* event) {
  hot_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void TImageButton::leaveEvent(QEvent* event) {
  hot_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

}  // namespace quorrel
