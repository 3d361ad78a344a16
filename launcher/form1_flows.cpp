// The patch update and the fresh install: list the patch server's tree, then
// fetch every file whose local copy is missing or of another size (or, with
// the server's manifest, of another digest).
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <algorithm>
#include <array>

#include "colours.h"
#include "file_list.h"
#include "form1.h"
#include "game_folder.h"
#include "io_error.h"
#include "partial_copy.h"

namespace quorrel {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kPauseBeforeFetch(250);
// The waits before the tries that follow a lost connection: a short drop
// costs little, and a longer outage is not hammered.
constexpr std::array<std::chrono::seconds, 3> kRetryWaits{2s, 5s, 15s};
// How long a wait goes without giving the window its turn.
constexpr std::chrono::milliseconds kWaitStep(100);

void pumpMessages() {
  QCoreApplication::processEvents();
}

// Whether a failure is the connection's, so that a new connection may well
// succeed. A refused host key or account, a file the server refuses, a
// server that breaks the protocol (QSSH_ERR_PROTOCOL: a malformed answer, a
// file that ends before its size) and every error of the game folder's disk
// would only fail again.
bool isConnectionLoss(const std::exception& error, const TSftpSession* session) {
  if (!session || !dynamic_cast<const SftpSessionException*>(&error)) return false;
  switch (session->ErrorCode()) {
    case QSSH_ERR_CONNECT:
    case QSSH_ERR_SSH:
    case QSSH_ERR_TIMEOUT:
    case QSSH_ERR_NOT_CONNECTED:
    case QSSH_ERR_CONNECTION_LOST:
      return true;
    default:
      return false;
  }
}

// Whether anything is in `folder` but the partial copies of earlier fetches,
// which are the launcher's own.
bool holdsFiles(const QString& folder) {
  const QStringList entries =
      QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  return std::any_of(entries.begin(), entries.end(), [](const QString& name) {
    return !partial_copy::isPartialCopyName(QFile::encodeName(name));
  });
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
  removeStalePartialCopies(update ? update_memo : remote_file_list);
  customProgressBar(0);

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
      platform_.sleeper.sleep(kPauseBeforeFetch);
      if (!fetchWithRetries(kind, file)) return;  // the player closed the launcher
      changed = true;
    }
    if (update) pumpMessages();
    if (flow_->closing) return;
  }
  if (download_total > 0)
    logLine(QStringLiteral("Fetched %1 bytes of the %2 to download")
                .arg(flow_->bytesFetched)
                .arg(download_total));
  finishFlow(kind, changed);
}

// Fetches one file. When the connection is lost, a new one goes on with the
// file where its partial copy ends, after a wait, a few times; then the
// flow ends with the fetch's last failure. A file that does not match the
// manifest is no lost connection: it is fetched again on the same one. False
// when the player closed the launcher meanwhile: there is nothing to report.
bool TForm1::fetchWithRetries(FlowKind kind, const FileToSync& file) {
  flow_->fileOffsetReached = 0;
  bool refetched = false;   // after a mismatch with the manifest
  std::exception_ptr lost;  // the fetch's latest failure
  for (size_t retry = 0;; ++retry) {
    setStatus(kWhite, (kind == FlowKind::Update ? QStringLiteral("Updating ")
                                                : QStringLiteral("Downloading ")) +
                          file.relativePath + QStringLiteral("..."));
    bool connected = retry == 0;
    try {
      if (!connected) {
        reconnect(kind);
        connected = true;
      }
      fetchVerified(*flowSession(kind), file, refetched);
      return true;
    } catch (const std::exception& error) {
      if (flow_->closing) return false;
      logFailure(error);
      if (!isConnectionLoss(error, flowSession(kind).get())) throw;
      if (connected) lost = std::current_exception();
      if (retry == kRetryWaits.size()) std::rethrow_exception(lost);
    }
    if (!waitBeforeTry(retry + 2, kRetryWaits[retry])) return false;
  }
}

