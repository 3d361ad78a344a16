#pragma once

#include <QCheckBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <exception>
#include <utility>

#include "controls.h"
#include "launcher_config.h"
#include "platform/platform.h"

namespace quorrel {

// The folder dialog of the game-folder label: it remembers the last folder the
// player confirmed and proposes it the next time it opens.
struct TFolderDialog {
  QString title;
  QString fileName;
};

// The launcher's one window. Its controls, its state and its handlers are
// public so that the flows (and the tests) reach them by their names.
class TForm1 : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 1008;
  static constexpr int kClientHeight = 677;
  static constexpr int kProgressBarWidth = 760;
  static constexpr std::int64_t kInitialDownloadTotal = 101246571888059;
  static inline const QString kVersion = QStringLiteral("1.0.3");

  TForm1(LauncherConfig config, Platform platform, QWidget* parent = nullptr);

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

  // The flows.
  void startUpdateClick(QObject* Sender);
  void installClick(QObject* Sender);
  void playClick(QObject* Sender);

  // Shows an error in the application's error box.
  void showErrorBox(const std::exception& error);

  // Controls, in the order of the form description.
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
  QString remote_subdir;
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
  void applyStoredSettings();
  void showCentred();

  // Connects a control's event to a handler so that an error it raises is
  // shown in the error box instead of unwinding through Qt.
  template <typename Control, typename Signal>
  void wire(Control* control, Signal signal, void (TForm1::*handler)(QObject*));
  template <typename Handler>
  void guarded(Handler&& handler);

  LauncherConfig config_;
  Platform platform_;
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
