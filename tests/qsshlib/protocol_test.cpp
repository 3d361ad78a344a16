// The library's SFTP requests against a server in memory that answers only
// when the client waits: every wait is one round trip of a slow link, so the
// tests count round trips without measuring time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "context_state.h"
#include "lib_error.h"
#include "operations.h"
#include "sftp_protocol.h"

namespace quorrel::testing {
namespace {

using qssh::Packet;
using qssh::Reader;
using qssh::Writer;

std::string patterned(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  return bytes;
}

// An SFTP server in memory behind the transport. What the client sent is
// answered all at once when the client waits for data, never before.
class SlowLink : public qssh::Transport {
 public:
  std::map<std::string, std::string> files;
  std::map<std::string, std::vector<std::string>> folders;  // entries, in READDIR answers
  std::map<std::string, uint64_t> statedSizes;              // FSTAT's size when not the content's
  size_t entriesPerAnswer = 1;
  std::set<std::string> refused;        // paths whose OPENDIR is refused
  size_t readCap = SIZE_MAX;            // most bytes a READ answer carries
  std::map<uint64_t, size_t> shortAt;   // a READ at this offset gives this many
  std::map<uint8_t, uint32_t> failing;  // request type -> status code
  std::map<uint8_t, int> failAfter;     // ... after this many good answers
  std::vector<uint8_t> requests;
  std::vector<size_t> asked;
  int roundTrips = 0;

  void write(const std::string& bytes) override { sent_ += bytes; }
  size_t read(char* buffer, size_t capacity, int timeoutMs) override {
    asked.push_back(capacity);
    if (received_.empty() && timeoutMs > 0 && !sent_.empty()) {
      ++roundTrips;
      answerAll();
    }
    // Like libssh, a read brings about one SSH packet however much it asks
    // for, so answers arrive cut at odd places.
    const size_t count = std::min({capacity, received_.size(), size_t{32771}});
    std::memcpy(buffer, received_.data(), count);
    received_.erase(0, count);
    return count;
  }
  void keepAlive() override {}

  int count(uint8_t type) const {
    return static_cast<int>(std::count(requests.begin(), requests.end(), type));
  }
  // The handles still open once everything sent so far is answered.
  size_t openHandles() {
    answerAll();
    return handles_.size();
  }

 private:
  void answerAll() {
    while (sent_.size() >= 4) {
      const uint32_t length = Reader(sent_).u32();
      const std::string body = sent_.substr(4, length);
      sent_.erase(0, 4 + length);
      Reader reader(body);
      const uint8_t type = reader.u8();
      const uint32_t id = reader.u32();
      requests.push_back(type);
      answer(type, id, reader);
    }
  }

  void reply(uint8_t type, uint32_t id, const Writer& rest) {
    Writer packet;
    packet.u8(type).u32(id);
    const std::string body = packet.bytes() + rest.bytes();
    received_ += Writer().u32(static_cast<uint32_t>(body.size())).bytes() + body;
  }
  void status(uint32_t id, uint32_t code, const std::string& text) {
    reply(qssh::FXP_STATUS, id, Writer().u32(code).str(text).str(""));
  }