// Says on the status line that the connection was lost and when the next
// try comes, and waits for it; false when the launcher was closed meanwhile.
bool TForm1::waitBeforeTry(size_t attempt, std::chrono::seconds wait) {
  const QString text = QStringLiteral("Connection lost; trying again in %1 s (try %2 of %3)")
                           .arg(wait.count())
                           .arg(attempt)
                           .arg(kRetryWaits.size() + 1);
  setStatus(kWhite, text);
  logLine(text);
  for (std::chrono::milliseconds left = wait; left > 0ms; left -= kWaitStep) {
    pumpMessages();
    if (flow_->closing) return false;
    platform_.sleeper.sleep(std::min(left, kWaitStep));
  }
  pumpMessages();
  return !flow_->closing;
}

std::unique_ptr<TSftpSession>& TForm1::flowSession(FlowKind kind) {
  return kind == FlowKind::Update ? sftp_update : sftp_install;
}

// A new connection in place of the lost one.
void TForm1::reconnect(FlowKind kind) {
  std::unique_ptr<TSftpSession>& field = flowSession(kind);
  flow_->session = nullptr;
  field.reset();
  field = newFlowSession(kind);
  flow_->session = field.get();
  field->Connect();
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
  if (kind == FlowKind::Update || !holdsFiles(flow_->gameFolder)) return true;
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
  session->SetRateLimit(storedSpeedLimit());
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
  flow_->walkedFolders = QStringList{QString()};
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

// A copy that does not match the manifest was spoilt on the way, on the disk
// or by the server: it is fetched once more from its first byte, and a second
// mismatch ends the flow. `refetched` is the file's across the new connections
// of fetchWithRetries, so a connection lost during that fetch does not earn
// the file a third.
void TForm1::fetchVerified(TSftpSession& session, const FileToSync& file, bool& refetched) {
  try {
    fetchFile(session, file);
  } catch (const ContentMismatch& mismatch) {
    if (refetched) throw;
    refetched = true;
    logLine(QString::fromUtf8(mismatch.what()) + QStringLiteral("; fetching it once more"));
    // What was fetched stays done: the file is added to the bytes to fetch.
    download_total = file_list::addSizes(download_total, file.listedSize);
    rate_.extend(file.listedSize);
    flow_->fileOffsetReached = 0;
    fetchFile(session, file);
  }
  rememberFetchedDigest(GameFolder(flow_->gameFolder), file.relativePath, file.sha256);
}

// The one place where a file's bytes pass from the server to its partial
// copy: the fetch goes on from the copy when it is of the server's file as
// it is now, and the bytes already there count as done. With the manifest's
// digest, the whole file is checked, the bytes the copy kept too.
void TForm1::fetchFile(TSftpSession& session, const FileToSync& file) {
  const std::string remotePath = file.remotePath.toStdString();
  GameFolder(flow_->gameFolder)
      .replaceFile(
          file.relativePath, file.listedSize, serverVersion(session, remotePath),
          [&](TStream& stream, int64_t from) {
            countAsDone(file, from);
            pumpMessages();
            if (from > 0)
              session.DownloadStreamFrom(remotePath, stream, from);
            else
              session.DownloadStream(remotePath, stream, false);
          },
          file.sha256);
}

// The server's file as a partial copy records it; nothing when the server
// does not tell its size and time, and then no copy is gone on with. A file
// the server refuses to describe is left to the fetch to report in its own
// words; a lost connection is a lost connection.
std::optional<partial_copy::Source> TForm1::serverVersion(TSftpSession& session,
                                                          const std::string& remotePath) {
  fxp_attrs attrs{};
  try {
    session.GetStat(remotePath, attrs);
  } catch (const SftpSessionException& error) {
    if (isConnectionLoss(error, &session)) throw;
    logFailure(error);
    return std::nullopt;
  }
  if (!(attrs.flags & QSSH_ATTR_SIZE) || !(attrs.flags & QSSH_ATTR_ACMODTIME)) return std::nullopt;
  return partial_copy::Source{static_cast<int64_t>(attrs.size), attrs.mtime};
}

// The file's bytes up to `from` count as done, as the bar and the rate line
// show them, but not as fetched now: the speed stays that of the link.
void TForm1::countAsDone(const FileToSync& file, int64_t from) {
  const int64_t step = from - std::exchange(flow_->fileOffsetReached, from);
  downloaded_bytes += step;
  rate_.skip(step);
  if (from > 0)
    logLine(QStringLiteral("Going on with %1 at byte %2 of %3")
                .arg(file.relativePath)
                .arg(from)
                .arg(file.listedSize));
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
