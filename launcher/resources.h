#pragma once

#include <QFont>
#include <QIcon>
#include <QList>
#include <QPixmap>

namespace quorrel {

// Makes the fonts the window is designed with available, whatever the
// player's system has installed. Call once after the application exists.
void registerBundledFonts();

// Calibri's metric twin, and Tahoma; sizes are pixel heights.
QFont calibriFont(int pixelHeight, bool bold = false);
QFont tahomaFont(int pixelHeight);

QPixmap picture(const QString& name);
QList<QPixmap> imageList(const QString& prefix, int count);
QIcon programIcon();

}  // namespace quorrel
