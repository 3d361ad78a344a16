// The window's layout, progress bar, links, hover, dragging and closing.
#include <QEnterEvent>
#include <QTest>
#include <QTimeZone>

#include "form_harness.h"

namespace quorrel::testing {
namespace {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.storeSetting("WoWPath", harness.makeFolder("empty", false));
    form = &harness.start();
  }
  FormHarness harness;
  TForm1* form = nullptr;
};

TEST_F(WindowTest, IsAFramelessFixedSizeWindowWithItsControlsInPlace) {
  EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(form->size(), QSize(1008, 677));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_FALSE(form->windowIcon().isNull());
  EXPECT_EQ(form->windowIcon().availableSizes().size(), 6);
  const std::pair<QWidget*, QRect> placed[] = {
      {form->background, {0, 0, 1008, 677}}, {form->progress_bg, {40, 589, 760, 14}},
      {form->Image1, {40, 177, 928, 378}},   {form->logo_image, {32, 25, 305, 136}},
      {form->play, {823, 589, 143, 46}},     {form->install, {823, 589, 143, 46}},
      {form->exit, {968, 17, 24, 24}},       {form->clear_wdb_checkbox, {827, 641, 15, 17}},
  };
  for (const auto& [control, bounds] : placed)
    EXPECT_EQ(control->geometry(), bounds) << control->objectName().toStdString();
  EXPECT_FALSE(form->background->pixmap().isNull());
  EXPECT_EQ(form->background->pixmap().size(), QSize(1399, 700));
  EXPECT_EQ(form->logo_image->pixmap().size(), QSize(300, 150));
  EXPECT_EQ(form->link_website->pos(), QPoint(530, 80));
  EXPECT_EQ(form->connstatus->pos(), QPoint(40, 616));
  EXPECT_FALSE(form->startUpdate->isVisible());
}

TEST_F(WindowTest, InstallLiesAbovePlayAndButtonsAboveTheLabels) {
  form->play->show();
  form->install->show();
  EXPECT_EQ(form->childAt(890, 610), form->install);
  form->install->hide();
  EXPECT_EQ(form->childAt(890, 610), form->play);
}

struct ProgressCase {
  int percent;
  int fillWidth;
  QString label;  // empty: hidden
};

class ProgressBarTest : public WindowTest, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(ProgressBarTest, FillWidthAndPercentageLabel) {
  const ProgressCase& c = GetParam();
  form->customProgressBar(c.percent);
  EXPECT_EQ(form->progress_fg->width(), c.fillWidth);
  EXPECT_EQ(form->download_progress_percent->isVisible(), !c.label.isEmpty());
  EXPECT_EQ(form->download_progress_percent->text(), c.label);
  EXPECT_EQ(form->download_progress_percent->pos(), QPoint(407, 589));
}

INSTANTIATE_TEST_SUITE_P(Values, ProgressBarTest,
                         ::testing::Values(ProgressCase{0, 0, ""}, ProgressCase{1, 7, "1%"},
                                           ProgressCase{33, 250, "33%"},
                                           ProgressCase{50, 380, "50%"},
                                           ProgressCase{100, 760, "100%"},
                                           ProgressCase{150, 1140, "150%"},
                                           ProgressCase{-5, 0, ""}),
                         [](const auto& info) {
                           const int percent = info.param.percent;
                           return (percent < 0 ? "minus" : "") + std::to_string(std::abs(percent));
                         });

TEST_F(WindowTest, FillAboveAHundredShowsTheWholePictureAndNothingBeyond) {
  form->customProgressBar(150);
  QImage drawn(form->progress_fg->size(), QImage::Format_ARGB32);
  drawn.fill(Qt::transparent);
  form->progress_fg->render(&drawn, QPoint(), QRegion(), QWidget::DrawChildren);
  EXPECT_GT(qAlpha(drawn.pixel(700, 7)), 0);
  EXPECT_EQ(qAlpha(drawn.pixel(900, 7)), 0);
}

