// Folder listings, with the subfolders of a listing listed ahead.
#include "operations.h"

#include <algorithm>
#include <map>
#include <vector>

#include "operation_support.h"

namespace qssh {

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

}  // namespace qssh
