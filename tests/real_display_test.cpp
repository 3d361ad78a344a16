// The window on a real X server (run by CTest under Xvfb): what reaches the
// screen, not only what the widgets claim.
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include "form_harness.h"
#include "resources.h"

namespace quorrel::testing {
namespace {

class RealDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "runs on a real X server only";
    harness.storeSetting("WoWPath", harness.makeFolder("empty", false));
    form = &harness.start();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    QTest::qWait(300);
  }

  QImage screenImage() {
    QScreen* screen = form->screen();
    const QPoint origin = form->mapToGlobal(QPoint(0, 0));
    return screen->grabWindow(0, origin.x(), origin.y(), form->width(), form->height()).toImage();
  }

  FormHarness harness;
  TForm1* form = nullptr;
};

TEST_F(RealDisplayTest, WindowIsCentredAndShowsTheDesignOnScreen) {
  const QRect screen = form->screen()->availableGeometry();
  EXPECT_LE((form->frameGeometry().center() - screen.center()).manhattanLength(), 2);
  EXPECT_EQ(form->frameGeometry().size(), QSize(1008, 677));

  const QImage shown = screenImage();
  const QImage banner = picture("banner.jpg").toImage();
  const QImage install = picture("install_0.png").toImage();
  // A point of the banner, and the Install button covering Play with its 2-pixel shift.
  EXPECT_EQ(shown.pixel(40 + 400, 177 + 200), banner.pixel(400, 200));
  EXPECT_EQ(shown.pixel(823 + 70, 589 + 23), install.pixel(72, 23) | 0xff000000);
}

}  // namespace
}  // namespace quorrel::testing
