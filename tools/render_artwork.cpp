// Renders every picture of the launcher into a resources folder:
//
//   render_artwork <resources-dir>
//
// writes <resources-dir>/images/*.{jpg,png} and <resources-dir>/icon/icon_N.png.
// All randomness is seeded, so the output is the same on every run.
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageWriter>
#include <cstdio>
#include <functional>
#include <vector>

#include "artwork.h"
#include "render_artwork_common.h"

namespace {

QString registerFont(const char* file) {
  if (file == nullptr || *file == '\0') return {};
  const int id = QFontDatabase::addApplicationFont(QString::fromLocal8Bit(file));
  if (id < 0) {
    std::fprintf(stderr, "render_artwork: cannot load font %s\n", file);
    return {};
  }
  return QFontDatabase::applicationFontFamilies(id).value(0);
}

bool save(const QImage& image, const QString& path, int quality) {
  QImageWriter writer(path);
  const bool jpeg = path.endsWith(QLatin1String(".jpg"));
  if (jpeg) {
    writer.setQuality(quality);
    writer.setOptimizedWrite(true);
    if (!writer.write(image.convertToFormat(QImage::Format_RGB32))) return false;
  } else {
    // For PNG, quality 0 asks for the strongest (lossless) compression.
    writer.setQuality(0);
    // Straight (not premultiplied) alpha keeps the 32-bit RGBA layout in the file.
    if (!writer.write(image.convertToFormat(QImage::Format_ARGB32))) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: render_artwork <resources-dir>\n");
    return 2;
  }

  artwork::Fonts fonts;
  const QString carlito = registerFont(ARTWORK_FONT_CARLITO);
  registerFont(ARTWORK_FONT_CARLITO_BOLD);
  const QString tahoma = registerFont(ARTWORK_FONT_TAHOMA);
  registerFont(ARTWORK_FONT_TAHOMA_BOLD);
  const QString serif = registerFont(ARTWORK_FONT_DISPLAY);
  if (carlito.isEmpty() || tahoma.isEmpty()) return 1;
  fonts.body = carlito;
  fonts.ui = tahoma;
  fonts.display = serif.isEmpty() ? carlito : serif;

  const QDir root(QString::fromLocal8Bit(argv[1]));
  if (!root.mkpath(QStringLiteral("images")) || !root.mkpath(QStringLiteral("icon"))) {
    std::fprintf(stderr, "render_artwork: cannot create folders below %s\n", argv[1]);
    return 1;
  }

  using artwork::ButtonKind;
  using artwork::ButtonState;
  struct Job {
    QString file;
    std::function<QImage()> render;
    int quality;
  };
  const auto button = [&](ButtonKind kind, ButtonState state) {
    return [&fonts, kind, state] { return artwork::renderButton(fonts, kind, state); };
  };
  std::vector<Job> jobs = {
      {"images/background.jpg", [] { return artwork::renderBackground(); }, 90},
      {"images/banner.jpg", [&] { return artwork::renderBanner(fonts); }, 92},
      {"images/logo.png", [&] { return artwork::renderLogo(fonts); }, -1},
      {"images/progress_bg.png", [] { return artwork::renderProgressTrack(); }, -1},
      {"images/progress_fg.png", [] { return artwork::renderProgressFill(); }, -1},
      {"images/play_0.png", button(ButtonKind::kPlay, ButtonState::kNormal), -1},
      {"images/play_1.png", button(ButtonKind::kPlay, ButtonState::kDisabled), -1},
      {"images/play_2.png", button(ButtonKind::kPlay, ButtonState::kHot), -1},
      {"images/install_0.png", button(ButtonKind::kInstall, ButtonState::kNormal), -1},
      {"images/install_1.png", button(ButtonKind::kInstall, ButtonState::kDisabled), -1},
      {"images/install_2.png", button(ButtonKind::kInstall, ButtonState::kHot), -1},
      {"images/close_0.png", [] { return artwork::renderClose(false); }, -1},
      {"images/close_1.png", [] { return artwork::renderClose(true); }, -1},
  };
  for (int size : quorrel::artwork_files::kIconSizes) {
    jobs.push_back({QStringLiteral("icon/icon_%1.png").arg(size),
                    [&fonts, size] { return artwork::renderIcon(fonts, size); }, -1});
  }

  for (const Job& job : jobs) {
    QElapsedTimer timer;
    timer.start();
    const QImage image = job.render();
    const QString path = root.filePath(job.file);
    if (!save(image, path, job.quality)) {
      std::fprintf(stderr, "render_artwork: cannot write %s\n", qPrintable(path));
      return 1;
    }
    std::printf("%-26s %4d x %-4d %5lld ms\n", qPrintable(job.file), image.width(), image.height(),
                static_cast<long long>(timer.elapsed()));
  }
  return 0;
}
