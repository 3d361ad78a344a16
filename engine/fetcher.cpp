#include "fetcher.h"

#include <algorithm>
#include <cstring>

#include "io_error.h"

namespace quorrel {

namespace {

using namespace std::chrono_literals;

// A mirror that fails for this many files in a row is down, not busy.
constexpr int kMirrorFailuresInARow = 3;
// Between two fetches, so that a patch server that limits how fast a client
// may ask is not met with a burst.
constexpr std::chrono::milliseconds kPauseBeforeFetch(250);
// How long a wait goes without giving the caller its turn.
constexpr std::chrono::milliseconds kWaitStep(100);

// The stream a source writes a fetched file into: every block written is
// counted as the offset the file reached, and shown.
class CountingStream : public TStream {
 public:
  CountingStream(TStream& into, FlowProgress& progress, SyncObserver& observer)
      : into_(into), progress_(progress), observer_(observer) {}
  void setPosition(int64_t position) override {
    position_ = position;
    into_.setPosition(position);
  }
  int64_t read(void* buffer, int64_t count) override { return into_.read(buffer, count); }
  int64_t write(const void* buffer, int64_t count) override {
    const int64_t written = into_.write(buffer, count);
    position_ += written;
    progress_.reached(position_);
    observer_.progressed(progress_);
    return written;
  }

