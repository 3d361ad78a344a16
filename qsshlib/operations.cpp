#include "operations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

#include "lib_error.h"

namespace qssh {

namespace {

constexpr uint32_t kOpenRead = 0x01;
constexpr uint32_t kOpenWrite = 0x02;
constexpr uint32_t kOpenAppend = 0x04;
constexpr uint32_t kOpenCreate = 0x08;
constexpr uint32_t kOpenTruncate = 0x10;
constexpr const char* kPosixRename = "posix-rename@openssh.com";
constexpr const char* kFsync = "fsync@openssh.com";

SftpClient& client(ContextState& state) {
  return state.connection().client;
}

Packet request(ContextState& state, uint8_t type, const Writer& body) {
  SftpClient& sftp = client(state);
  return sftp.wait(sftp.send(type, body));
}

void checkAborted(const ContextState& state) {
  if (state.ctx->aborted) fail(QSSH_ERR_ABORTED, "Aborted");
}

[[noreturn]] void failLocal(const std::string& what, const std::string& path) {
  fail(QSSH_ERR_LOCAL_FILE, what + " " + path + ": " + std::strerror(errno));
}

// An open remote handle; closed without waiting when an error leaves early.
class HandleGuard {
 public:
  HandleGuard(ContextState& state, std::string handle)
      : state_(state), handle_(std::move(handle)) {}
  ~HandleGuard() {
    if (!open_ || !state_.open) return;
    try {
      client(state_).abandon(client(state_).send(FXP_CLOSE, Writer().str(handle_)));
    } catch (const LibError&) {
      // The connection is gone; the server drops the handle with it.
    }
  }
  const std::string& handle() const { return handle_; }
  void close() {
    open_ = false;
    client(state_).ok(request(state_, FXP_CLOSE, Writer().str(handle_)));
    state_.print("Closed the remote file");
  }

 private:
  ContextState& state_;
  std::string handle_;
  bool open_ = true;
};

std::string openHandle(ContextState& state, const std::string& path, uint32_t flags,
                       const fxp_attrs& attrs) {
  std::string handle =
      client(state).handle(request(state, FXP_OPEN, Writer().str(path).u32(flags).attrs(attrs)));
  state.print("Opened " + path);
  return handle;
}

// Keeps transfers under the configured rate.
class RateLimiter {
 public:
  explicit RateLimiter(int32_t kibPerSecond) : limit_(kibPerSecond) {}
  void moved(uint64_t bytes) {
    if (limit_ <= 0) return;
    total_ += bytes;
    const auto due =
        start_ + std::chrono::microseconds(total_ * 1000000 / (uint64_t(limit_) * 1024));
    std::this_thread::sleep_until(due);
  }

