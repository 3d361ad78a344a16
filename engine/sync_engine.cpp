#include "sync_engine.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <algorithm>
#include <optional>

#include "fetcher.h"
#include "file_list.h"
#include "game_folder.h"
#include "hash_cache.h"
#include "io_error.h"
#include "patch_connection.h"
#include "server_manifest.h"
#include "sync_plan.h"

namespace quorrel {

// The digest cache's bound on the files it may hold counts on the walk's.
static_assert(WalkLimits{}.entriesInAll <= HashCache::kMostFiles);

namespace {

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

// The flow under way, on the game folder that was chosen when it started.
struct SyncEngine::Flow {
  Flow(Request request, Clock& clock) : request(std::move(request)), progress(clock) {}
  Request request;
  // Never 0, which names no flow.
  std::uint64_t id = QRandomGenerator::system()->generate64() | 1;
  bool stopping = false;
  FlowProgress progress;
  std::unique_ptr<PatchConnection> connection;
  std::optional<TreeWalk> walk;
  std::optional<manifest::Manifest> manifest;
  std::optional<HashCache> hashes;
  std::optional<ReleaseRefusal> refusal;
};

SyncEngine::SyncEngine(const LauncherConfig& config, EngineServices services,
                       SyncObserver& observer)
    : config_(config),
      services_(std::move(services)),
      observer_(observer),
      noFlow_(services_.clock) {}

SyncEngine::~SyncEngine() = default;

FlowResult SyncEngine::run(const Request& request) {
  if (running_) throw std::logic_error("a flow is under way already");
  flow_ = std::make_unique<Flow>(request, services_.clock);
  running_ = true;
  struct EndFlow {
    bool& running;
    ~EndFlow() { running = false; }
  } endFlow{running_};
  return runFlow();
}

void SyncEngine::stop() {
  if (!running_) return;
  flow_->stopping = true;
  if (flow_->connection) flow_->connection->abort();
}

const SyncEngine::Request& SyncEngine::request() const {
  return flow_ ? flow_->request : noRequest_;
}

const FlowProgress& SyncEngine::progress() const {
  return flow_ ? flow_->progress : noFlow_;
}

const TreeWalk* SyncEngine::walk() const {
  return running_ && flow_->walk ? &*flow_->walk : nullptr;
}

// A flow never writes into the root, the home folder or a system folder, and
// an install asks before it writes into a folder that already holds files.
FlowResult SyncEngine::runFlow() {
  Flow& flow = *flow_;
  const Request& request = flow.request;
  if (isProtectedFolder(request.gameFolder)) return {FlowEnd::ProtectedFolder};
  if (request.kind == FlowKind::Install && holdsFiles(request.gameFolder) &&
      !observer_.mayInstallInto(request.gameFolder))
    return {FlowEnd::InstallDeclined};
  if (flow.stopping) return {FlowEnd::Stopped};  // closed while the player was asked
  const std::optional<GameFolderLock> lock = GameFolderLock::take(request.gameFolder);
  if (!lock) return {FlowEnd::FolderBusy};
  observer_.connecting(request.kind);
  observer_.yield();
  if (!connectAndWalk()) {
    if (flow.stopping) return {FlowEnd::Stopped};
    if (flow.refusal) return {.end = FlowEnd::Untrusted, .refusal = *flow.refusal};
    return {FlowEnd::NoConnection};
  }
  removeStalePartialCopies();
  observer_.walked(request.kind, flow.walk->fileList());

  struct SaveHashes {
    std::optional<HashCache>& hashes;
    SyncObserver& observer;
    // The cache only saves time: one that cannot be written is logged, and
    // the flow ends as it would have.
    ~SaveHashes() {
      if (!hashes) return;
      try {
        hashes->save();
      } catch (const Exception& error) {
        observer.log(QString::fromUtf8(error.what()));
      }
    }
  } saveHashes{flow.hashes, observer_};
  return fetchAll();
}

// Connects and walks the tree, then reads the manifest; a failure is logged
// and the flow goes no further. The listing is tried even after a failed
// connect, so that its error reaches the log as well. A library that cannot
// be loaded is a failure to connect like any other.
bool SyncEngine::connectAndWalk() {
  Flow& flow = *flow_;
  bool ok = true;
  auto attempt = [&](const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception& error) {
      ok = false;
      if (!flow.stopping) logFailure(observer_, error);
    }
  };
  attempt([&] {
    flow.connection = std::make_unique<PatchConnection>(config_, flow.request.speedLimitKiB,
                                                        services_.library, observer_);
  });
  if (!flow.connection || flow.stopping) return false;
  flow.walk.emplace(flow.connection->session(), flow.request.gameFolder, flow.request.remoteRoot,
                    walkLimits, services_.clock, observer_, flow.request.kind,
                    [&flow] { return flow.stopping; });
  attempt([&] { flow.connection->connect(); });
  attempt([&] { flow.walk->walk(); });
  if (ok && !flow.stopping) {
    try {
      readRelease();
    } catch (const ReleaseRefused& refused) {
      ok = false;
      flow.refusal = refused.refusal();
      logFailure(observer_, refused);
    } catch (const ManifestError& unreadable) {
      ok = false;
      flow.refusal = ReleaseRefusal{.reason = ReleaseRefusal::Reason::Unreadable};
      logFailure(observer_, unreadable);
    } catch (const std::exception& error) {
      ok = false;
      if (!flow.stopping) logFailure(observer_, error);
    }
  }
  return ok && !flow.stopping;
}

// The manifest, and the release it names, as far as this launcher trusts
// them; ManifestError (ReleaseRefused) when it does not.
void SyncEngine::readRelease() {
  Flow& flow = *flow_;
  UpdateKeys keys(services_.stateFolder, config_.updatePublicKey);
  flow.manifest = readServerManifest(flow.connection->session(), flow.request.remoteRoot,
                                     flow.walk->manifest(), keys);
  ReleaseState releases(services_.stateFolder);
  const ReleaseCheck check{flow.manifest, keys.enabled(), flow.walk->fileList(),
                           flow.request.remoteRoot, QDateTime::currentDateTimeUtc()};
  check.accept(releases,
               QStringLiteral("%1:%2 %3")
                   .arg(config_.patchHost)
                   .arg(config_.patchPort)
                   .arg(flow.request.remoteRoot),
               observer_);
  if (!flow.manifest) return;
  flow.hashes.emplace(services_.stateFolder, flow.request.gameFolder);
  observer_.log(QStringLiteral("The patch server's manifest names %1 files")
                    .arg(flow.manifest->entries().size()));
}

// Once the whole tree is listed, the partial copies of files the server no
// longer lists are worth nothing: in every folder the walk listed they go,
// with the copies of earlier versions' naming, so they do not pile up. The
// copies of listed files stay for their fetches to go on from. What cannot
// be removed is logged; it costs only disk space.
void SyncEngine::removeStalePartialCopies() {
  const Flow& flow = *flow_;
  QHash<QString, QSet<QString>> listed;  // the names of the files in each folder
  for (const QString& line : flow.walk->fileList()) {
    QString relative;
    try {
      relative = file_list::parse(line).remotePath.mid(flow.request.remoteRoot.size() + 1);
    } catch (const Exception&) {
      return;  // the flow stops at that line; nothing is removed on a guess
    }
    const qsizetype slash = relative.lastIndexOf(QChar('/'));
    listed[slash < 0 ? QString() : relative.left(slash)].insert(relative.mid(slash + 1));
  }
  const GameFolder folder(flow.request.gameFolder);
  const auto logRemovalFailure = [this](const InOutError& error) { logFailure(observer_, error); };
  for (const QString& walked : flow.walk->folders()) {
    try {
      folder.removeStalePartialCopies(walked, listed.value(walked), logRemovalFailure);
    } catch (const InOutError& error) {
      logFailure(observer_, error);
    }
  }
}

// Every file of the plan in turn, after nothing is to be fetched that would
// not fit on the disk.
FlowResult SyncEngine::fetchAll() {
  Flow& flow = *flow_;
  const Request& request = flow.request;
  const GameFolder folder(request.gameFolder);
  SyncPlan plan(folder, request.remoteRoot, flow.manifest, flow.hashes, observer_,
                [&flow] { return flow.stopping; });
  const std::vector<FileToSync> files = plan.make(flow.walk->fileList());
  hashedBytes_ += plan.hashedBytes();
  if (flow.stopping) return {FlowEnd::Stopped};

  int64_t total = 0;
  for (const FileToSync& file : files)
    if (file.fetch) total = file_list::addSizes(total, file.listedSize);
  if (const std::optional<DiskShortfall> shortfall = diskShortfall(folder, total)) {
    observer_.log(QStringLiteral("%1 bytes to download, %2 bytes free in %3")
                      .arg(shortfall->needed)
                      .arg(shortfall->free)
                      .arg(request.gameFolder));
    return {FlowEnd::NoRoom, false, *shortfall};
  }
  flow.progress.begin(total);
  observer_.fetchingBegins(flow.progress);

  MirrorClient mirrorClient({.caFile = config_.caFile,
                             .stallTimeout = mirrorStallTimeout,
                             .speedLimitBytesPerSecond = int64_t(request.speedLimitKiB) * 1024,
                             .whileWaiting =
                                 [this, &flow] {
                                   observer_.yield();
                                   if (flow.stopping) throw Exception("The launcher is closing");
                                 },
                             .stopped = [&flow] { return flow.stopping; }});
  std::optional<Mirrors> mirrors;
  if (const QStringList urls = mirrorsOfFlow(); !urls.isEmpty())
    mirrors.emplace(Mirrors{urls, mirrorClient});
  Fetcher fetcher(
      *flow.connection, folder, flow.progress, services_.sleeper, observer_, request.kind,
      flow.hashes, flow.id, [&flow] { return flow.stopping; }, std::move(mirrors));
  bool changed = false;
  for (const FileToSync& file : files) {
    observer_.log(QStringLiteral("Download ") + file.line);
    if (file.error) throw Exception(*file.error);
    if (file.fetch) {
      if (!fetcher.fetch(file)) return {FlowEnd::Stopped};
      changed = true;
    }
    if (request.kind == FlowKind::Update) observer_.yield();
    if (flow.stopping) return {FlowEnd::Stopped};
  }
  if (total > 0)
    observer_.log(QStringLiteral("Fetched %1 bytes of the %2 to download")
                      .arg(flow.progress.fetched())
                      .arg(total));
  return {FlowEnd::Done, changed};
}

// The mirrors the signed manifest names, or else the build's; none without a
// manifest, whose digests alone make a mirror's bytes worth taking.
QStringList SyncEngine::mirrorsOfFlow() {
  const Flow& flow = *flow_;
  if (!flow.manifest) return {};
  const QStringList& named = flow.manifest->mirrors();
  QStringList usable;
  for (const QString& url : named.isEmpty() ? config_.mirrors : named) {
    if (const QString problem = manifest::mirrorUrlProblem(url); !problem.isEmpty())
      observer_.log(QStringLiteral("The mirror %1 is not used: %2").arg(url, problem));
    else
      usable.append(url);
  }
  if (!usable.isEmpty())
    observer_.log(QStringLiteral("Files come from the mirrors %1, then from the patch server")
                      .arg(usable.join(QStringLiteral(", "))));
  return usable;
}

}  // namespace quorrel
