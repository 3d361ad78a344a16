#include <QApplication>

#include "form1.h"
#include "resources.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  quorrel::registerBundledFonts();
  quorrel::DesktopPlatform platform;
  quorrel::TForm1 form(quorrel::LauncherConfig::fromBuild(), platform.services());
  form.create();
  return platform.application.runMessageLoop(app);
}