 private:
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
  FileSink(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  FileSink(FileSink&& other) noexcept
      : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  ~FileSink() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(uint64_t offset, const char* data, size_t length) override {
    size_t done = 0;
    while (done < length) {
      const ssize_t result =
          ::pwrite(fd_, data + done, length - done, static_cast<off_t>(offset + done));
      if (result < 0 && errno == EINTR) continue;
      if (result <= 0) failLocal("Cannot write", path_);
      done += static_cast<size_t>(result);
    }
  }
  int fd() const { return fd_; }
  void finish(bool sync) {
    if (sync && ::fsync(fd_) != 0) failLocal("Cannot write", path_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) failLocal("Cannot write", path_);
  }

 private:
  std::string path_;
  int fd_;
};

struct ReadRequest {
  uint32_t id;
  uint64_t offset;
  uint32_t length;
};

// Reads [start, end) of a remote file with many requests in flight and hands
// the blocks to `deliver` strictly in file order. A short answer is followed
// by a request for the rest of its block, placed first in line, so no byte is
// skipped or taken twice. Returns the offset reached (below `end` at EOF).
template <typename Deliver>
uint64_t pipelinedRead(ContextState& state, const std::string& handle, uint64_t start, uint64_t end,
                       Deliver deliver) {
  SftpClient& sftp = client(state);
  const uint32_t block =
      static_cast<uint32_t>(std::max(1, state.conf.intValue(Conf::SftpReadBlock)));
  const size_t inFlight =
      static_cast<size_t>(std::max(1, state.conf.intValue(Conf::SftpReadRequests)));
  std::deque<ReadRequest> queue;
  struct Abandon {
    SftpClient& sftp;
    std::deque<ReadRequest>& queue;
    ~Abandon() {
      for (const ReadRequest& pending : queue) sftp.abandon(pending.id);
    }
  } abandonOnExit{sftp, queue};

  auto ask = [&](uint64_t offset, uint32_t length) {
    return ReadRequest{sftp.send(FXP_READ, Writer().str(handle).u64(offset).u32(length)), offset,
                       length};
  };
  uint64_t nextOffset = start;
  uint64_t reached = start;
  bool atEof = false;
  while (!atEof && (reached < end || !queue.empty())) {
    while (queue.size() < inFlight && nextOffset < end) {
      const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(block, end - nextOffset));
      queue.push_back(ask(nextOffset, length));
      nextOffset += length;
    }
    const ReadRequest front = queue.front();
    queue.pop_front();
    const Packet answer = sftp.wait(front.id);
    if (answer.type == FXP_STATUS && answer.reader().u32() == FX_EOF) {
      atEof = true;
      break;
    }
    if (answer.type != FXP_DATA) sftp.failWithStatus(answer);
    const std::string_view data = answer.reader().str();
    if (data.empty() || data.size() > front.length)
      fail(QSSH_ERR_SSH,
           "The server answered a read with " + std::to_string(data.size()) + " bytes");
    if (data.size() < front.length) {
      const auto got = static_cast<uint32_t>(data.size());
      queue.push_front(ask(front.offset + got, front.length - got));
    }
    deliver(front.offset, data);
    reached = front.offset + data.size();
    checkAborted(state);
  }
  return reached;
}

void printTransfer(ContextState& state, const char* verb, uint64_t bytes, const std::string& path) {
  if (state.conf.boolValue(Conf::PrintTransferStats))
    state.print(std::string(verb) + " " + std::to_string(bytes) + " bytes of " + path);
}

void copyTimesToLocal(const std::string& path, const fxp_attrs& attrs) {
  if (!(attrs.flags & QSSH_ATTR_ACMODTIME)) return;
  const timeval times[2] = {{static_cast<time_t>(attrs.atime), 0},
                            {static_cast<time_t>(attrs.mtime), 0}};
  ::utimes(path.c_str(), times);
}

FileSink openLocalTarget(ContextState& state, const std::string& path, bool append,
                         uint64_t& start) {
  const ConfigValues& conf = state.conf;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  if (!append) flags |= conf.boolValue(Conf::LocalNoOverwrite) ? O_EXCL : O_TRUNC;
  const int fd = ::open(path.c_str(), flags, conf.intValue(Conf::LocalFileMode));
  if (fd < 0) failLocal("Cannot create", path);
  struct stat info {};
  ::fstat(fd, &info);
  start = append ? static_cast<uint64_t>(info.st_size) : 0;
  return FileSink(path, fd);
}

// Deletes the local file of a failed download when asked to.
class PartialFileGuard {
 public:
  PartialFileGuard(const ContextState& state, const char* local)
      : armed_(local && state.conf.boolValue(Conf::SftpRemovePartial)), path_(local ? local : "") {}
  ~PartialFileGuard() {
    if (armed_) ::unlink(path_.c_str());
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
    if (!local) return;
    path_ = local;
    fd_ = ::open(local, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) failLocal("Cannot open", path_);
  }
  ~Source() {
    if (fd_ >= 0) ::close(fd_);
  }
  size_t read(uint64_t offset, char* buffer, size_t capacity) {
    if (fd_ < 0) {
      if (!state_.ctx->read_from_stream) return 0;
      const int32_t count =
          state_.ctx->read_from_stream(offset, buffer, static_cast<int32_t>(capacity), state_.ctx);
      return count > 0 ? std::min(static_cast<size_t>(count), capacity) : 0;
    }
    for (;;) {
      const ssize_t count = ::pread(fd_, buffer, capacity, static_cast<off_t>(offset));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) failLocal("Cannot read", path_);
      return static_cast<size_t>(count);
    }
  }
  bool isFile() const { return fd_ >= 0; }
  struct stat info() const {
    struct stat data {};
    ::fstat(fd_, &data);
    return data;
  }

