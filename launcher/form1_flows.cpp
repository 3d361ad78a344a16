// The patch update and the fresh install: list the patch server's tree, then
// fetch every file whose local copy is missing or of another size (or, with
// the server's manifest, of another digest).
#include <QCoreApplication>
#include <QDir>

#include "colours.h"
#include "file_list.h"
#include "form1.h"
#include "game_folder.h"
#include "io_error.h"

namespace quorrel {

namespace {

constexpr std::chrono::milliseconds kPauseBeforeFetch(250);

void pumpMessages() {
  QCoreApplication::processEvents();
}

}  // namespace

// One line of a flow's file list, decided before any transfer so the bar can
// show the true share of the bytes to fetch.
struct TForm1::FileToSync {
  QString line;
  QString remotePath;
  QString relativePath;
  int64_t listedSize = 0;
  QByteArray sha256;  // the manifest's digest of the file; empty without a manifest
  bool fetch = false;
  std::optional<std::string> error;  // the line cannot be read; the flow stops there
};

void TForm1::startUpdateClick(QObject*) {
  runFlow(FlowKind::Update);
}

void TForm1::installClick(QObject*) {
  runFlow(FlowKind::Install);
}

void TForm1::runFlow(FlowKind kind) {
  if (flow_) return;
  flow_.emplace();
  flow_->gameFolder = wow_path;
  struct EndFlow {
    std::optional<ActiveFlow>& flow;
    ~EndFlow() { flow.reset(); }
  } endFlow{flow_};

  const bool update = kind == FlowKind::Update;
  play->setEnabled(false);  // a half-written folder is never started
  if (!mayStartFlow(kind)) return;
  const std::optional<GameFolderLock> lock = GameFolderLock::take(flow_->gameFolder);
  if (!lock) {
    setStatus(kWhite, QStringLiteral("Another launcher is updating this game folder."));
    if (update) showPlay(true);
    return;
  }
  if (update) {
    setStatus(kWhite, QStringLiteral("Checking patch update..."));
  } else {
    setStatus(kWhite, QStringLiteral("Downloading game files..."));
    install->setEnabled(false);
  }
  pumpMessages();
  if (!connectAndWalk(kind)) {
    if (flow_->closing) return;
    if (wow_path != flow_->gameFolder)
      WoWFolderCheck();
    else if (update)
      showPlay(true);  // the game can still be started with the files as they are
    return;
  }
  customProgressBar(0);

  TSftpSession& session = *(update ? sftp_update : sftp_install);
  struct SaveHashes {
    TForm1& form;
    ~SaveHashes() { form.saveHashCache(); }
  } saveHashes{*this};
  const std::vector<FileToSync> files = planTransfers(update ? update_memo : remote_file_list);
  if (flow_->closing) return;
  downloaded_bytes = 0;
  download_total = 0;
  for (const FileToSync& file : files)
    if (file.fetch) download_total = file_list::addSizes(download_total, file.listedSize);
  if (!fitsOnTheDisk(kind)) return;
  rate_.begin(download_total, platform_.clock.now());
  if (download_total > 0) rateTimer_->start();  // an update that fetches nothing shows no rate
  struct HideRate {
    TLabel* label;
    QTimer* timer;
    ~HideRate() {
      timer->stop();
      label->hide();
    }
  } hideRate{transfer_rate, rateTimer_};
  bool changed = false;
  for (const FileToSync& file : files) {
    logLine(QStringLiteral("Download ") + file.line);
    if (file.error) throw Exception(*file.error);
    if (file.fetch) {
      setStatus(kWhite, (update ? QStringLiteral("Updating ") : QStringLiteral("Downloading ")) +
                            file.relativePath + QStringLiteral("..."));
      platform_.sleeper.sleep(kPauseBeforeFetch);
      try {
        fetchFile(session, file);
      } catch (const std::exception& error) {
        if (flow_->closing) return;  // the player closed the launcher; nothing to report
        logFailure(error);
        throw;
      }
      changed = true;
    }
    if (update) pumpMessages();
    if (flow_->closing) return;
  }
  finishFlow(kind, changed);
}

// Nothing is fetched when the files to fetch do not fit on the game folder's
// disk: the status line says so with both figures. The update leaves the game
// as it is, to be started.
bool TForm1::fitsOnTheDisk(FlowKind kind) {
  const int64_t freeBytes = GameFolder(flow_->gameFolder).freeSpace();
  if (download_total <= freeBytes) return true;
  setStatus(kRed, QStringLiteral("Not enough free space on the game folder's disk: %1 to "
                                 "download, %2 free.")
                      .arg(byteCountText(download_total), byteCountText(freeBytes)));
  logLine(QStringLiteral("%1 bytes to download, %2 bytes free in %3")
              .arg(download_total)
              .arg(freeBytes)
              .arg(flow_->gameFolder));
  if (kind == FlowKind::Update) showPlay(true);
  return false;
}

// A flow never writes into the root, the home folder or a system folder, and
// an install asks before it writes into a folder that already holds files.
bool TForm1::mayStartFlow(FlowKind kind) {
  if (isProtectedFolder(flow_->gameFolder)) {
    showProtectedFolderStatus();
    if (kind == FlowKind::Update) showPlay(true);
    return false;
  }
  if (kind == FlowKind::Update ||
      QDir(flow_->gameFolder)
          .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
    return true;
  return platform_.messageBox.askYesNo(
      this, messageBoxTitle(),
      QStringLiteral("The folder %1 already holds files. Install the game into it anyway? Files "
                     "of the game's names will be replaced.")
          .arg(QDir::toNativeSeparators(flow_->gameFolder)));
}

std::unique_ptr<TSftpSession> TForm1::newFlowSession(FlowKind kind) {
  auto session = std::make_unique<TSftpSession>(true, platform_.sftpLibrary);
  if (kind == FlowKind::Update)
    session->OnListing = [this](fxp_names* names) { return ListingCallback_update(names); };
  else
    session->OnListing = [this](fxp_names* names) { return ListingCallback(names); };
  session->OnMessage = [this](const std::string& line, bool isstderr) {
    MessageCallback(line, isstderr);
  };
  session->OnProgress = [this](int64_t bytes, bool isupload) {
    return GameDownloadProgressCalback(bytes, isupload);
  };
  session->OnGetInput = [this](bool& cancel) { return GetInputCallback(cancel); };
  session->OnVerifyHostKey = [this](const char* host, int32_t port, const char* fingerprint,
                                    int32_t status, bool& store) {
    return VerifyHostKeyCallback(host, port, fingerprint, status, store);
  };
  // The window repaints and takes a close while the patch server is silent.
  session->OnIdle = [] { pumpMessages(); };
  session->SetHostName(config_.patchHost.toStdString());
  session->SetUserName(config_.patchAccount.toStdString());
  session->SetPassword(config_.patchAccount.toStdString());
  session->SetPort(config_.patchPort);
  return session;
}

// Creates and connects a new session and walks the tree; on a failure the
// status line says so in red and the flow goes no further. The listing is
// tried even after a failed connect, so its error reaches the log as well. A
// library that cannot be loaded is a failure to connect like any other.
bool TForm1::connectAndWalk(FlowKind kind) {
  const bool update = kind == FlowKind::Update;
  std::unique_ptr<TSftpSession>& field = update ? sftp_update : sftp_install;
  field.reset();  // a replaced session is disconnected and freed
  remote_subdir.clear();
  (update ? update_memo : remote_file_list).clear();

  flow_->trail.emplace(flow_->gameFolder);
  flow_->entriesInFolder.assign(1, 0);
  flow_->entriesInAll = 0;
  flow_->walkDeadline = platform_.clock.now() + walkLimits.time;

  bool ok = true;
  auto attempt = [&](const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception& error) {
      ok = false;
      if (flow_->closing) return;  // the player closed the launcher; nothing to report
      logFailure(error);
      setStatus(kRed, QStringLiteral("Cannot connect to patch server. Try again later."));
    }
  };
  attempt([&] { field = newFlowSession(kind); });
  if (!field) return false;
  if (flow_->closing) return false;  // closed before the session existed
  TSftpSession& session = *field;
  flow_->session = &session;
  attempt([&] { session.Connect(); });
  attempt([&] { session.ListDir(remote_root.toStdString()); });
  if (ok && !flow_->closing) attempt([&] { loadManifest(session); });
  return ok && !flow_->closing;
}

std::vector<TForm1::FileToSync> TForm1::planTransfers(const QStringList& fileList) {
  const GameFolder folder(flow_->gameFolder);
  std::vector<FileToSync> files;
  for (const QString& line : fileList) {
    if (flow_->closing) break;  // comparing digests pumps messages: the player may have closed
    FileToSync file;
    file.line = line;
    try {
      const file_list::Line listed = file_list::parse(line);
      file.remotePath = listed.remotePath;
      file.listedSize = listed.size;
    } catch (const Exception& error) {
      file.error = error.what();
      files.push_back(file);
      break;
    }
    file.relativePath = file.remotePath.mid(remote_root.size() + 1);
    if (!flow_->manifest) {
      file.fetch = file_list::needsFetch(folder.fileSize(file.relativePath), file.listedSize);
    } else if (const manifest::Entry* entry = flow_->manifest->find(file.relativePath)) {
      file.sha256 = entry->sha256;
      file.fetch = !holdsManifestCopy(folder, *entry);
    } else {
      // What the manifest does not name is no file the operator published.
      logLine(QStringLiteral("Skipping %1: the patch server's manifest does not name it")
                  .arg(file.relativePath));
      continue;
    }
    files.push_back(file);
  }
  return files;
}

// A copy that does not match the manifest was spoilt on the way or by the
// server: it is fetched once more, and a second one ends the flow.
void TForm1::fetchFile(TSftpSession& session, const FileToSync& file) {
  const GameFolder folder(flow_->gameFolder);
  const auto fetchOnce = [&] {
    folder.replaceFile(
        file.relativePath, file.listedSize,
        [&](TStream& stream) {
          pumpMessages();
          flow_->fileOffsetReached = 0;
          session.DownloadStream(file.remotePath.toStdString(), stream, false);
        },
        file.sha256);
  };
  try {
    fetchOnce();
  } catch (const ContentMismatch& mismatch) {
    logLine(QString::fromUtf8(mismatch.what()) + QStringLiteral("; fetching it once more"));
    download_total = file_list::addSizes(download_total, file.listedSize);
    rate_.extend(file.listedSize);
    fetchOnce();
  }
  rememberFetchedDigest(folder, file.relativePath, file.sha256);
}

// The player sees the short text; the log keeps what was attempted where and
// what the system answered.
void TForm1::logFailure(const std::exception& error) {
  logLine(QString::fromUtf8(error.what()));
  if (const auto* io = dynamic_cast<const InOutError*>(&error); io && !io->cause().empty())
    logLine(QString::fromUtf8(io->cause()));
}

// The end state belongs to the folder the flow worked in; when the player has
// chosen another meanwhile, that one is checked instead.
void TForm1::finishFlow(FlowKind kind, bool changed) {
  customProgressBar(100);
  if (wow_path != flow_->gameFolder) {
    WoWFolderCheck();
    return;
  }
  showPlay(true);
  if (kind == FlowKind::Update) {
    setStatus(kWhite, changed ? QStringLiteral("Update complete. Ready to play!")
                              : QStringLiteral("Game up to date. Ready to play!"));
    return;
  }
  install->setEnabled(false);
  setStatus(kWhite, QStringLiteral("Ready to play!"));
  pumpMessages();
}

}  // namespace quorrel