  void answer(uint8_t type, uint32_t id, Reader& reader) {
    if (failing.count(type) && failAfter[type]-- <= 0)
      return status(id, failing[type], "refused " + std::to_string(type));
    switch (type) {
      case qssh::FXP_OPEN:
      case qssh::FXP_OPENDIR: {
        const std::string path(reader.str());
        if (refused.count(path)) return status(id, 3, "Permission denied");
        if (!files.count(path) && !folders.count(path)) return status(id, 2, "No such file");
        handles_[std::to_string(++nextHandle_)] = {path, 0};
        return reply(qssh::FXP_HANDLE, id, Writer().str(std::to_string(nextHandle_)));
      }
      case qssh::FXP_FSTAT: {
        fxp_attrs attrs{};
        attrs.flags = QSSH_ATTR_SIZE;
        const std::string& path = opened(reader).path;
        attrs.size = statedSizes.count(path) ? statedSizes[path] : files[path].size();
        return reply(qssh::FXP_ATTRS, id, Writer().attrs(attrs));
      }
      case qssh::FXP_READ: {
        const std::string& content = files[opened(reader).path];
        const uint64_t offset = reader.u64();
        size_t length = std::min<size_t>(reader.u32(), readCap);
        if (shortAt.count(offset)) length = std::min(length, shortAt[offset]);
        if (offset >= content.size()) return status(id, 1, "End of file");
        return reply(qssh::FXP_DATA, id, Writer().str(content.substr(offset, length)));
      }
      case qssh::FXP_READDIR: {
        Handle& dir = opened(reader);
        const std::vector<std::string>& entries = folders[dir.path];
        if (dir.position >= entries.size()) return status(id, 1, "End of file");
        const size_t count = std::min(entriesPerAnswer, entries.size() - dir.position);
        Writer names;
        names.u32(static_cast<uint32_t>(count));
        for (size_t i = 0; i < count; ++i) {
          const std::string& name = entries[dir.position++];
          const bool folder = folders.count(dir.path + "/" + name) || name == "." || name == "..";
          fxp_attrs attrs{};
          attrs.flags = QSSH_ATTR_PERMISSIONS;
          attrs.permissions = folder ? QSSH_MODE_DIRECTORY : QSSH_MODE_FILE;
          names.str(name).str(name).attrs(attrs);
        }
        return reply(qssh::FXP_NAME, id, names);
      }
      case qssh::FXP_CLOSE:
        handles_.erase(std::string(reader.str()));
        return status(id, 0, "");
      default:
        return status(id, 8, "unsupported");
    }
  }

  struct Handle {
    std::string path;
    size_t position;
  };
  Handle& opened(Reader& reader) {
    const auto handle = handles_.find(std::string(reader.str()));
    if (handle == handles_.end()) throw std::logic_error("a request on a closed handle");
    return handle->second;
  }

  std::string sent_;
  std::string received_;
  std::map<std::string, Handle> handles_;
  int nextHandle_ = 0;
};

// A library context whose connection is the slow link.
class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() {
    ctx.structsize = sizeof ctx;
    ctx.timeoutticks = 2000;  // a request the link never answers fails the test quickly
    ctx.Tag = reinterpret_cast<uint64_t>(this);
    ctx.write_to_stream = [](uint64_t offset, const void* data, int32_t length,
                             TSshLibContext* context) {
      std::string& target = of(context).downloaded;
      if (target.size() < offset + length) target.resize(offset + length);
      std::memcpy(target.data() + offset, data, static_cast<size_t>(length));
      return length;
    };
    ctx.ls_callback = [](fxp_names* names, TSshLibContext* context) -> qssh_bool {
      ProtocolTest& self = of(context);
      for (int i = 0; i < names->nnames; ++i) {
        const std::string name = names->names[i].filename;
        self.listed.push_back(name);
        if (self.onEntry) self.onEntry(name, names->names[i].attrs);
      }
      return 1;
    };
    state.emplace(&ctx, false);
    auto transport = std::make_unique<SlowLink>();
    link = transport.get();
    state->open = std::make_unique<qssh::Connection>(std::move(transport), *state);
  }
  static ProtocolTest& of(TSshLibContext* context) {
    return *reinterpret_cast<ProtocolTest*>(context->Tag);
  }

  // The library's error of `operation`, or nullopt when it succeeded.
  template <typename Operation>
  std::optional<qssh::LibError> failureOf(Operation operation) {
    try {
      operation();
      return std::nullopt;
    } catch (const qssh::LibError& error) {
      return error;
    }
  }