 private:
  ContextState& state_;
  std::string path_;
  int fd_ = -1;
};

struct WriteRequest {
  uint32_t id;
  uint64_t end;
};

}  // namespace

struct UploadTransfer {
  std::string handle;
  std::deque<WriteRequest> pending;
  bool failed = false;
};

void listDirectory(ContextState& state, const char* directory) {
  const std::string path = state.resolve(directory);
  SftpClient& sftp = client(state);
  HandleGuard dir(state, sftp.handle(request(state, FXP_OPENDIR, Writer().str(path))));
  state.print("Listing " + path);
  const ConfigValues& conf = state.conf;
  const size_t batchSize = static_cast<size_t>(std::max(0, conf.intValue(Conf::SftpListBatch)));
  size_t total = 0;
  for (;;) {
    checkAborted(state);
    const Packet answer = request(state, FXP_READDIR, Writer().str(dir.handle()));
    if (answer.type == FXP_STATUS && answer.reader().u32() == FX_EOF) break;
    if (answer.type != FXP_NAME) sftp.failWithStatus(answer);

    struct Entry {
      std::string name, longname;
      fxp_attrs attrs;
    };
    std::vector<Entry> entries;
    Reader reader = answer.reader();
    for (uint32_t count = reader.u32(); count > 0; --count) {
      Entry entry{std::string(reader.str()), std::string(reader.str()), reader.attrs()};
      if (conf.boolValue(Conf::SftpListSkipDots) && (entry.name == "." || entry.name == ".."))
        continue;
      entries.push_back(std::move(entry));
    }
    if (conf.boolValue(Conf::SftpListFollowLinks))
      for (Entry& entry : entries)
        if ((entry.attrs.permissions & QSSH_MODE_TYPE_MASK) == QSSH_MODE_LINK) {
          const Packet target = request(state, FXP_STAT, Writer().str(path + "/" + entry.name));
          if (target.type == FXP_ATTRS) entry.attrs = target.reader().attrs();
        }
    if (conf.boolValue(Conf::SftpListSort))
      std::sort(entries.begin(), entries.end(),
                [](const Entry& a, const Entry& b) { return a.name < b.name; });

    const size_t step = batchSize > 0 ? batchSize : std::max<size_t>(entries.size(), 1);
    for (size_t first = 0; first < entries.size(); first += step) {
      std::vector<fxp_name> batch;
      for (size_t i = first; i < std::min(entries.size(), first + step); ++i)
        batch.push_back(
            fxp_name{entries[i].name.data(), entries[i].longname.data(), entries[i].attrs});
      fxp_names names{static_cast<int32_t>(batch.size()), 0, batch.data()};
      total += batch.size();
      if (state.ctx->ls_callback && !state.ctx->ls_callback(&names, state.ctx))
        fail(QSSH_ERR_ABORTED, "Aborted");
    }
  }
  dir.close();
  state.print("Listed " + std::to_string(total) + " entries of " + path);
}

