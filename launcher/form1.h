#pragma once

#include <QCheckBox>
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
#include "game_folder.h"
#include "hash_cache.h"
#include "launcher_config.h"
#include "manifest.h"
#include "platform/platform.h"
#include "sftp_session.h"
#include "transfer_rate.h"

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

  // The tree walk and the transfer handlers the flows plug into their sessions.
  bool ListingCallback(fxp_names* names);
  bool ListingCallback_update(fxp_names* names);
  void MessageCallback(const std::string& Msg, bool isstderr);
  bool GameDownloadProgressCalback(int64_t bytescopied, bool isupload);
  std::string GetInputCallback(bool& cancel);
  bool VerifyHostKeyCallback(const char* host, int32_t port, const char* fingerprint,
                             int32_t verificationstatus, bool& storehostkey);
  static QStringList explode(const QString& cDelimiter, const QString& sValue, int32_t iCount);

  // The sessions of the latest fresh install and patch update.
  std::unique_ptr<TSftpSession> sftp_install;
  std::unique_ptr<TSftpSession> sftp_update;

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
  QString remote_subdir;
  std::int64_t downloaded_bytes = 0;
  std::int64_t download_total = 0;
  // The bytes of local files read to compare them with the patch server's
  // manifest, over the window's life: what the hash cache saves.
  std::int64_t hashed_bytes = 0;

  // How far a walk of the patch server's tree may go before the flow gives
  // up on the server: far beyond any game client, short of what would
  // exhaust the player's memory or patience.
  struct WalkLimits {
    int64_t entriesPerFolder = 250000;
    int64_t entriesInAll = 500000;
    size_t depth = 64;
    std::chrono::seconds time{std::chrono::minutes(30)};
  };
  WalkLimits walkLimits;

 private:
  void buildControls();
  void wireHandlers();
  void setStatus(const QColor& color, const QString& text);
  void enterNoFolderState();
  void chooseFolderWithBrowser();
  bool browseForGameFolder(QString& folder);
  void checkForLauncherUpdate();
  void finishHandOver();
  std::optional<QString> newerAnnouncedVersion();
  void installLauncherUpdate(const QString& version);
  bool downloadLauncherBuild();
  void verifyDownloadedBuild(const QString& buildUrl);
  void applyStoredSettings();
  void showCentred();

  enum class FlowKind { Update, Install };
  struct FileToSync;
  void runFlow(FlowKind kind);
  bool connectAndWalk(FlowKind kind);
  std::vector<FileToSync> planTransfers(const QStringList& fileList);
  bool fetchWithRetries(FlowKind kind, const FileToSync& file);
  bool waitBeforeTry(size_t attempt, std::chrono::seconds wait);
  std::unique_ptr<TSftpSession>& flowSession(FlowKind kind);
  void reconnect(FlowKind kind);
  void fetchVerified(TSftpSession& session, const FileToSync& file, bool& refetched);
  void fetchFile(TSftpSession& session, const FileToSync& file);
  std::optional<partial_copy::Source> serverVersion(TSftpSession& session,
                                                    const std::string& remotePath);
  void countAsDone(const FileToSync& file, int64_t from);
  // The speed cap of the settings in KiB/s; 0 for none.
  int32_t storedSpeedLimit();
  // The manifest: read from the patch server, checked against the local
  // files, and its digests kept for the next run.
  bool noteManifestFile(const QString& name, uint64_t size);
  void loadManifest(TSftpSession& session);
  QByteArray fetchSmallFile(TSftpSession& session, const QString& name, uint64_t size,
                            qint64 maxBytes);
  bool holdsManifestCopy(const GameFolder& folder, const manifest::Entry& entry);
  void rememberFetchedDigest(const GameFolder& folder, const QString& relative,
                             const QByteArray& sha256);
  void saveHashCache();
  bool walkListing(fxp_names* names, TSftpSession& session, QStringList& fileList);
  void countListedEntries(int32_t count);
  void walkInto(const QString& name, TSftpSession& session);
  void removeStalePartialCopies(const QStringList& fileList);
  void logFailure(const std::exception& error);
  std::optional<uint64_t> listedSize(TSftpSession& session, const fxp_name& entry,
                                     const QString& remotePath);
  void finishFlow(FlowKind kind, bool changed);
  bool mayStartFlow(FlowKind kind);
  std::unique_ptr<TSftpSession> newFlowSession(FlowKind kind);
  void showProtectedFolderStatus();
  // Play on top of Install, enabled or not.
  void showPlay(bool enabled);
  // Shows the fetches' speed, bytes and time left right of the folder path,
  // as they are at `now`.
  void showTransferRate(Clock::TimePoint now);
  bool fitsOnTheDisk(FlowKind kind);
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
  TransferRate rate_;
  Clock::TimePoint rateShown_;
  // Refreshes the rate line also while no block arrives, so a stalled link
  // shows its speed falling.
  QTimer* rateTimer_;

  // The flow under way, if any: one runs at a time, on the game folder that
  // was chosen when it started.
  struct ActiveFlow {
    TSftpSession* session = nullptr;
    QString gameFolder;
    int64_t fileOffsetReached = 0;  // in the file being fetched, as counted as done
    int64_t bytesFetched = 0;       // from the server, in all tries
    bool closing = false;
    // The walk: the local folders it is in, the entries listed in each of
    // the remote folders it is in and in all, and when it must end.
    std::optional<FolderTrail> trail;
    QStringList walkedFolders;  // below the game folder; "" is the game folder itself
    std::vector<int64_t> entriesInFolder;
    int64_t entriesInAll = 0;
    Clock::TimePoint walkDeadline;
    // The manifest and its signature when the root listing holds them
    // (their sizes), and the manifest once it is read and trusted.
    std::optional<uint64_t> manifestSize;
    std::optional<uint64_t> signatureSize;
    std::optional<manifest::Manifest> manifest;
    std::optional<HashCache> hashes;
  };
  std::optional<ActiveFlow> flow_;
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