TEST_F(WindowTest, LinksOpenTheirPages) {
  const std::pair<TLabel*, QString> links[] = {
      {form->link_website, "https://site.test/"},
      {form->link_discord, "https://community.test/invite"},
      {form->link_talent_calculator, "https://site.test/talents"},
      {form->versioninfo, "https://project.test/launcher"},
  };
  for (const auto& [link, url] : links) {
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(harness.shell.openedUrls.last(), url);
  }
  EXPECT_EQ(harness.shell.openedUrls.size(), 4);
}

TEST_F(WindowTest, HoverTurnsLinksGoldAndLeavingTurnsThemWhite) {
  for (TLabel* link : {form->link_website, form->link_discord, form->link_talent_calculator}) {
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(link, &enter);
    EXPECT_EQ(link->fontColor(), QColor(225, 196, 146)) << link->objectName().toStdString();
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(link, &leave);
    EXPECT_EQ(link->fontColor(), kWhite);
  }
  QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
  QCoreApplication::sendEvent(form->versioninfo, &enter);
  EXPECT_NE(form->versioninfo->fontColor(), QColor(225, 196, 146));
}

TEST_F(WindowTest, ImageButtonsShowNormalDisabledAndHotLooks) {
  QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
  QEvent leave(QEvent::Leave);
  EXPECT_EQ(form->install->currentImageIndex(), 0);
  QCoreApplication::sendEvent(form->install, &enter);
  EXPECT_EQ(form->install->currentImageIndex(), 2);
  form->install->setEnabled(false);
  EXPECT_EQ(form->install->currentImageIndex(), 1);
  form->install->setEnabled(true);
  QCoreApplication::sendEvent(form->install, &leave);
  EXPECT_EQ(form->install->currentImageIndex(), 0);

  QCoreApplication::sendEvent(form->exit, &enter);
  EXPECT_EQ(form->exit->currentImageIndex(), 1);
}

TEST_F(WindowTest, CloseButtonRequestsTheQuitWithoutConfirmation) {
  QTest::mouseClick(form->exit, Qt::LeftButton, {}, QPoint(12, 12));
  EXPECT_EQ(harness.application.quitRequests, 1);
  EXPECT_TRUE(harness.messageBox.errors.empty());
}

TEST_F(WindowTest, OnlyALeftPressOnTheBackgroundDragsTheWindow) {
  QTest::mousePress(form->background, Qt::RightButton, {}, QPoint(500, 20));
  QTest::mousePress(form->background, Qt::MiddleButton, {}, QPoint(500, 20));
  QTest::mousePress(form->Image1, Qt::LeftButton, {}, QPoint(100, 100));
  QTest::mousePress(form->logo_image, Qt::LeftButton, {}, QPoint(100, 100));
  QTest::mousePress(form->Label1, Qt::LeftButton, {}, QPoint(3, 3));
  EXPECT_EQ(harness.application.systemMoves, 0);
  EXPECT_EQ(harness.shell.openedUrls.size(), 0);

  QTest::mousePress(form->background, Qt::LeftButton, {}, QPoint(500, 20));
  EXPECT_EQ(harness.application.systemMoves, 1);
}

TEST_F(WindowTest, HandlerErrorsAreShownAndTheWindowGoesOn) {
  FakeSettingsStore failing;
  harness.dialogs.browserAnswers = {std::nullopt};
  harness.start(&failing);
  failing.writesFail = true;
  QTest::mouseClick(harness.form().clear_wdb_checkbox, Qt::LeftButton);
  QTest::mouseClick(harness.form().clear_wdb_checkbox, Qt::LeftButton);
  EXPECT_EQ(harness.messageBox.errors.size(), 2u);
  QTest::mouseClick(harness.form().link_website, Qt::LeftButton);
  EXPECT_EQ(harness.shell.openedUrls.size(), 1);
}

// Each way a flow of the engine ends, as the status line shows it: the
// engine's tests check which end a flow takes, this table what the player reads.
using Reason = ReleaseRefusal::Reason;