void changeDirectory(ContextState& state, const char* directory) {
  const std::string path = client(state).singleName(
      request(state, FXP_REALPATH, Writer().str(state.resolve(directory))));
  const fxp_attrs attrs = client(state).attributes(request(state, FXP_STAT, Writer().str(path)));
  if ((attrs.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_DIRECTORY)
    fail(static_cast<int32_t>(FX_NO_SUCH_FILE), path + " is not a folder");
  state.setWorkDir(path);
  state.print("Remote working folder " + path);
}

void makeDirectory(ContextState& state, const char* directory) {
  fxp_attrs attrs{};
  if (state.conf.intValue(Conf::SftpMkdirMode) > 0) {
    attrs.flags = QSSH_ATTR_PERMISSIONS;
    attrs.permissions = static_cast<uint32_t>(state.conf.intValue(Conf::SftpMkdirMode));
  }
  client(state).ok(request(state, FXP_MKDIR, Writer().str(state.resolve(directory)).attrs(attrs)));
}

void removeDirectory(ContextState& state, const char* directory) {
  client(state).ok(request(state, FXP_RMDIR, Writer().str(state.resolve(directory))));
}

void removeFile(ContextState& state, const char* file) {
  client(state).ok(request(state, FXP_REMOVE, Writer().str(state.resolve(file))));
}

void moveFile(ContextState& state, const char* from, const char* to, bool replace) {
  const std::string source = state.resolve(from);
  const std::string target = state.resolve(to);
  SftpClient& sftp = client(state);
  if (replace && !sftp.hasExtension(kPosixRename))
    fail(8, "The server cannot replace a file when moving");
  if (replace)
    sftp.ok(request(state, FXP_EXTENDED, Writer().str(kPosixRename).str(source).str(target)));
  else
    sftp.ok(request(state, FXP_RENAME, Writer().str(source).str(target)));
}

fxp_attrs getAttributes(ContextState& state, const char* path) {
  return client(state).attributes(request(state, FXP_STAT, Writer().str(state.resolve(path))));
}

void setAttributes(ContextState& state, const char* path, const fxp_attrs& attrs) {
  client(state).ok(request(state, FXP_SETSTAT, Writer().str(state.resolve(path)).attrs(attrs)));
}

void download(ContextState& state, const char* remote, const char* local, bool append) {
  const std::string path = state.resolve(remote);
  SftpClient& sftp = client(state);
  const ConfigValues& conf = state.conf;
  PartialFileGuard partial(state, local);
  HandleGuard file(state, openHandle(state, path, kOpenRead, fxp_attrs{}));
  const fxp_attrs attrs = sftp.attributes(request(state, FXP_FSTAT, Writer().str(file.handle())));
  const uint64_t size = (attrs.flags & QSSH_ATTR_SIZE) ? attrs.size : UINT64_MAX;

  uint64_t start = 0;
  std::optional<FileSink> localFile;
  StreamSink stream(state);
  if (local) localFile.emplace(openLocalTarget(state, local, append, start));
  if (local && conf.boolValue(Conf::LocalPreallocate) && size != UINT64_MAX && size > start)
    ::posix_fallocate(localFile->fd(), static_cast<off_t>(start), static_cast<off_t>(size - start));
  Sink& sink = local ? static_cast<Sink&>(*localFile) : stream;
  ProgressReporter progress(state, false);
  RateLimiter limiter(conf.intValue(Conf::RateLimit));

  const uint64_t reached =
      pipelinedRead(state, file.handle(), start, size, [&](uint64_t offset, std::string_view data) {
        sink.write(offset, data.data(), data.size());
        limiter.moved(data.size());
        // A stream's writer reports its own progress; only file targets are reported here.
        if (local) progress.reached(offset + data.size(), offset + data.size() == size);
      });
  file.close();
  if (size != UINT64_MAX && reached != size && conf.boolValue(Conf::SftpVerifySize))
    fail(QSSH_ERR_CONNECTION_LOST,
         "The file ended at " + std::to_string(reached) + " of " + std::to_string(size) + " bytes");
  if (localFile) {
    localFile->finish(conf.boolValue(Conf::LocalFsync));
    if (conf.boolValue(Conf::SftpPreserveTimes)) copyTimesToLocal(local, attrs);
    if (conf.boolValue(Conf::SftpPreservePerms) && (attrs.flags & QSSH_ATTR_PERMISSIONS))
      ::chmod(local, attrs.permissions & 07777);
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
    create.permissions = source.info().st_mode & 07777;
  }
  HandleGuard file(
      state, openHandle(state, path,
                        kOpenWrite | kOpenCreate | (append ? kOpenAppend : kOpenTruncate), create));
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
  RateLimiter limiter(conf.intValue(Conf::RateLimit));
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
    const struct stat info = source.info();
    fxp_attrs times{};
    times.flags = QSSH_ATTR_ACMODTIME;
    times.atime = static_cast<uint32_t>(info.st_atime);
    times.mtime = static_cast<uint32_t>(info.st_mtime);
    setAttributes(state, remote, times);
  }
  printTransfer(state, "Uploaded", offset - start, path);
}

