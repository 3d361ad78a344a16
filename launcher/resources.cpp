#include "resources.h"

#include <QDir>
#include <QFontDatabase>

#include "artwork.h"

namespace quorrel {

namespace {

const QString kCalibriFamily = QStringLiteral("Carlito");
const QString kTahomaFamily = QStringLiteral("Tahoma");

QFont pixelFont(const QString& family, int pixelHeight, bool bold) {
  QFont font(family);
  font.setPixelSize(pixelHeight);
  font.setBold(bold);
  return font;
}

}  // namespace

void registerBundledFonts() {
  // The build puts exactly the window's fonts there (cmake/Fonts.cmake).
  const QDir fonts(QStringLiteral(":/fonts"));
  for (const QString& file : fonts.entryList(QDir::Files))
    QFontDatabase::addApplicationFont(fonts.filePath(file));
}

QFont calibriFont(int pixelHeight, bool bold) {
  return pixelFont(kCalibriFamily, pixelHeight, bold);
}

QFont tahomaFont(int pixelHeight) {
  return pixelFont(kTahomaFamily, pixelHeight, false);
}

QPixmap picture(const QString& name) {
  return QPixmap(QStringLiteral(":/images/") + name);
}

QList<QPixmap> imageList(const QString& prefix, int count) {
  QList<QPixmap> images;
  for (int index = 0; index < count; ++index)
    images << picture(QStringLiteral("%1_%2.png").arg(prefix).arg(index));
  return images;
}

QIcon programIcon() {
  QIcon icon;
  for (int size : artwork_files::kIconSizes)
    icon.addFile(QStringLiteral(":/icon/icon_%1.png").arg(size), QSize(size, size));
  return icon;
}

}  // namespace quorrel