  TSshLibContext ctx{};
  std::optional<qssh::ContextState> state;
  SlowLink* link = nullptr;
  std::string downloaded;
  std::vector<std::string> listed;
  std::function<void(const std::string&, const fxp_attrs&)> onEntry;
};

struct RoundTripCase {
  const char* name;
  size_t size;
  int roundTrips;  // OPEN, then FSTAT with the first READ, then the CLOSE behind the last READ
};

class DownloadRoundTripTest : public ProtocolTest,
                              public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(DownloadRoundTripTest, AsksForTheAttributesWithTheFirstReadAndClosesBehindTheLast) {
  const std::string content = patterned(GetParam().size);
  link->files["/f"] = content;
  qssh::download(*state, "/f", nullptr, false);
  EXPECT_TRUE(downloaded == content);
  EXPECT_EQ(link->roundTrips, GetParam().roundTrips);
  EXPECT_EQ(link->count(qssh::FXP_OPEN), 1);
  EXPECT_EQ(link->count(qssh::FXP_FSTAT), 1);
  EXPECT_EQ(link->count(qssh::FXP_CLOSE), 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadRoundTripTest,
                         ::testing::Values(RoundTripCase{"Empty", 0, 3},
                                           RoundTripCase{"Small", 1000, 3},
                                           RoundTripCase{"OneBlock", 261120, 3},
                                           RoundTripCase{"ManyBlocks", 3 * 1024 * 1024 + 7, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, LearnsTheServersReadSizeFromTheFirstAnswer) {
  const std::string content = patterned(2 * 1024 * 1024 + 5);
  link->files["/big"] = content;
  link->files["/small"] = patterned(150000);
  link->readCap = 100000;
  qssh::download(*state, "/big", nullptr, false);
  EXPECT_TRUE(downloaded == content);
  // One short answer, then reads of the server's size.
  EXPECT_EQ(link->count(qssh::FXP_READ), 1 + 20);

  // The next file is read in that size from the start: a file above it is
  // not taken for one that a single read covers, so its CLOSE waits for the
  // last read instead of being sent early and the file opened again.
  downloaded.clear();
  link->roundTrips = 0;
  qssh::download(*state, "/small", nullptr, false);
  EXPECT_TRUE(downloaded == link->files["/small"]);
  EXPECT_EQ(link->count(qssh::FXP_OPEN), 2);
  EXPECT_EQ(link->roundTrips, 3);
}

// A file that ends before the size it had when opened answers its first
// read short as well: that is no limit of the server's for the next file.
// The server broke the protocol; no connection was lost.
TEST_F(ProtocolTest, FileThatShrankFailsTheDownloadAndLimitsNothing) {
  link->files["/shrunk"] = patterned(1000);
  link->statedSizes["/shrunk"] = 500000;
  link->files["/next"] = patterned(300000);
  const auto error = failureOf([&] { qssh::download(*state, "/shrunk", nullptr, false); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, QSSH_ERR_PROTOCOL);
  EXPECT_EQ(std::string(error->what()), "The file ended at 1000 of 500000 bytes");

  const int readsBefore = link->count(qssh::FXP_READ);
  downloaded.clear();
  qssh::download(*state, "/next", nullptr, false);
  EXPECT_TRUE(downloaded == link->files["/next"]);
  EXPECT_EQ(link->count(qssh::FXP_READ) - readsBefore, 2);
}

TEST_F(ProtocolTest, ReopensTheFileWhenAShortAnswerComesAfterTheClose) {
  const std::string content = patterned(600000);
  link->files["/f"] = content;
  link->shortAt[261120] = 1000;
  qssh::download(*state, "/f", nullptr, false);
  EXPECT_TRUE(downloaded == content);
  EXPECT_EQ(link->count(qssh::FXP_OPEN), 2);
  EXPECT_EQ(link->count(qssh::FXP_CLOSE), 2);
}

struct FailureCase {
  const char* name;
  uint8_t failing;
  int afterGood;
  uint32_t code;
  const char* text;
  size_t bytesDelivered;
};

class DownloadFailureTest : public ProtocolTest,
                            public ::testing::WithParamInterface<FailureCase> {};

// Whatever step fails, the download that sent it fails with the server's
// code and text, and nothing is left waiting on the link.
TEST_P(DownloadFailureTest, ReachesTheDownloadWithTheServersCodeAndText) {
  const FailureCase& failure = GetParam();
  link->files["/f"] = patterned(1024 * 1024);
  link->failing[failure.failing] = failure.code;
  link->failAfter[failure.failing] = failure.afterGood;
  const auto error = failureOf([&] { qssh::download(*state, "/f", nullptr, false); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, static_cast<int32_t>(failure.code));
  EXPECT_EQ(std::string(error->what()), failure.text);
  EXPECT_EQ(downloaded.size(), failure.bytesDelivered);

  link->failing.clear();
  downloaded.clear();
  qssh::download(*state, "/f", nullptr, false);
  EXPECT_TRUE(downloaded == link->files["/f"]);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DownloadFailureTest,
    ::testing::Values(FailureCase{"Open", qssh::FXP_OPEN, 0, 2, "refused 3", 0},
                      FailureCase{"Attributes", qssh::FXP_FSTAT, 0, 4, "refused 8", 0},
                      FailureCase{"FirstRead", qssh::FXP_READ, 0, 4, "refused 5", 0},
                      FailureCase{"LaterRead", qssh::FXP_READ, 2, 4, "refused 5", 2 * 261120},
                      FailureCase{"Close", qssh::FXP_CLOSE, 0, 4, "refused 4", 1024 * 1024}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, ListingKeepsAReaddirAheadAndClosesBeforeHandingOverTheLastEntries) {
  link->folders["/top"] = {"a", "sub", "b"};
  link->folders["/top/sub"] = {"c"};
  std::vector<std::string> order;
  onEntry = [&](const std::string& name, const fxp_attrs& attrs) {
    order.push_back(name);
    if ((attrs.permissions & QSSH_MODE_TYPE_MASK) == QSSH_MODE_DIRECTORY)
      qssh::listDirectory(*state, ("/top/" + name).c_str());
  };
  qssh::listDirectory(*state, "/top");
  // The callbacks see what they saw before: each entry once, in the server's
  // order, the subfolder's entries while its folder's entry is handled.
  EXPECT_EQ(order, (std::vector<std::string>{"a", "sub", "c", "b"}));
  // /top: OPENDIR; READDIR a and sub; READDIR b; then /top/sub: OPENDIR
  // (with READDIR four of /top, the end, riding along); READDIR c and the
  // end; CLOSE; then /top's CLOSE, sent before b went to the caller. One
  // request at a time takes 10.
  EXPECT_EQ(link->roundTrips, 7);
  EXPECT_EQ(link->count(qssh::FXP_CLOSE), 2);
}

TEST_F(ProtocolTest, LeafFolderTakesThreeRoundTrips) {
  link->folders["/leaf"] = {"x"};
  qssh::listDirectory(*state, "/leaf");
  EXPECT_EQ(listed, (std::vector<std::string>{"x"}));
  EXPECT_EQ(link->roundTrips, 3);  // OPENDIR; READDIR and READDIR; CLOSE
}

TEST_F(ProtocolTest, ListingFailureComesAfterTheEntriesBeforeIt) {
  link->folders["/top"] = {"a", "b", "c"};
  link->failing[qssh::FXP_READDIR] = 4;
  link->failAfter[qssh::FXP_READDIR] = 2;
  const auto error = failureOf([&] { qssh::listDirectory(*state, "/top"); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(std::string(error->what()), "refused 12");
  EXPECT_EQ(listed, (std::vector<std::string>{"a", "b"}));
}

TEST_F(ProtocolTest, ListingCloseFailureReachesTheListing) {
  link->folders["/top"] = {"a"};
  link->failing[qssh::FXP_CLOSE] = 4;
  const auto error = failureOf([&] { qssh::listDirectory(*state, "/top"); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(std::string(error->what()), "refused 4");
  EXPECT_EQ(listed, (std::vector<std::string>{"a"}));
}

// A walk like the launcher's: each subfolder listed from inside the callback
// that gets its entry.
class WalkTest : public ProtocolTest {
 protected:
  WalkTest() {
    link->entriesPerAnswer = 100;
    onEntry = [this](const std::string& name, const fxp_attrs& attrs) {
      order.push_back(name);
      if ((attrs.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_DIRECTORY || name == "." ||
          name == "..")
        return;
      walking.push_back(walking.back() + "/" + name);
      try {
        qssh::listDirectory(*state, walking.back().c_str());
      } catch (const qssh::LibError& error) {
        failures.push_back(walking.back() + ": " + std::string(error.what()));
      }
      walking.pop_back();
    };
  }
  void walk(const std::string& top) {
    walking = {top};
    qssh::listDirectory(*state, top.c_str());
  }

  std::vector<std::string> walking;
  std::vector<std::string> order;
  std::vector<std::string> failures;
};

// The subfolders of a listing are listed ahead, several at once, while the
// callbacks see each entry once, in the server's order, a subfolder's
// entries while its own entry is handled.
TEST_F(WalkTest, ListsTheSubfoldersAheadWithoutChangingWhatTheCallbacksSee) {
  link->folders["/top"] = {".", "..", "s1", "readme", "s2", "s3"};
  link->folders["/top/s1"] = {"f"};
  link->folders["/top/s2"] = {"g", "deeper"};
  link->folders["/top/s2/deeper"] = {"h"};
  link->folders["/top/s3"] = {"f"};
  walk("/top");
  EXPECT_EQ(order, (std::vector<std::string>{".", "..", "s1", "f", "readme", "s2", "g", "deeper",
                                             "h", "s3", "f"}));
  EXPECT_TRUE(failures.empty());
  // /top: OPENDIR; READDIRs; then the OPENDIRs of s1 to s3 together; their
  // READDIRs together; s1's CLOSE with those of s2 and s3, whose listings are
  // then all in hand; deeper, found only then: OPENDIR, READDIRs, CLOSE. One
  // folder at a time takes 3 a folder: 15.
  EXPECT_EQ(link->roundTrips, 8);
  EXPECT_EQ(link->openHandles(), 0u);
}

TEST_F(WalkTest, AFolderRefusedAheadFailsOnlyTheListingOfThatFolder) {
  link->folders["/top"] = {"s1", "s2", "s3"};
  for (const char* sub : {"/top/s1", "/top/s2", "/top/s3"}) link->folders[sub] = {"f"};
  link->refused.insert("/top/s2");
  walk("/top");
  EXPECT_EQ(order, (std::vector<std::string>{"s1", "f", "s2", "s3", "f"}));
  EXPECT_EQ(failures, (std::vector<std::string>{"/top/s2: Permission denied"}));
  EXPECT_EQ(link->openHandles(), 0u);
}

TEST_F(WalkTest, FoldersNobodyListsAreClosed) {
  onEntry = nullptr;  // a listing whose callback walks nowhere
  link->folders["/top"] = {"s1", "s2"};
  link->folders["/top/s1"] = {"f"};
  link->folders["/top/s2"] = {"g"};
  qssh::listDirectory(*state, "/top");
  EXPECT_EQ(link->openHandles(), 0u);
  qssh::listDirectory(*state, "/top/s2");  // asked later, listed afresh
  EXPECT_EQ(listed, (std::vector<std::string>{"s1", "s2", "g"}));
}

// Each read of the channel asks for what the window holds: never less than
// at the start, never more than the configured cap.
TEST_F(ProtocolTest, ChannelReadsAskForTheWindowWithinItsCap) {
  link->files["/f"] = patterned(8 * 1024 * 1024);
  qssh::download(*state, "/f", nullptr, false);
  ASSERT_FALSE(link->asked.empty());
  const auto [least, most] = std::minmax_element(link->asked.begin(), link->asked.end());
  EXPECT_EQ(*least, qssh::ReceiveWindow::kInitial);
  EXPECT_LE(*most, size_t{64} << 20);
}

// -- the window's rule, on a clock of the test's own --------------------------

struct WindowCase {
  const char* name;
  bool waits;            // the reads found nothing and had to wait
  double shareOfWindow;  // bytes per round trip, as a share of the credit
  size_t cap;
  size_t expected;  // window after 10 round trips
};

class ReceiveWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(ReceiveWindowTest, GrowsOnlyWhileTheServerWaitsOnIt) {
  const WindowCase& c = GetParam();
  using Clock = qssh::ReceiveWindow::Clock;
  const auto roundTrip = std::chrono::milliseconds(100);
  qssh::ReceiveWindow window(c.cap);
  Clock::time_point now = Clock::now();  // the window's first round trip began before
  for (int round = 0; round < 10; ++round) {
    // Four reads per round trip, each with a quarter of the round's bytes.
    const size_t bytes =
        static_cast<size_t>(static_cast<double>(window.credit()) * c.shareOfWindow);
    for (int read = 0; read < 4; ++read) {
      if (c.waits) window.waited();
      now += roundTrip / 4;
      window.received(bytes / 4, now, roundTrip);
    }
  }
  EXPECT_EQ(window.size(), c.expected);
}

constexpr size_t kInitial = qssh::ReceiveWindow::kInitial;

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveWindowTest,
    ::testing::Values(WindowCase{"WindowBoundDoublesEachRoundTrip", true, 1.0, size_t{1} << 40,
                                 qssh::ReceiveWindow::kLibsshWindow << 10},
                      WindowCase{"StopsAtTheCap", true, 1.0, size_t{8} << 20, size_t{8} << 20},
                      WindowCase{"ReaderBoundStaysAsItIs", false, 1.0, size_t{64} << 20, kInitial},
                      WindowCase{"LinkBoundStaysAsItIs", true, 0.4, size_t{64} << 20, kInitial},
                      WindowCase{"CapBelowTheStartKeepsTheStart", true, 1.0, 0, kInitial}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorrel::testing
