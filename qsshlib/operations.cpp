#include "operations.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

#include "lib_error.h"
#include "local_file.h"

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

// An open remote handle. Its CLOSE may go out ahead, behind the requests
// that still use the handle, so that its status comes with their answers;
// close() takes that status. An error that leaves early closes the handle
// without waiting.
class HandleGuard {
 public:
  HandleGuard(ContextState& state, std::string handle)
      : state_(state), handle_(std::move(handle)) {}
  ~HandleGuard() {
    if (!state_.open) return;
    try {
      SftpClient& sftp = client(state_);
      if (open_) sftp.abandon(sftp.send(FXP_CLOSE, Writer().str(handle_)));
      for (const uint32_t id : closing_) sftp.abandon(id);
    } catch (const LibError&) {
      // The connection is gone; the server drops the handle with it.
    }
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;

  const std::string& handle() const { return handle_; }
  bool isOpen() const { return open_; }
  // The same file under a new handle, after its CLOSE went out ahead.
  void reopen(std::string handle) {
    handle_ = std::move(handle);
    open_ = true;
  }
  void closeAhead() {
    open_ = false;
    closing_.push_back(client(state_).send(FXP_CLOSE, Writer().str(handle_)));
  }
  // The CLOSE went out already, as request `id`.
  void closedAhead(uint32_t id) {
    open_ = false;
    closing_.push_back(id);
  }
  void close() {
    if (open_) closeAhead();
    SftpClient& sftp = client(state_);
    while (!closing_.empty()) {
      const Packet answer = sftp.wait(closing_.front());
      closing_.pop_front();
      sftp.ok(answer);
    }
    state_.print("Closed the remote file");
  }

 private:
  ContextState& state_;
  std::string handle_;
  bool open_ = true;
  std::deque<uint32_t> closing_;
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
        file_(state, openHandle(state, path_, kOpenRead, fxp_attrs{})) {}
  uint32_t askAttributes() { return client(state_).send(FXP_FSTAT, Writer().str(file_.handle())); }
  ReadRequest askRead(uint64_t offset, uint32_t length) {
    if (!file_.isOpen()) file_.reopen(openHandle(state_, path_, kOpenRead, fxp_attrs{}));
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
      fail(QSSH_ERR_SSH,
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

namespace {

struct ListedEntry {
  std::string name, longname;
  fxp_attrs attrs;
};

// The entries of one READDIR answer, as the configuration wants them.
std::vector<ListedEntry> readEntries(ContextState& state, const std::string& path,
                                     const Packet& answer) {
  const ConfigValues& conf = state.conf;
  std::vector<ListedEntry> entries;
  Reader reader = answer.reader();
  for (uint32_t count = reader.u32(); count > 0; --count) {
    ListedEntry entry{std::string(reader.str()), std::string(reader.str()), reader.attrs()};
    if (conf.boolValue(Conf::SftpListSkipDots) && (entry.name == "." || entry.name == ".."))
      continue;
    entries.push_back(std::move(entry));
  }
  if (conf.boolValue(Conf::SftpListFollowLinks))
    for (ListedEntry& entry : entries)
      if ((entry.attrs.permissions & QSSH_MODE_TYPE_MASK) == QSSH_MODE_LINK) {
        const Packet target = request(state, FXP_STAT, Writer().str(path + "/" + entry.name));
        if (target.type == FXP_ATTRS) entry.attrs = target.reader().attrs();
      }
  if (conf.boolValue(Conf::SftpListSort))
    std::sort(entries.begin(), entries.end(),
              [](const ListedEntry& a, const ListedEntry& b) { return a.name < b.name; });
  return entries;
}

// Hands the entries to the caller in batches of the configured size.
void deliverEntries(ContextState& state, std::vector<ListedEntry>& entries) {
  const size_t batchSize =
      static_cast<size_t>(std::max(0, state.conf.intValue(Conf::SftpListBatch)));
  const size_t step = batchSize > 0 ? batchSize : std::max<size_t>(entries.size(), 1);
  for (size_t first = 0; first < entries.size(); first += step) {
    std::vector<fxp_name> batch;
    for (size_t i = first; i < std::min(entries.size(), first + step); ++i)
      batch.push_back(
          fxp_name{entries[i].name.data(), entries[i].longname.data(), entries[i].attrs});
    fxp_names names{static_cast<int32_t>(batch.size()), 0, batch.data()};
    if (state.ctx->ls_callback && !state.ctx->ls_callback(&names, state.ctx))
      fail(QSSH_ERR_ABORTED, "Aborted");
  }
}

bool isEof(const Packet& answer) {
  return answer.type == FXP_STATUS && answer.reader().u32() == FX_EOF;
}

// How many folders may be listed ahead of the caller at a time.
constexpr size_t kFoldersAhead = 8;

std::string childPath(const std::string& folder, const std::string& name) {
  return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

bool isSubfolder(const ListedEntry& entry) {
  return (entry.attrs.permissions & QSSH_MODE_TYPE_MASK) == QSSH_MODE_DIRECTORY &&
         entry.name != "." && entry.name != "..";
}

// A tree walk lists the subfolders of what it lists, from inside the
// listing's callback, one after the other. So the subfolders among a
// listing's entries start listing before the entries go to the caller: their
// OPENDIRs go out at once, and each folder moves on as its answers come. A
// folder nobody asked for by the end of the listing that started it is closed.
class FoldersAhead {
 public:
  explicit FoldersAhead(ContextState& state) : state_(state) {}
  ~FoldersAhead() {
    if (!state_.open) return;
    for (const std::string& path : started_) {
      auto& ahead = state_.connection().foldersAhead;
      const auto folder = ahead.find(path);
      if (folder == ahead.end()) continue;
      try {
        discard(folder->second);
      } catch (const LibError&) {
        // The connection is gone; the server drops the handle with it.
      }
      ahead.erase(folder);
    }
  }
  FoldersAhead(const FoldersAhead&) = delete;
  FoldersAhead& operator=(const FoldersAhead&) = delete;

  void start(const std::string& path, const std::vector<ListedEntry>& entries) {
    auto& ahead = state_.connection().foldersAhead;
    for (const ListedEntry& entry : entries) {
      if (ahead.size() >= kFoldersAhead) return;
      const std::string child = childPath(path, entry.name);
      if (!isSubfolder(entry) || ahead.count(child)) continue;
      ahead[child].openId = client(state_).send(FXP_OPENDIR, Writer().str(child));
      started_.push_back(child);
    }
  }

  // Sends what the answers so far allow, without waiting.
  static void advance(ContextState& state) {
    SftpClient& sftp = client(state);
    for (auto& [path, folder] : state.connection().foldersAhead) {
      if (!folder.handle) {
        const Packet* opened = sftp.peek(folder.openId);
        if (!opened || opened->type != FXP_HANDLE) continue;
        folder.handle = std::string(opened->reader().str());
        for (int read = 0; read < 2; ++read)
          folder.reads.push_back(sftp.send(FXP_READDIR, Writer().str(*folder.handle)));
      } else if (!folder.closeId) {
        const Packet* last = sftp.peek(folder.reads.back());
        if (last && isEof(*last))
          folder.closeId = sftp.send(FXP_CLOSE, Writer().str(*folder.handle));
      }
    }
  }

  // The folder's listing so far, when it was started ahead.
  static std::optional<FolderAhead> take(ContextState& state, const std::string& path) {
    auto& ahead = state.connection().foldersAhead;
    const auto folder = ahead.find(path);
    if (folder == ahead.end()) return std::nullopt;
    FolderAhead taken = std::move(folder->second);
    ahead.erase(folder);
    return taken;
  }

 private:
  void discard(const FolderAhead& folder) {
    SftpClient& sftp = client(state_);
    for (const uint32_t id : folder.reads) sftp.abandon(id);
    std::optional<std::string> handle = folder.handle;
    if (!handle && !folder.closeId) {
      const Packet* opened = sftp.peek(folder.openId);
      if (opened && opened->type == FXP_HANDLE) handle = std::string(opened->reader().str());
    }
    if (folder.closeId)
      sftp.abandon(*folder.closeId);
    else if (handle)
      sftp.abandon(sftp.send(FXP_CLOSE, Writer().str(*handle)));
    sftp.abandon(folder.openId);
  }

  ContextState& state_;
  std::vector<std::string> started_;
};

}  // namespace

void listDirectory(ContextState& state, const char* directory) {
  const std::string path = state.resolve(directory);
  SftpClient& sftp = client(state);
  std::optional<FolderAhead> early = FoldersAhead::take(state, path);
  // One READDIR runs ahead of the answer in hand: the end of the listing is
  // known before the last entries go to the caller, and the CLOSE travels
  // while the caller works on them (often listing the folders among them).
  std::deque<uint32_t> ahead;
  if (early) ahead.assign(early->reads.begin(), early->reads.end());
  struct Abandon {
    SftpClient& sftp;
    std::deque<uint32_t>& ids;
    ~Abandon() {
      for (const uint32_t id : ids) sftp.abandon(id);
    }
  } abandonOnExit{sftp, ahead};
  const uint32_t openId = early ? early->openId : sftp.send(FXP_OPENDIR, Writer().str(path));
  HandleGuard dir(state, sftp.handle(sftp.wait(openId)));
  if (early && early->closeId) dir.closedAhead(*early->closeId);
  state.print("Listing " + path);
  auto askNext = [&] { ahead.push_back(sftp.send(FXP_READDIR, Writer().str(dir.handle()))); };
  auto takeNext = [&] {
    const uint32_t id = ahead.front();
    ahead.pop_front();
    return sftp.wait(id);
  };
  while (ahead.size() < 2) askNext();
  FoldersAhead foldersAhead(state);
  FoldersAhead::advance(state);
  size_t total = 0;
  checkAborted(state);
  Packet answer = takeNext();
  while (!isEof(answer)) {
    if (answer.type != FXP_NAME) sftp.failWithStatus(answer);
    std::vector<ListedEntry> entries = readEntries(state, path, answer);
    Packet next = takeNext();
    if (isEof(next) && dir.isOpen())
      dir.closeAhead();
    else if (next.type == FXP_NAME)
      askNext();
    foldersAhead.start(path, entries);
    FoldersAhead::advance(state);
    deliverEntries(state, entries);
    total += entries.size();
    checkAborted(state);
    answer = std::move(next);
  }
  FoldersAhead::advance(state);
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

// The offset a download starts at: the local file's size when appending to it.
uint64_t appendOffset(const char* local, bool append) {
  return local && append ? localFileSize(local) : 0;
}

void download(ContextState& state, const char* remote, const char* local, bool append) {
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
  ReadRequest first = file.askRead(appendOffset(local, append), block);
  struct Abandon {
    SftpClient& sftp;
    uint32_t id;
    ~Abandon() { sftp.abandon(id); }
  } abandonFirst{sftp, first.id};
  const fxp_attrs attrs = sftp.attributes(sftp.wait(attributesId));
  const uint64_t size = (attrs.flags & QSSH_ATTR_SIZE) ? attrs.size : UINT64_MAX;

  uint64_t start = 0;
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
  RateLimiter limiter(conf.intValue(Conf::RateLimit));

  const uint64_t reached =
      pipelinedRead(state, file, first, size, [&](uint64_t offset, std::string_view data) {
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
    const LocalAttributes local = source.attributes();
    fxp_attrs times{};
    times.flags = QSSH_ATTR_ACMODTIME;
    times.atime = local.atime;
    times.mtime = local.mtime;
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

// Takes the acknowledgements in order: those that have arrived, or with
// `wait` every one outstanding.
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
