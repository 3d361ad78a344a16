#pragma once

#include <QCheckBox>
#include <QColor>
#include <QElapsedTimer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "build_version.h"
#include "controls.h"
#include "flow_end_status.h"
#include "launcher_config.h"
#include "platform/platform.h"
#include "sync_engine.h"

namespace quorrel {

class LauncherUpdate;

// The folder dialog of the game-folder label: it remembers the last folder the
// player confirmed and proposes it the next time it opens.
struct TFolderDialog {
  QString title;
  QString fileName;
};

// The launcher's one window. Its controls, its state and its handlers are
// public so that the tests reach them by their names. The flows are the
// synchronisation engine's: the window starts them, turns what they report
// into texts, colours, the bar and boxes, and stops them when it closes.
class TForm1 : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 1008;
  static constexpr int kClientHeight = 677;
  static constexpr int kProgressBarWidth = 760;
  static constexpr int kTransferRateRight = 40 + kProgressBarWidth;
  static constexpr std::int64_t kInitialDownloadTotal = 101246571888059;
  static inline const QString kVersion = QString::fromLatin1(build::kLauncherVersion);

  TForm1(LauncherConfig config, Platform platform, QWidget* parent = nullptr);
  ~TForm1() override;

  // Runs FormCreate with its errors shown in the error box, and shows the
  // window in whatever state it reached.
  void create();

  // Start-up and the game folder.
  void FormCreate(QObject* Sender);
  void WoWFolderCheck();
  void connstatusClick(QObject* Sender);
  void wow_location_labelClick(QObject* Sender);
  void updateTimerTimer(QObject* Sender);

  // The window.
  void customProgressBar(std::int32_t percent);
  void exitClick(QObject* Sender);
  void link_websiteClick(QObject* Sender);
  void link_discordClick(QObject* Sender);
  void link_talent_calculatorClick(QObject* Sender);
  void versioninfoClick(QObject* Sender);
  void link_websiteMouseEnter(QObject* Sender);
  void link_websiteMouseLeave(QObject* Sender);
  void link_discordMouseEnter(QObject* Sender);
  void link_discordMouseLeave(QObject* Sender);
  void link_talent_calculatorMouseEnter(QObject* Sender);
  void link_talent_calculatorMouseLeave(QObject* Sender);
  void backgroundMouseDown(QObject* Sender, Qt::MouseButton Button);

  // Settings.
  void clear_wdb_checkboxClick(QObject* Sender);

  // Self-update: a version text as a number, "1.0.3" giving 103. ConvertError
  // when no number is left once the dots are gone.
  std::int32_t verToNumber(const QString& ver);

  // The flows.
  void startUpdateClick(QObject* Sender);
  void installClick(QObject* Sender);
  void playClick(QObject* Sender);

  // Where the window meets the engine's flows: each batch of the patch
  // server's listing (of the install and of the update), and the bytes
  // fetched so far, which move the bar and the rate line. Each gives the
  // window its turn; the listing goes on while it answers true.
  bool ListingCallback(fxp_names* names);
  bool ListingCallback_update(fxp_names* names);
  bool GameDownloadProgressCalback(int64_t bytescopied, bool isupload);

  // Shows an error in the application's error box.
  void showErrorBox(const std::exception& error);
  // A line of the transfer log, kept in Memo1 and in the support log file.
  void logLine(const QString& line);

 protected:
  // Every way of closing the window acts as the close button.
  void closeEvent(QCloseEvent* event) override;

 public:
  // Controls, in the order they are stacked: later ones lie above earlier ones.
  TImage* background;
  TLabel* versioninfo;
  TLabel* connstatus;
  TImage* progress_bg;
  TImage* progress_fg;
  TImage* Image1;
  TImage* logo_image;
  TLabel* link_website;
  TLabel* link_discord;
  TLabel* link_talent_calculator;
  TLabel* wow_location_label;
  TLabel* Label1;
  TLabel* Label2;
  TLabel* download_progress_percent;
  // Speed, bytes and time left while a flow fetches; hidden otherwise.
  TLabel* transfer_rate;
  QPushButton* startUpdate;
  TImageButton* play;
  TImageButton* install;
  TImageButton* exit;
  QCheckBox* clear_wdb_checkbox;
  QTimer* updateTimer;
  TFolderDialog client_wow_path;

  // The hidden line lists: the patch update's file list, the transfer log and
  // the fresh install's file list. Only appended to.
  QStringList update_memo;
  QStringList Memo1;
  QStringList remote_file_list;

  // State shared by the flows.
  QString wow_path;  // the game folder, ending in a separator once set
  QString remote_root;
  // The bytes the flow under way has done and has to do, as the bar shows them.
  std::int64_t downloaded_bytes = 0;
  std::int64_t download_total = 0;

 private:
  void buildControls();
  void wireHandlers();
  void setStatus(const QColor& color, const QString& text);
  void enterNoFolderState();
  void chooseFolderWithBrowser();
  bool browseForGameFolder(QString& folder);
  void checkForLauncherUpdate();
  void installLauncherUpdate(LauncherUpdate& update, const QString& version);
  void applyStoredSettings();
  // The speed cap of the settings in KiB/s; 0 for none.
  int32_t storedSpeedLimit();
  void showCentred();

  class FlowView;  // what the window makes of the engine's reports
  std::unique_ptr<SyncObserver> makeFlowView();
  void runFlow(FlowKind kind);
  void showFlowEnd(FlowKind kind, const FlowResult& result);
  void finishFlow(FlowKind kind, bool changed);
  void showProgress(const FlowProgress& progress);
  void showProtectedFolderStatus();
  // Play on top of Install, enabled or not.
  void showPlay(bool enabled);
  // Shows the fetches' speed, bytes and time left right of the folder path,
  // as they are now.
  void showTransferRate();
  // Stops the flow under way, if any, and asks the application to end.
  void stopAndQuit();
  // The title of every message box: the application's title.
  QString messageBoxTitle() const;

  // Connects a control's event to a handler so that an error it raises is
  // shown in the error box instead of unwinding through Qt.
  template <typename Control, typename Signal>
  void wire(Control* control, Signal signal, void (TForm1::*handler)(QObject*));
  template <typename Handler>
  void guarded(Handler&& handler);

  LauncherConfig config_;
  Platform platform_;
  std::unique_ptr<SyncObserver> flowView_;
  Clock::TimePoint rateShown_;
  // When the window last had its turn during a fetch: blocks arrive far more
  // often than a window needs to repaint, and each turn has its cost.
  QElapsedTimer sinceTurn_;
  // Refreshes the rate line also while no block arrives, so a stalled link
  // shows its speed falling.
  QTimer* rateTimer_;
  // The game folder of the flow under way, which it keeps whatever folder
  // the player chooses meanwhile.
  QString flowFolder_;
  // A flow is under way from the click until the window has shown its end,
  // which runs events of its own: no second flow starts in between.
  bool flowUnderWay_ = false;

 public:
  // The synchronisation of the game folder, which the flows run. Made last:
  // it reports to the window.
  SyncEngine engine;
};

template <typename Handler>
void TForm1::guarded(Handler&& handler) {
  try {
    std::forward<Handler>(handler)();
  } catch (const std::exception& error) {
    showErrorBox(error);
  } catch (...) {
    showErrorBox(std::runtime_error("Unknown error"));
  }
}

template <typename Control, typename Signal>
void TForm1::wire(Control* control, Signal signal, void (TForm1::*handler)(QObject*)) {
  connect(control, signal, this,
          [this, control, handler] { guarded([&] { (this->*handler)(control); }); });
}

}  // namespace quorrel
