// Downloads and uploads of whole files: the pipelines of reads and writes,
// with their rate limit and progress reports.
#include "operations.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

#include "local_file.h"
#include "operation_support.h"

namespace qssh {

namespace {

// Keeps transfers under the configured rate. Its waits are waits like those
// for the network: the caller gets its turn at least every 100 ms, and an
// abort ends them.
class RateLimiter {
 public:
  explicit RateLimiter(ContextState& state)
      : state_(state), limit_(state.conf.intValue(Conf::RateLimit)) {}
  void moved(uint64_t bytes) {
    if (limit_ <= 0) return;
    total_ += bytes;
    const auto due =
        start_ + std::chrono::microseconds(total_ * 1000000 / (uint64_t(limit_) * 1024));
    while (std::chrono::steady_clock::now() < due) {
      std::this_thread::sleep_until(
          std::min(due, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
      state_.letCallerRun();
      checkAborted(state_);
    }
  }

 private:
  ContextState& state_;
  int32_t limit_;
  uint64_t total_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Reports transfer progress, no more often than the configured step.
class ProgressReporter {
 public:
  ProgressReporter(ContextState& state, bool isUpload)
      : state_(state),
        upload_(isUpload),
        step_(std::max(0, state.conf.intValue(Conf::ProgressStep))) {}
  void reached(uint64_t offset, bool last) {
    if (!state_.ctx->progress_callback) return;
    if (!last && offset - reported_ < uint64_t(step_)) return;
    reported_ = offset;
    if (!state_.ctx->progress_callback(static_cast<int64_t>(offset), upload_, state_.ctx))
      fail(QSSH_ERR_ABORTED, "Aborted");
  }

 private:
  ContextState& state_;
  bool upload_;
  int32_t step_;
  uint64_t reported_ = 0;
};

// Where downloaded blocks go.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(uint64_t offset, const char* data, size_t length) = 0;
};

class StreamSink : public Sink {
 public:
  explicit StreamSink(ContextState& state) : state_(state) {}
  void write(uint64_t offset, const char* data, size_t length) override {
    if (!state_.ctx->write_to_stream) fail(QSSH_ERR_LOCAL_FILE, "No stream to write to");
    const int32_t written =
        state_.ctx->write_to_stream(offset, data, static_cast<int32_t>(length), state_.ctx);
    if (written != static_cast<int32_t>(length))
      fail(QSSH_ERR_LOCAL_FILE, "The stream took " + std::to_string(written) + " of " +
                                    std::to_string(length) + " bytes");
  }

 private:
  ContextState& state_;
};

class FileSink : public Sink {
 public:
  explicit FileSink(LocalFile file) : file_(std::move(file)) {}
  void write(uint64_t offset, const char* data, size_t length) override {
    file_.writeAt(offset, data, length);
  }
  LocalFile& file() { return file_; }

 private:
  LocalFile file_;
};

struct ReadRequest {
  uint32_t id;
  uint64_t offset;
  uint32_t length;
};

// The remote file a download reads. A read that must follow the early CLOSE
// (the server gave less than asked near the end) opens the file again.
class RemoteSource {
 public:
  RemoteSource(ContextState& state, std::string path)
      : state_(state),
        path_(std::move(path)),
        file_(state, openHandle(state, path_, QSSH_OPEN_READ, fxp_attrs{})) {}
  uint32_t askAttributes() { return client(state_).send(FXP_FSTAT, Writer().str(file_.handle())); }
  ReadRequest askRead(uint64_t offset, uint32_t length) {
    if (!file_.isOpen()) file_.reopen(openHandle(state_, path_, QSSH_OPEN_READ, fxp_attrs{}));
    return ReadRequest{
        client(state_).send(FXP_READ, Writer().str(file_.handle()).u64(offset).u32(length)), offset,
        length};
  }
  bool isOpen() const { return file_.isOpen(); }
  void closeAhead() { file_.closeAhead(); }
  void close() { file_.close(); }

 private:
  ContextState& state_;
  std::string path_;
  HandleGuard file_;
};

// Reads a remote file from the read `first`, already sent, up to `end`, with
// enough requests in flight to fill the channel window, and hands the blocks
// to `deliver` strictly in file order. The first read goes alone: a short
// answer to it shows how much the server gives per read, and later reads ask
// no more (nor, once a further answer shows that the file went on, do those
// of the next files). A later short answer is followed by a request for the
// rest of its block, placed first in line, so no byte is skipped or taken
// twice. Once every byte up to a known `end` is asked for, the CLOSE goes out
// behind the reads. Returns the offset reached (below `end` at EOF).
template <typename Deliver>
uint64_t pipelinedRead(ContextState& state, RemoteSource& source, ReadRequest first, uint64_t end,
                       Deliver deliver) {
  SftpClient& sftp = client(state);
  const size_t leastInFlight =
      static_cast<size_t>(std::max(1, state.conf.intValue(Conf::SftpReadRequests)));
  std::deque<ReadRequest> queue{first};
  struct Abandon {
    SftpClient& sftp;
    std::deque<ReadRequest>& queue;
    ~Abandon() {
      for (const ReadRequest& pending : queue) sftp.abandon(pending.id);
    }
  } abandonOnExit{sftp, queue};

  if (first.offset >= end) {
    source.closeAhead();
    return first.offset;
  }
  uint32_t block = first.length;
  uint64_t nextOffset = first.offset + first.length;
  uint64_t reached = first.offset;
  bool firstAnswered = false;
  while (reached < end || !queue.empty()) {
    const size_t inFlight =
        firstAnswered ? std::max(leastInFlight, sftp.window() / block + 1) : size_t{1};
    while (queue.size() < inFlight && nextOffset < end) {
      const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(block, end - nextOffset));
      queue.push_back(source.askRead(nextOffset, length));
      nextOffset += length;
    }
    if (nextOffset >= end && end != UINT64_MAX && source.isOpen()) source.closeAhead();
    if (queue.empty()) break;

    const ReadRequest front = queue.front();
    queue.pop_front();
    const Packet answer = sftp.wait(front.id);
    if (answer.type == FXP_STATUS && answer.reader().u32() == FX_EOF) break;
    if (answer.type != FXP_DATA) sftp.failWithStatus(answer);
    const std::string_view data = answer.reader().str();
    if (data.empty() || data.size() > front.length)
      fail(QSSH_ERR_PROTOCOL,
           "The server answered a read with " + std::to_string(data.size()) + " bytes");
    // The first read may reach past the size taken at the start; the file ends there.
    const auto got = static_cast<uint32_t>(std::min<uint64_t>(data.size(), end - front.offset));
    if (got < front.length && front.offset + got < end) {
      if (firstAnswered) {
        queue.push_front(source.askRead(front.offset + got, front.length - got));
      } else {  // nothing else asked yet: go on from here in the server's size
        block = got;
        nextOffset = front.offset + got;
      }
    } else if (firstAnswered && block < first.length) {
      sftp.setReadLimit(block);  // not a file that shrank: the server's size
    }
    firstAnswered = true;
    deliver(front.offset, data.substr(0, got));
    reached = front.offset + got;
    checkAborted(state);
  }
  return reached;
}

void printTransfer(ContextState& state, const char* verb, uint64_t bytes, const std::string& path) {
  if (state.conf.boolValue(Conf::PrintTransferStats))
    state.print(std::string(verb) + " " + std::to_string(bytes) + " bytes of " + path);
}

void copyTimesToLocal(const std::string& path, const fxp_attrs& attrs) {
  if (attrs.flags & QSSH_ATTR_ACMODTIME) setLocalTimes(path, attrs.atime, attrs.mtime);
}

FileSink openLocalTarget(ContextState& state, const std::string& path, bool append,
                         uint64_t& start) {
  const ConfigValues& conf = state.conf;
  LocalFile file = LocalFile::openForWriting(path, append, conf.boolValue(Conf::LocalNoOverwrite),
                                             conf.intValue(Conf::LocalFileMode));
  start = append ? file.size() : 0;
  return FileSink(std::move(file));
}

// Deletes the local file of a failed download when asked to.
class PartialFileGuard {
 public:
  PartialFileGuard(const ContextState& state, const char* local)
      : armed_(local && state.conf.boolValue(Conf::SftpRemovePartial)), path_(local ? local : "") {}
  ~PartialFileGuard() {
    if (armed_) removeLocalFile(path_);
  }
  void keep() { armed_ = false; }