RemoteFile* openRemoteFile(ContextState& state, const char* path, int32_t flags,
                           const fxp_attrs* attrs) {
  const std::string resolved = state.resolve(path);
  std::string handle =
      openHandle(state, resolved, static_cast<uint32_t>(flags), attrs ? *attrs : fxp_attrs{});
  return new RemoteFile{std::move(handle), resolved};
}

void closeRemoteFile(ContextState& state, RemoteFile* file) {
  std::unique_ptr<RemoteFile> owned(file);
  client(state).ok(request(state, FXP_CLOSE, Writer().str(owned->handle)));
  state.print("Closed " + owned->path);
}

UploadTransfer* startUploadTransfer(ContextState&, RemoteFile* file, uint64_t) {
  auto* transfer = new UploadTransfer;
  transfer->handle = file->handle;
  return transfer;
}

namespace {

// Takes the acknowledgements that have arrived, in order, without waiting.
void collectAcknowledgements(ContextState& state, UploadTransfer* transfer, bool wait) {
  SftpClient& sftp = client(state);
  while (!transfer->pending.empty() && (wait || sftp.arrived(transfer->pending.front().id))) {
    const Packet answer = sftp.wait(transfer->pending.front().id);
    transfer->pending.pop_front();
    if (answer.type != FXP_STATUS || answer.reader().u32() != FX_OK) {
      transfer->failed = true;
      try {
        sftp.failWithStatus(answer);
      } catch (const LibError& error) {
        state.setError(error.code, error.what());
      }
    }
  }
}

}  // namespace

bool uploadTransferReady(ContextState& state, UploadTransfer* transfer) {
  collectAcknowledgements(state, transfer, false);
  return !transfer->failed &&
         transfer->pending.size() <
             static_cast<size_t>(std::max(1, state.conf.intValue(Conf::SftpWriteRequests)));
}

void queueUploadData(ContextState& state, UploadTransfer* transfer, const void* data,
                     int32_t length, uint64_t offset) {
  const std::string_view bytes(static_cast<const char*>(data),
                               static_cast<size_t>(std::max(length, 0)));
  transfer->pending.push_back(WriteRequest{
      client(state).send(FXP_WRITE, Writer().str(transfer->handle).u64(offset).str(bytes)),
      offset + bytes.size()});
}

bool uploadTransferFinished(ContextState& state, UploadTransfer* transfer, bool wait) {
  collectAcknowledgements(state, transfer, wait);
  return transfer->pending.empty() && (!wait || !transfer->failed);
}

void endUploadTransfer(ContextState& state, UploadTransfer* transfer) {
  std::unique_ptr<UploadTransfer> owned(transfer);
  if (!state.open) return;
  for (const WriteRequest& request : owned->pending) client(state).abandon(request.id);
}

}  // namespace qssh
