// The window: its controls, the progress bar, the links, dragging and closing.
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QScreen>
#include <algorithm>

#include "colours.h"
#include "error_box.h"
#include "form1.h"
#include "progress.h"
#include "resources.h"

namespace quorrel {

namespace {

QColor systemGreyText() {
  return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}
QColor systemHighlightText() {
  return QApplication::palette().color(QPalette::HighlightedText);
}

}  // namespace

TForm1::TForm1(LauncherConfig config, Platform platform, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      config_(std::move(config)),
      platform_(platform),
      flowView_(makeFlowView()),
      engine(config_,
             EngineServices{platform_.sftpLibrary, platform_.sleeper, platform_.clock,
                            platform_.log.stateFolder()},
             *flowView_) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Form1"));
  setWindowIcon(programIcon());
  setFixedSize(kClientWidth, kClientHeight);
  setFont(tahomaFont(11));
  buildControls();
  wireHandlers();
  platform_.application.whenSessionEnds([this] { stopAndQuit(); });
}

TForm1::~TForm1() = default;

// Pictures and labels come first so every button and the check box lie above
// them; among the buttons a later one lies above an earlier one (install over play).
void TForm1::buildControls() {
  background = new TImage(this, "background", rect(), picture("background.jpg"));
  versioninfo = new TLabel(this, "versioninfo", {40, 656}, "[versioninfo]", calibriFont(11),
                           systemGreyText());
  connstatus =
      new TLabel(this, "connstatus", {40, 616}, "Checking for updates...", calibriFont(16), kWhite);
  progress_bg =
      new TImage(this, "progress_bg", {40, 589, kProgressBarWidth, 14}, picture("progress_bg.png"));
  progress_fg = new TImage(this, "progress_fg", {40, 589, 153, 14}, picture("progress_fg.png"));
  Image1 = new TImage(this, "Image1", {40, 177, 928, 378}, picture("banner.jpg"));
  logo_image = new TImage(this, "logo_image", {32, 25, 305, 136}, picture("logo.png"));
  const QFont linkFont = calibriFont(21, true);
  link_website =
      new TLabel(this, "link_website", {530, 80}, "WEBSITE", linkFont, systemHighlightText());
  link_discord =
      new TLabel(this, "link_discord", {658, 80}, "DISCORD", linkFont, systemHighlightText());
  link_talent_calculator = new TLabel(this, "link_talent_calculator", {786, 80},
                                      "TALENT CALCULATOR", linkFont, systemHighlightText());
  wow_location_label = new TLabel(this, "wow_location_label", {40, 569}, "[location]",
                                  calibriFont(11), systemGreyText());
  Label1 = new TLabel(this, "Label1", {845, 641}, "Clear WDB on launch", calibriFont(13), kWhite);
  Label2 = new TLabel(this, "Label2", {40, 641},
                      "* If you have problems with Launcher, try to launch it with Administrator "
                      "privileges.",
                      tahomaFont(11), kYellow);
  download_progress_percent =
      new TLabel(this, "download_progress_percent", {407, 589}, "DL %", tahomaFont(11), kWhite);
  download_progress_percent->hide();
  transfer_rate =
      new TLabel(this, "transfer_rate", {kTransferRateRight, 569}, "", calibriFont(11), kWhite);
  transfer_rate->hide();
  rateTimer_ = new QTimer(this);
  rateTimer_->setInterval(500);
  connect(rateTimer_, &QTimer::timeout, this, [this] { showTransferRate(); });

  for (QWidget* handCursor : std::initializer_list<QWidget*>{
           versioninfo, Image1, logo_image, link_website, link_discord, link_talent_calculator,
           wow_location_label, Label2, download_progress_percent})
    handCursor->setCursor(Qt::PointingHandCursor);
  connstatus->setCursor(Qt::ArrowCursor);

  startUpdate = new QPushButton(QStringLiteral("startUpdate"), this);
  startUpdate->setObjectName(QStringLiteral("startUpdate"));
  startUpdate->setGeometry(326, 609, 75, 25);
  startUpdate->setFocusPolicy(Qt::NoFocus);
  startUpdate->hide();

  play = new TImageButton(this, "play", {823, 589, 143, 46}, imageList("play", 3));
  play->setEnabled(false);
  install = new TImageButton(this, "install", {823, 589, 143, 46}, imageList("install", 3));
  install->setEnabled(false);
  exit = new TImageButton(this, "exit", {968, 17, 24, 24}, imageList("close", 2));

  clear_wdb_checkbox = new QCheckBox(this);
  clear_wdb_checkbox->setObjectName(QStringLiteral("clear_wdb_checkbox"));
  clear_wdb_checkbox->setGeometry(827, 641, 15, 17);
  clear_wdb_checkbox->setChecked(true);
  clear_wdb_checkbox->setCursor(Qt::PointingHandCursor);
  clear_wdb_checkbox->setAutoFillBackground(true);
  QPalette checkBoxColors = clear_wdb_checkbox->palette();
  checkBoxColors.setColor(QPalette::Window, kWhite);
  clear_wdb_checkbox->setPalette(checkBoxColors);

  setTabOrder(install, play);
  setTabOrder(play, exit);
  setTabOrder(exit, clear_wdb_checkbox);

  updateTimer = new QTimer(this);
  updateTimer->setObjectName(QStringLiteral("updateTimer"));
  updateTimer->setSingleShot(true);
  updateTimer->setInterval(3000);

  client_wow_path.title = QStringLiteral("Select WoW Directory");
}

void TForm1::wireHandlers() {
  connect(background, &TImage::mouseDown, this, [this](Qt::MouseButton button) {
    guarded([&] { backgroundMouseDown(background, button); });
  });
  wire(versioninfo, &TLabel::clicked, &TForm1::versioninfoClick);
  wire(connstatus, &TLabel::clicked, &TForm1::connstatusClick);
  wire(link_website, &TLabel::clicked, &TForm1::link_websiteClick);
  wire(link_website, &TLabel::mouseEntered, &TForm1::link_websiteMouseEnter);
  wire(link_website, &TLabel::mouseLeft, &TForm1::link_websiteMouseLeave);
  wire(link_discord, &TLabel::clicked, &TForm1::link_discordClick);
  wire(link_discord, &TLabel::mouseEntered, &TForm1::link_discordMouseEnter);
  wire(link_discord, &TLabel::mouseLeft, &TForm1::link_discordMouseLeave);
  wire(link_talent_calculator, &TLabel::clicked, &TForm1::link_talent_calculatorClick);
  wire(link_talent_calculator, &TLabel::mouseEntered, &TForm1::link_talent_calculatorMouseEnter);
  wire(link_talent_calculator, &TLabel::mouseLeft, &TForm1::link_talent_calculatorMouseLeave);
  wire(wow_location_label, &TLabel::clicked, &TForm1::wow_location_labelClick);
  wire(startUpdate, &QPushButton::clicked, &TForm1::startUpdateClick);
  wire(install, &TImageButton::clicked, &TForm1::installClick);
  wire(play, &TImageButton::clicked, &TForm1::playClick);
  wire(exit, &TImageButton::clicked, &TForm1::exitClick);
  // Every change of the box's state, by the player or by the program.
  wire(clear_wdb_checkbox, &QCheckBox::toggled, &TForm1::clear_wdb_checkboxClick);
  wire(updateTimer, &QTimer::timeout, &TForm1::updateTimerTimer);
}

QString TForm1::messageBoxTitle() const {
  return applicationTitle(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

void TForm1::showErrorBox(const std::exception& error) {
  const QString text = errorBoxText(QString::fromUtf8(error.what()));
  platform_.log.write(QStringLiteral("Error box: ") + text);
  platform_.messageBox.showError(this, messageBoxTitle(), text);
}

void TForm1::logLine(const QString& line) {
  Memo1 << line;
  platform_.log.write(line);
}

void TForm1::showCentred() {
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  show();
}

void TForm1::customProgressBar(std::int32_t percent) {
  const int width = progress::fillWidth(percent, kProgressBarWidth);
  progress_fg->resize(std::max(width, 0), progress_fg->height());
  if (percent > 0) {
    download_progress_percent->setCaption(QString::number(percent) + '%');
    download_progress_percent->show();
  } else {
    download_progress_percent->hide();
    download_progress_percent->setCaption(QString());
  }
}

void TForm1::exitClick(QObject*) {
  stopAndQuit();
}

void TForm1::closeEvent(QCloseEvent* event) {
  stopAndQuit();
  event->accept();
}

// A transfer under way is stopped rather than run to its end; the file it was
// fetching keeps its old content. A flow whose session does not exist yet
// aborts it as soon as it does.
void TForm1::stopAndQuit() {
  engine.stop();
  platform_.application.requestQuit();
}

// Right-aligned with the bar's end, so it grows leftwards towards the folder path.
void TForm1::showTransferRate() {
  rateShown_ = platform_.clock.now();
  transfer_rate->setCaption(engine.progress().rateText());
  transfer_rate->move(kTransferRateRight - transfer_rate->width(), transfer_rate->y());
  transfer_rate->show();
}

void TForm1::link_websiteClick(QObject*) {
  platform_.shell.openUrl(config_.siteUrl);
}
void TForm1::link_discordClick(QObject*) {
  platform_.shell.openUrl(config_.communityUrl);
}
void TForm1::link_talent_calculatorClick(QObject*) {
  platform_.shell.openUrl(config_.talentsUrl);
}
void TForm1::versioninfoClick(QObject*) {
  platform_.shell.openUrl(config_.projectUrl);
}

void TForm1::link_websiteMouseEnter(QObject*) {
  link_website->setFontColor(kHoverGold);
}
void TForm1::link_websiteMouseLeave(QObject*) {
  link_website->setFontColor(kWhite);
}
void TForm1::link_discordMouseEnter(QObject*) {
  link_discord->setFontColor(kHoverGold);
}
void TForm1::link_discordMouseLeave(QObject*) {
  link_discord->setFontColor(kWhite);
}
void TForm1::link_talent_calculatorMouseEnter(QObject*) {
  link_talent_calculator->setFontColor(kHoverGold);
}
void TForm1::link_talent_calculatorMouseLeave(QObject*) {
  link_talent_calculator->setFontColor(kWhite);
}

void TForm1::backgroundMouseDown(QObject*, Qt::MouseButton Button) {
  if (Button == Qt::LeftButton) platform_.application.startSystemMove(this);
}

}  // namespace quorrel