 private:
  bool armed_;
  std::string path_;
};

// Reads upload data from the local file or the caller's stream.
class Source {
 public:
  Source(ContextState& state, const char* local) : state_(state) {
    if (local) file_.emplace(LocalFile::openForReading(local));
  }
  size_t read(uint64_t offset, char* buffer, size_t capacity) {
    if (file_) return file_->readAt(offset, buffer, capacity);
    if (!state_.ctx->read_from_stream) return 0;
    const int32_t count =
        state_.ctx->read_from_stream(offset, buffer, static_cast<int32_t>(capacity), state_.ctx);
    return count > 0 ? std::min(static_cast<size_t>(count), capacity) : 0;
  }
  bool isFile() const { return file_.has_value(); }
  LocalAttributes attributes() const { return file_->attributes(); }

 private:
  ContextState& state_;
  std::optional<LocalFile> file_;
};

}  // namespace

// The offset a download starts at: the local file's size when appending to
// it, the offset the caller gives for a stream.
uint64_t startOffset(const char* local, bool append, uint64_t streamOffset) {
  if (!local) return streamOffset;
  return append ? localFileSize(local) : 0;
}

void download(ContextState& state, const char* remote, const char* local, bool append,
              uint64_t streamOffset) {
  const std::string path = state.resolve(remote);
  SftpClient& sftp = client(state);
  const ConfigValues& conf = state.conf;
  PartialFileGuard partial(state, local);
  // The attributes and the first block are asked for together, right behind
  // the OPEN's answer; neither waits for the other.
  RemoteSource file(state, path);
  const uint32_t attributesId = file.askAttributes();
  uint32_t block = static_cast<uint32_t>(std::max(1, conf.intValue(Conf::SftpReadBlock)));
  if (sftp.readLimit() > 0) block = std::min(block, sftp.readLimit());
  ReadRequest first = file.askRead(startOffset(local, append, streamOffset), block);
  struct Abandon {
    SftpClient& sftp;
    uint32_t id;
    ~Abandon() { sftp.abandon(id); }
  } abandonFirst{sftp, first.id};
  const fxp_attrs attrs = sftp.attributes(sftp.wait(attributesId));
  const uint64_t size = (attrs.flags & QSSH_ATTR_SIZE) ? attrs.size : UINT64_MAX;

  uint64_t start = first.offset;
  std::optional<FileSink> localFile;
  StreamSink stream(state);
  if (local) localFile.emplace(openLocalTarget(state, local, append, start));
  if (start != first.offset) {  // the local file changed meanwhile
    sftp.abandon(first.id);
    first = file.askRead(start, block);
    abandonFirst.id = first.id;
  }
  if (local && conf.boolValue(Conf::LocalPreallocate) && size != UINT64_MAX)
    localFile->file().reserve(start, size);
  Sink& sink = local ? static_cast<Sink&>(*localFile) : stream;
  ProgressReporter progress(state, false);
  RateLimiter limiter(state);

  const uint64_t reached =
      pipelinedRead(state, file, first, size, [&](uint64_t offset, std::string_view data) {
        sink.write(offset, data.data(), data.size());
        limiter.moved(data.size());
        // A stream's writer reports its own progress; only file targets are reported here.
        if (local) progress.reached(offset + data.size(), offset + data.size() == size);
      });
  file.close();
  // A lost connection fails the read it broke; a file that ends early was
  // cut short by the server.
  if (size != UINT64_MAX && reached != size && conf.boolValue(Conf::SftpVerifySize))
    fail(QSSH_ERR_PROTOCOL,
         "The file ended at " + std::to_string(reached) + " of " + std::to_string(size) + " bytes");
  if (localFile) {
    localFile->file().finish(conf.boolValue(Conf::LocalFsync));
    if (conf.boolValue(Conf::SftpPreserveTimes)) copyTimesToLocal(local, attrs);
    if (conf.boolValue(Conf::SftpPreservePerms) && (attrs.flags & QSSH_ATTR_PERMISSIONS))
      setLocalPermissions(local, attrs.permissions);
  }
  partial.keep();
  printTransfer(state, "Downloaded", reached - start, path);
}

void upload(ContextState& state, const char* local, const char* remote, bool append) {
  const std::string path = state.resolve(remote);
  SftpClient& sftp = client(state);
  const ConfigValues& conf = state.conf;
  Source source(state, local);
  fxp_attrs create{};
  if (conf.intValue(Conf::SftpUploadMode) > 0) {
    create.flags = QSSH_ATTR_PERMISSIONS;
    create.permissions = static_cast<uint32_t>(conf.intValue(Conf::SftpUploadMode));
  }
  if (source.isFile() && conf.boolValue(Conf::SftpPreservePerms)) {
    create.flags = QSSH_ATTR_PERMISSIONS;
    create.permissions = source.attributes().permissions;
  }
  HandleGuard file(state, openHandle(state, path,
                                     QSSH_OPEN_WRITE | QSSH_OPEN_CREATE |
                                         (append ? QSSH_OPEN_APPEND : QSSH_OPEN_TRUNCATE),
                                     create));
  uint64_t offset = 0;
  if (append) {
    const fxp_attrs now = sftp.attributes(request(state, FXP_FSTAT, Writer().str(file.handle())));
    offset = (now.flags & QSSH_ATTR_SIZE) ? now.size : 0;
  }
  const uint64_t start = offset;
  const size_t block = static_cast<size_t>(std::max(1, conf.intValue(Conf::SftpWriteBlock)));
  const size_t inFlight = static_cast<size_t>(std::max(1, conf.intValue(Conf::SftpWriteRequests)));
  std::deque<WriteRequest> pending;
  struct Abandon {
    SftpClient& sftp;
    std::deque<WriteRequest>& pending;
    ~Abandon() {
      for (const WriteRequest& request : pending) sftp.abandon(request.id);
    }
  } abandonOnExit{sftp, pending};
  ProgressReporter progress(state, true);
  RateLimiter limiter(state);
  std::string buffer(block, '\0');
  bool atEnd = false;
  while (!atEnd || !pending.empty()) {
    while (!atEnd && pending.size() < inFlight) {
      const size_t count = source.read(offset, buffer.data(), block);
      if (count == 0) {
        atEnd = true;
        break;
      }
      pending.push_back(WriteRequest{
          sftp.send(FXP_WRITE, Writer().str(file.handle()).u64(offset).str({buffer.data(), count})),
          offset + count});
      offset += count;
      limiter.moved(count);
    }
    if (pending.empty()) break;
    const WriteRequest front = pending.front();
    pending.pop_front();
    sftp.ok(sftp.wait(front.id));
    progress.reached(front.end, atEnd && pending.empty());
    checkAborted(state);
  }
  if (conf.boolValue(Conf::SftpFsync) && sftp.hasExtension(kFsync))
    sftp.ok(request(state, FXP_EXTENDED, Writer().str(kFsync).str(file.handle())));
  file.close();
  if (source.isFile() && conf.boolValue(Conf::SftpPreserveTimes)) {
    const LocalAttributes local = source.attributes();
    fxp_attrs times{};
    times.flags = QSSH_ATTR_ACMODTIME;
    times.atime = local.atime;
    times.mtime = local.mtime;
    setAttributes(state, remote, times);
  }
  printTransfer(state, "Uploaded", offset - start, path);
}

}  // namespace qssh