 private:
  TStream& into_;
  FlowProgress& progress_;
  SyncObserver& observer_;
  int64_t position_ = 0;
};

// An object never changes: a partial copy of it is gone on with whenever it is
// of the same object, which its digest names. The record keeps 56 bits of
// the digest where a server file's keeps its time, a count of at most 18
// digits.
partial_copy::Source objectVersion(const FileToSync& file) {
  std::uint64_t digestBits = 0;
  std::memcpy(&digestBits, file.sha256.constData(),
              std::min(sizeof digestBits, size_t(file.sha256.size())));
  return {.size = file.listedSize, .modified = std::int64_t(digestBits >> 8)};
}

}  // namespace

Fetcher::Fetcher(FileSource& source, const GameFolder& folder, FlowProgress& progress,
                 Sleeper& sleeper, SyncObserver& observer, FlowKind kind,
                 std::optional<HashCache>& hashes, std::uint64_t flowId,
                 std::function<bool()> stopped, std::optional<Mirrors> mirrors)
    : source_(source),
      folder_(folder),
      progress_(progress),
      sleeper_(sleeper),
      observer_(observer),
      kind_(kind),
      hashes_(hashes),
      flowId_(flowId),
      stopped_(std::move(stopped)),
      mirrors_(std::move(mirrors)) {}

bool Fetcher::fetch(const FileToSync& file) {
  sleeper_.sleep(kPauseBeforeFetch);
  progress_.startFile();
  switch (fetchFromMirrors(file)) {
    case MirrorResult::Delivered:
      rememberDigest(file);
      return true;
    case MirrorResult::Stopped:
      return false;
    case MirrorResult::Failed:
      return fetchFromSource(file);
  }
  return false;
}

// Each mirror in turn, until one delivers the file's object whole and
// matching the manifest. A mirror that fails is logged and left for this
// file: a missing or wrong object may be a mirror's upload half done, and a
// busy mirror may answer the next. It is left for the rest of the flow when
// it cannot be trusted at all, or has failed for several files in a row, so
// a mirror that is down costs a few waits, not one per file. The next one
// goes on from what the failed one left, when that was of the object. Only
// an error of the disk ends the flow here: every mirror would meet it.
Fetcher::MirrorResult Fetcher::fetchFromMirrors(const FileToSync& file) {
  if (!mirrors_ || file.sha256.isEmpty()) return MirrorResult::Failed;
  for (const QString& mirror : mirrors_->urls) {
    if (givenUpMirrors_.contains(mirror)) continue;
    observer_.fileStarted(kind_, file);
    try {
      fetchInto(file, objectVersion(file), [&](TStream& stream, int64_t from) {
        mirrors_->client.fetch(manifest::objectUrl(mirror, file.sha256), from, file.listedSize,
                               stream);
      });
      failuresInARow_.remove(mirror);
      observer_.log(QStringLiteral("%1 came from the mirror %2").arg(file.relativePath, mirror));
      return MirrorResult::Delivered;
    } catch (const InOutError&) {
      if (stopped_()) return MirrorResult::Stopped;
      throw;
    } catch (const std::exception& error) {
      if (stopped_()) return MirrorResult::Stopped;
      const bool giveUp = dynamic_cast<const MirrorUntrusted*>(&error) != nullptr ||
                          ++failuresInARow_[mirror] == kMirrorFailuresInARow;
      if (giveUp) givenUpMirrors_.append(mirror);
      observer_.log(QStringLiteral("The mirror %1 failed for %2: %3%4")
                        .arg(mirror, file.relativePath, QString::fromUtf8(error.what()),
                             giveUp ? QStringLiteral("; it is not tried again") : QString()));
    }
  }
  if (!mirrors_->urls.isEmpty())
    observer_.log(QStringLiteral("%1 comes from the patch server").arg(file.relativePath));
  return MirrorResult::Failed;
}

// When the connection is lost, a new one goes on with the file where its
// partial copy ends, after a wait, a few times; then the flow ends with the
// fetch's last failure. A file that does not match the manifest is no lost
// connection: it is fetched again on the same one.
bool Fetcher::fetchFromSource(const FileToSync& file) {
  bool refetched = false;   // after a mismatch with the manifest
  std::exception_ptr lost;  // the fetch's latest failure
  for (size_t retry = 0;; ++retry) {
    observer_.fileStarted(kind_, file);
    bool connected = retry == 0;
    try {
      if (!connected) {
        source_.reconnect();
        connected = true;
      }
      fetchVerified(file, refetched);
      return true;
    } catch (const std::exception& error) {
      if (stopped_()) return false;
      logFailure(observer_, error);
      if (!source_.lostConnection(error)) throw;
      if (connected) lost = std::current_exception();
      if (retry + 1 == kTries) std::rethrow_exception(lost);
    }
    if (!waitBeforeTry(retry + 2, kRetryWaits[retry])) return false;
  }
}

// False when the launcher was closed during the wait.
bool Fetcher::waitBeforeTry(size_t attempt, std::chrono::seconds wait) {
  observer_.retryWaits(attempt, kTries, wait);
  for (std::chrono::milliseconds left = wait; left > 0ms; left -= kWaitStep) {
    observer_.yield();
    if (stopped_()) return false;
    sleeper_.sleep(std::min(left, kWaitStep));
  }
  observer_.yield();
  return !stopped_();
}

// A copy that does not match the manifest was spoilt on the way, on the disk
// or by the server: it is fetched once more from its first byte, and a second
// mismatch ends the flow. `refetched` is the file's across the new
// connections of fetch(), so a connection lost during that fetch does not
// earn the file a third.
void Fetcher::fetchVerified(const FileToSync& file, bool& refetched) {
  try {
    fetchInto(file);
  } catch (const ContentMismatch& mismatch) {
    if (refetched) throw;
    refetched = true;
    observer_.log(QString::fromUtf8(mismatch.what()) + QStringLiteral("; fetching it once more"));
    progress_.refetch(file.listedSize);
    fetchInto(file);
  }
  rememberDigest(file);
}

// The one place where a file's bytes pass from the source to its partial
// copy: the fetch goes on from the copy when it is of the source's file as it
// is now, and the bytes already there count as done. With the manifest's
// digest, the whole file is checked, the bytes the copy kept too. Without
// one, nothing proves that kept bytes are of the file as it is now (another
// file of the same size and time may have taken its place since): only this
// flow's own copy is gone on with, after a lost connection.
void Fetcher::fetchInto(const FileToSync& file) {
  std::optional<partial_copy::Source> version = source_.version(file.remotePath);
  if (version && file.sha256.isEmpty()) version->flow = flowId_;
  fetchInto(file, version,
            [&](TStream& stream, int64_t from) { source_.fetch(file.remotePath, stream, from); });
}

void Fetcher::fetchInto(const FileToSync& file, const std::optional<partial_copy::Source>& version,
                        const std::function<void(TStream&, int64_t from)>& fetchFrom) {
  folder_.replaceFile(
      file.relativePath, file.listedSize, version,
      [&](TStream& stream, int64_t from) {
        progress_.keptUpTo(from);
        if (from > 0)
          observer_.log(QStringLiteral("Going on with %1 at byte %2 of %3")
                            .arg(file.relativePath)
                            .arg(from)
                            .arg(file.listedSize));
        observer_.yield();
        CountingStream counting(stream, progress_, observer_);
        fetchFrom(counting, from);
      },
      file.sha256);
}

// A file just checked against the manifest needs no reading at the next run.
void Fetcher::rememberDigest(const FileToSync& file) {
  if (!hashes_ || file.sha256.isEmpty()) return;
  if (const std::optional<FileStamp> stamp = folder_.stampOf(file.relativePath))
    hashes_->record(file.relativePath, *stamp, file.sha256);
}

}  // namespace quorrel