FlowResult untrusted(const ReleaseRefusal& refusal) {
  return {.end = FlowEnd::Untrusted, .refusal = refusal};
}

TEST(FlowEndStatusTest, EachEndHasItsTextAndColour) {
  struct EndCase {
    FlowKind kind;
    FlowResult result;
    std::optional<std::pair<QColor, QString>> shown;  // nothing: the line stays as it was
  };
  const QString cannotConnect = "Cannot connect to patch server. Try again later.";
  const QString noRoom =
      "Not enough free space on the game folder's disk: %1 to download, %2 free.";
  const EndCase cases[] = {
      {FlowKind::Update, {FlowEnd::Done, true}, {{kWhite, "Update complete. Ready to play!"}}},
      {FlowKind::Update, {FlowEnd::Done, false}, {{kWhite, "Game up to date. Ready to play!"}}},
      {FlowKind::Install, {FlowEnd::Done, true}, {{kWhite, "Ready to play!"}}},
      {FlowKind::Update, {FlowEnd::Stopped}, std::nullopt},
      {FlowKind::Install, {FlowEnd::Stopped}, std::nullopt},
      {FlowKind::Install, {FlowEnd::InstallDeclined}, std::nullopt},
      {FlowKind::Update,
       {FlowEnd::FolderBusy},
       {{kWhite, "Another launcher is updating this game folder."}}},
      {FlowKind::Install,
       {FlowEnd::ProtectedFolder},
       {{kWhite,
         "The game cannot be installed in this folder (the root, your home folder or a system "
         "folder). Click here to choose another."}}},
      {FlowKind::Update, {FlowEnd::NoConnection}, {{kRed, cannotConnect}}},
      {FlowKind::Install, {FlowEnd::NoConnection}, {{kRed, cannotConnect}}},
      {FlowKind::Update,
       {FlowEnd::NoRoom, false, {6291456, 3500000}},
       {{kRed, noRoom.arg("6.3 MB", "3.5 MB")}}},
      {FlowKind::Update,
       {FlowEnd::NoRoom, false, {INT64_MAX, 0}},
       {{kRed, noRoom.arg("9223372.0 TB", "0 B")}}},
      {FlowKind::Update,
       untrusted({.reason = Reason::Unsigned}),
       {{kRed, "Update refused: the patch server's files are not signed."}}},
      {FlowKind::Install,
       untrusted({.reason = Reason::Unsigned}),
       {{kRed, "Install refused: the patch server's files are not signed."}}},
      {FlowKind::Update,
       untrusted({.reason = Reason::Unreadable}),
       {{kRed, "Update refused: the patch server's manifest cannot be read."}}},
      {FlowKind::Update,
       untrusted({.reason = Reason::NoRelease}),
       {{kRed, "Update refused: the patch server's manifest names no release."}}},
      {FlowKind::Update,
       untrusted({.reason = Reason::Older, .release = 4, .accepted = 12}),
       {{kRed, "Update refused: release 4 is older than release 12, installed before."}}},
      {FlowKind::Update,
       untrusted({.reason = Reason::Expired,
                  .release = 9,
                  .expired = QDateTime(QDate(2027, 1, 31), QTime(12, 30), QTimeZone::utc())}),
       {{kRed, "Update refused: release 9 expired on 2027-01-31 12:30 UTC."}}},
      {FlowKind::Update,
       untrusted({.reason = Reason::Incomplete, .release = 3}),
       {{kRed, "Update refused: the patch server does not serve all of release 3."}}},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.kind == FlowKind::Update ? "update, " : "install, ")
                                      << static_cast<int>(c.result.end));
    const std::optional<StatusLine> line = flowEndStatus(c.kind, c.result);
    ASSERT_EQ(line.has_value(), c.shown.has_value());
    if (!line) continue;
    EXPECT_EQ(line->colour, c.shown->first);
    EXPECT_EQ(line->text, c.shown->second);
  }
}

}  // namespace
}  // namespace quorrel::testing
