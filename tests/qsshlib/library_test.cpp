// The SFTP library against a real OpenSSH server.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>

#include "../fixtures/sshd_server.h"
#include "../fixtures/stalling_server.h"
#include "../fixtures/test_servers.h"
#include "library_harness.h"

namespace quorrel::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string randomBytes(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the server's own system says of `path` (stat's --format), where modes and times are Unix's
// whatever system the test runs on.
std::string statOnServer(const fs::path& path, const char* format) {
  return runCommand({"stat", "-c", format, path.string()}).out;
}

// A symbolic link made by the server's system, as the server sees links.
void linkOnServer(const std::string& target, const fs::path& link) {
  ASSERT_EQ(runCommand({"ln", "-s", target, link.string()}).exitCode, 0);
}

class LibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (SshdServer::available()) server = new SshdServer();
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(server, nullptr) << "these tests run a real sshd and need root";
    knownHosts =
        fs::path(server->dataDir()).parent_path() / ("known_hosts_" + std::to_string(++counter));
    fs::remove(knownHosts);
  }

  // Connects with the password, trusting the server's key.
  void connect(LibraryContext& context, SshdServer& to) {
    context.setConf("known_hosts_file", knownHosts.string());
    context.passwords = {SshdServer::password()};
    ASSERT_EQ(context.connect(to.host(), to.port(), SshdServer::user()), 0) << context.error();
  }
  void connect(LibraryContext& context) { connect(context, *server); }

  // A file in the server's data folder, owned by the test account.
  std::string serverFile(const std::string& name, const std::string& content) {
    const fs::path path = server->dataDir() / name;
    fs::create_directories(path.parent_path());
    writeFile(path, content);
    server->chownToUser(path);
    return remote(name);
  }
  std::string remote(const std::string& name) { return server->remoteDataDir() + "/" + name; }

  static SshdServer* server;
  static int counter;
  fs::path knownHosts;
};

SshdServer* LibraryTest::server = nullptr;
int LibraryTest::counter = 0;

TEST_F(LibraryTest, ReportsItsVersionContextSizeAndConfiguration) {
  QsshlibBinding& lib = QsshlibBinding::instance();
  double release = 0;
  int32_t build = 0;
  lib.qsshgetversions(&release, &build);
  EXPECT_GE(build, 8);
  EXPECT_DOUBLE_EQ(release, 0.10);
  EXPECT_EQ(lib.qsshgetcontextsize(), 464);

  PConfIntArray types, subtypes;
  PConfPAnsiCharArray names;
  int32_t count = 0;
  ASSERT_TRUE(lib.qssh_getconfigarrays(&types, &subtypes, &names, &count));
  ASSERT_EQ(count, 84);
  std::set<std::string> unique;
  for (int i = 0; i < count; ++i) unique.insert((*names)[i]);
  EXPECT_EQ(unique.size(), 84u);
  for (const char* proxy :
       {"proxy_type", "proxy_host", "proxy_port", "proxy_username", "proxy_password"})
    EXPECT_EQ(unique.count(proxy), 1u) << proxy;

  LibraryContext a, b;
  a.setConf("proxy_host", "proxy.example");
  a.setConf("proxy_port", 3128);
  EXPECT_STREQ(lib.qssh_conf_get_str(a.confIndex("proxy_host"), &a.ctx), "proxy.example");
  EXPECT_EQ(lib.qssh_conf_get_int(a.confIndex("proxy_port"), &a.ctx), 3128);
  EXPECT_STREQ(lib.qssh_conf_get_str(b.confIndex("proxy_host"), &b.ctx),
               "");  // values are per context
}

TEST_F(LibraryTest, ConnectsWithThePasswordAndPrintsWhatItDoes) {
  LibraryContext context;
  connect(context);
  EXPECT_EQ(context.prompts.size(), 1u);
  const std::string log = context.allMessages();
  for (const char* step : {"Connected to", "Server version: SSH-2.0-OpenSSH", "Authenticated as",
                           "SFTP protocol version 3"})
    EXPECT_NE(log.find(step), std::string::npos) << step << " in " << log;
  EXPECT_STRNE(context.ctx.homedir, "");
  EXPECT_STREQ(context.ctx.pwd, context.ctx.homedir);
}

TEST_F(LibraryTest, WrongPasswordIsAskedThreeTimesThenTheConnectFails) {
  LibraryContext context;
  context.setConf("known_hosts_file", knownHosts.string());
  context.passwords = {"wrong1", "wrong2", "wrong3", std::nullopt};
  EXPECT_NE(context.connect(server->host(), server->port(), SshdServer::user()), 0);
  EXPECT_EQ(context.prompts.size(), 4u);
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_AUTH);
  EXPECT_EQ(context.error(), "Authentication cancelled");
}

TEST_F(LibraryTest, KeyboardInteractiveAsksThroughThePasswordCallback) {
  SshdServer::Options options;
  options.password = false;
  options.keyboardInteractive = true;
  SshdServer interactive(options);
  LibraryContext context;
  connect(context, interactive);
  ASSERT_FALSE(context.prompts.empty());
  EXPECT_NE(context.prompts[0].find("assword"), std::string::npos) << context.prompts[0];
}

TEST_F(LibraryTest, KeyFileWithAPassphraseAsksForItUntilRight) {
  const fs::path key = server->clientKeyFile("sesame");
  LibraryContext context;
  context.setConf("known_hosts_file", knownHosts.string());
  context.setConf("auth_password", 0);
  context.lib.qssh_setkeyfile(key.string().c_str(), &context.ctx);
  context.passwords = {"not it", "sesame"};
  ASSERT_EQ(context.connect(server->host(), server->port(), SshdServer::user()), 0)
      << context.error();
  ASSERT_EQ(context.prompts.size(), 2u);
  EXPECT_NE(context.prompts[0].find("Passphrase for key"), std::string::npos);
  EXPECT_EQ(context.prompts[0], context.prompts[1]);
}

// The known-hosts file decides the status the host-key callback is given.
struct HostKeyCase {
  const char* name;
  std::function<void(SshdServer&, const fs::path& knownHosts)> prepare;
  int expectedStatus;
};

class HostKeyStatusTest : public LibraryTest, public ::testing::WithParamInterface<HostKeyCase> {};

TEST_P(HostKeyStatusTest, IsReportedWithTheKeyAndItsFingerprint) {
  GetParam().prepare(*server, knownHosts);
  LibraryContext context;
  connect(context);
  ASSERT_EQ(context.hostKeyQuestions.size(), 1u);
  const HostKeyQuestion& question = context.hostKeyQuestions[0];
  EXPECT_EQ(question.status, GetParam().expectedStatus);
  EXPECT_EQ(question.host, "127.0.0.1");
  EXPECT_EQ(question.port, server->port());
  EXPECT_EQ(question.fingerprint, server->hostKeyFingerprint("ed25519"));
  EXPECT_EQ(question.keyType, "ssh-ed25519");
  EXPECT_EQ(question.keyBase64, server->hostKeyBase64("ed25519"));
}

// A known-hosts line for the server with a freshly made key of another type.
std::string rsaKeyLine(const SshdServer& server, const fs::path& folder) {
  const fs::path key = folder / "other_rsa";
  fs::remove(key);
  fs::remove(key.string() + ".pub");
  runCommand({"ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-N", "", "-f", key.string()});
  return "[127.0.0.1]:" + std::to_string(server.port()) + " " + readFile(key.string() + ".pub");
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, HostKeyStatusTest,
    ::testing::Values(HostKeyCase{"Known",
                                  [](SshdServer& s, const fs::path& f) {
                                    writeFile(f, s.knownHostsLine("ed25519") + "\n");
                                  },
                                  QSSH_HOSTKEY_KNOWN},
                      HostKeyCase{"Unknown",
                                  [](const SshdServer&, const fs::path& f) { writeFile(f, ""); },
                                  QSSH_HOSTKEY_UNKNOWN},
                      HostKeyCase{"Changed",
                                  [](SshdServer& s, const fs::path& f) {
                                    const std::string pub =
                                        readFile(s.clientKeyFile("", false).string() + ".pub");
                                    writeFile(
                                        f, "[127.0.0.1]:" + std::to_string(s.port()) + " " + pub);
                                  },
                                  QSSH_HOSTKEY_CHANGED},
                      HostKeyCase{"OtherType",
                                  [](SshdServer& s, const fs::path& f) {
                                    writeFile(f, rsaKeyLine(s, f.parent_path()));
                                  },
                                  QSSH_HOSTKEY_OTHER_TYPE},
                      HostKeyCase{"NoKnownHostsFile", [](SshdServer&, const fs::path&) {},
                                  QSSH_HOSTKEY_NO_KNOWN_HOSTS},
                      // A file that is there but cannot be read may well know the host.
                      HostKeyCase{"UnreadableFile",
                                  [](SshdServer&, const fs::path& f) { fs::create_directory(f); },
                                  QSSH_HOSTKEY_UNREADABLE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LibraryTest, StoreFlagRemembersTheKeyAndARefusalFailsTheConnect) {
  {
    LibraryContext first;
    first.onHostKey = [](const HostKeyQuestion&, qssh_bool* store) {
      *store = 1;
      return true;
    };
    connect(first);
  }
  EXPECT_NE(readFile(knownHosts).find(server->hostKeyBase64("ed25519")), std::string::npos);
  LibraryContext second;
  connect(second);
  EXPECT_EQ(second.hostKeyQuestions.at(0).status, QSSH_HOSTKEY_KNOWN);

  LibraryContext refusing;
  refusing.setConf("known_hosts_file", knownHosts.string());
  refusing.onHostKey = [](const HostKeyQuestion&, qssh_bool*) { return false; };
  EXPECT_NE(refusing.connect(server->host(), server->port(), SshdServer::user()), 0);
  EXPECT_EQ(refusing.ctx.fxp_errtype, QSSH_ERR_HOSTKEY_REJECTED);
  EXPECT_NE(refusing.error().find("Host key rejected"), std::string::npos);
  EXPECT_TRUE(refusing.prompts.empty());  // no password goes to a server that was refused
}

// A key taken on condition that it is remembered is refused when it cannot be.
TEST_F(LibraryTest, KeyThatCannotBeStoredIsRefused) {
  linkOnServer((knownHosts.parent_path() / "missing" / "known_hosts").string(), knownHosts);
  LibraryContext context;
  context.setConf("known_hosts_file", knownHosts.string());
  context.onHostKey = [](const HostKeyQuestion&, qssh_bool* store) {
    *store = 1;
    return true;
  };
  EXPECT_NE(context.connect(server->host(), server->port(), SshdServer::user()), 0);
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_HOSTKEY_REJECTED);
  EXPECT_NE(context.error().find("Host key refused: it cannot be stored in " + knownHosts.string()),
            std::string::npos)
      << context.error();
  EXPECT_TRUE(context.prompts.empty());
  fs::remove(knownHosts);
}

TEST_F(LibraryTest, ListsInBatchesWithNonAsciiNamesLinksAndNestedListings) {
  const fs::path root = server->dataDir() / "tree";
  fs::create_directories(root / "sub" / "deeper");
  fs::create_directories(root / "empty");
  writeFile(root / u8"Größe ✓.txt", "x");
  writeFile(root / "sub" / "inner.bin", "yy");
  linkOnServer("sub/inner.bin", root / "link");
  for (int i = 0; i < 5; ++i) writeFile(root / ("file" + std::to_string(i)), "z");
  server->chownToUser(root);

  LibraryContext context;
  connect(context);
  context.setConf("sftp_list_batch", 2);
  std::map<std::string, uint32_t> types;
  int batches = 0;
  std::vector<std::string> nested;
  context.onListing = [&](fxp_names* names) {
    ++batches;
    EXPECT_LE(names->nnames, 2);
    for (int i = 0; i < names->nnames; ++i) {
      const std::string name = names->names[i].filename;
      types[name] = names->names[i].attrs.permissions & 0xF000;
      if (name == "sub" && nested.empty()) {
        const std::vector<std::string> before = context.listed;
        EXPECT_EQ(context.lib.qsftp_ls((remote("tree") + "/sub").c_str(), &context.ctx), 1);
        nested.assign(context.listed.begin() + before.size(), context.listed.end());
        context.listed = before;
      }
    }
    return true;
  };
  ASSERT_EQ(context.lib.qsftp_ls(remote("tree").c_str(), &context.ctx), 1) << context.error();
  EXPECT_GE(batches, 6);
  EXPECT_EQ(types["Größe ✓.txt"], 0x8000u);
  EXPECT_EQ(types["sub"], 0x4000u);
  EXPECT_EQ(types["link"], 0xA000u);
  EXPECT_EQ(types.count("file4"), 1u);
  std::sort(nested.begin(), nested.end());
  EXPECT_EQ(nested, (std::vector<std::string>{".", "..", "deeper", "inner.bin"}));

  context.listed.clear();
  context.onListing = nullptr;
  ASSERT_EQ(context.lib.qsftp_ls(remote("tree/empty").c_str(), &context.ctx), 1);
  std::sort(context.listed.begin(), context.listed.end());
  EXPECT_EQ(context.listed, (std::vector<std::string>{".", ".."}));
}

// Blocks come in file order, once each, whatever the read size: with reads
// larger than the server answers, every answer is short and the rest of each
// block must be asked for again at the right offset.
class DownloadTest : public LibraryTest, public ::testing::WithParamInterface<int> {};

TEST_P(DownloadTest, ToAStreamIsByteExactInOrderOneCallPerBlock) {
  const std::string content = randomBytes(5 * 1024 * 1024 + 12345, 7);
  const std::string path = serverFile("download.bin", content);
  LibraryContext context;
  connect(context);
  context.setConf("sftp_read_block", GetParam());
  ASSERT_EQ(context.lib.qsftp_getfile(path.c_str(), nullptr, 0, &context.ctx), 1)
      << context.error();
  EXPECT_TRUE(context.downloaded == content);
  uint64_t expected = 0;
  for (const Block& block : context.blocks) {
    ASSERT_EQ(block.offset, expected);
    expected += block.length;
  }
  EXPECT_EQ(expected, content.size());
  EXPECT_TRUE(context.progressReports.empty());  // a stream's writer reports for itself
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, DownloadTest, ::testing::Values(261120, 32768, 400000, 1000000),
                         [](const auto& info) { return "block" + std::to_string(info.param); });

// A download into a stream goes on at the offset given: every block from
// there on, none before it; at the file's end there is nothing left to send.
TEST_F(LibraryTest, DownloadToAStreamGoesOnAtTheOffsetGiven) {
  const std::string content = randomBytes(3 * 1024 * 1024 + 17, 12);
  const std::string path = serverFile("resumed.bin", content);
  for (const uint64_t offset : {uint64_t{1}, uint64_t{1000000}, uint64_t{content.size()}}) {
    SCOPED_TRACE(offset);
    LibraryContext context;
    connect(context);
    ASSERT_EQ(context.lib.qsftp_getfile_from(path.c_str(), offset, &context.ctx), 1)
        << context.error();
    uint64_t expected = offset;
    for (const Block& block : context.blocks) {
      ASSERT_EQ(block.offset, expected);
      expected += block.length;
    }
    EXPECT_EQ(expected, content.size());
    if (offset < content.size())
      EXPECT_TRUE(context.downloaded.substr(offset) == content.substr(offset));
    else
      EXPECT_TRUE(context.blocks.empty());
  }
  LibraryContext context;
  connect(context);
  EXPECT_NE(context.lib.qsftp_getfile_from(path.c_str(), content.size() + 1, &context.ctx), 1);
  EXPECT_TRUE(context.blocks.empty());
}

// A capped download waits like one for the network: the caller gets its
// turn during the wait, and an abort there ends the download.
TEST_F(LibraryTest, RateLimitWaitLetsTheCallerRunAndAbort) {
  const std::string content = randomBytes(4 * 1024 * 1024, 13);
  const std::string path = serverFile("capped.bin", content);
  LibraryContext context;
  connect(context);
  context.setConf("transfer_rate_limit", 256);  // 16 s for the whole file
  context.ctx.leavecriticalsection_callback = [](TSshLibContext* ctx) {
    const auto& self = *reinterpret_cast<const LibraryContext*>(ctx->Tag);
    if (!self.blocks.empty()) ctx->aborted = 1;
  };
  EXPECT_NE(context.lib.qsftp_getfile(path.c_str(), nullptr, 0, &context.ctx), 1);
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_ABORTED);
  EXPECT_LT(context.downloaded.size(), content.size());
}

TEST_F(LibraryTest, DownloadsToALocalPathWithProgress) {
  const std::string content = randomBytes(3 * 1024 * 1024, 11);
  const std::string path = serverFile("to-path.bin", content);
  const fs::path local = server->dataDir().parent_path() / "downloaded-to-path.bin";
  LibraryContext context;
  connect(context);
  ASSERT_EQ(context.lib.qsftp_getfile(path.c_str(), local.string().c_str(), 0, &context.ctx), 1)
      << context.error();
  EXPECT_TRUE(readFile(local) == content);
  ASSERT_FALSE(context.progressReports.empty());
  EXPECT_EQ(context.progressReports.back(), static_cast<int64_t>(content.size()));
  EXPECT_TRUE(std::is_sorted(context.progressReports.begin(), context.progressReports.end()));
  EXPECT_NE(context.allMessages().find("Downloaded " + std::to_string(content.size()) + " bytes"),
            std::string::npos);
  fs::remove(local);
}

TEST_F(LibraryTest, UploadsFromAStreamAndAFile) {
  LibraryContext context;
  connect(context);
  context.uploadSource = randomBytes(2 * 1024 * 1024 + 99, 3);
  ASSERT_EQ(context.lib.qsftp_putfile(nullptr, remote("up-stream.bin").c_str(), 0, &context.ctx), 1)
      << context.error();
  EXPECT_TRUE(readFile(server->dataDir() / "up-stream.bin") == context.uploadSource);
  EXPECT_EQ(context.progressReports.back(), static_cast<int64_t>(context.uploadSource.size()));

  const fs::path local = server->dataDir().parent_path() / "local-upload.bin";
  writeFile(local, "from a file");
  ASSERT_EQ(context.lib.qsftp_putfile(local.string().c_str(), remote("up-file.txt").c_str(), 0,
                                      &context.ctx),
            1);
  EXPECT_EQ(readFile(server->dataDir() / "up-file.txt"), "from a file");
  fs::remove(local);
}

TEST_F(LibraryTest, ManagesFoldersFilesAndAttributes) {
  LibraryContext context;
  connect(context);
  QsshlibBinding& lib = context.lib;
  TSshLibContext* ctx = &context.ctx;
  const std::string folder = remote("made");
  ASSERT_EQ(lib.qsftp_mkdir(folder.c_str(), ctx), 1) << context.error();
  EXPECT_TRUE(fs::is_directory(server->dataDir() / "made"));
  ASSERT_EQ(lib.qsftp_cd(folder.c_str(), ctx), 1);
  EXPECT_EQ(std::string(ctx->pwd), folder);

  serverFile("made/a.txt", "hello");
  ASSERT_EQ(lib.qsftp_mv("a.txt", "b.txt", ctx), 1)
      << context.error();  // relative to the working folder
  EXPECT_TRUE(fs::exists(server->dataDir() / "made" / "b.txt"));

  fxp_attrs attrs{};
  ASSERT_TRUE(lib.qsftp_getstat("b.txt", &attrs, ctx));
  EXPECT_EQ(attrs.size, 5u);
  EXPECT_EQ(attrs.permissions & 0xF000, 0x8000u);
  attrs.flags = QSSH_ATTR_PERMISSIONS;
  attrs.permissions = 0600;
  ASSERT_TRUE(lib.qsftp_setstat("b.txt", &attrs, ctx));
  EXPECT_EQ(statOnServer(server->dataDir() / "made" / "b.txt", "%a"), "600\n");
  attrs.flags = QSSH_ATTR_ACMODTIME;
  attrs.atime = 1000000000;
  attrs.mtime = 1200000000;
  ASSERT_TRUE(lib.qsftp_setstat("b.txt", &attrs, ctx));
  EXPECT_EQ(statOnServer(server->dataDir() / "made" / "b.txt", "%Y"), "1200000000\n");

  ASSERT_EQ(lib.qsftp_rm("b.txt", ctx), 1);
  ASSERT_EQ(lib.qsftp_cd("..", ctx), 1);
  ASSERT_EQ(lib.qsftp_rmdir(folder.c_str(), ctx), 1);
  EXPECT_FALSE(fs::exists(server->dataDir() / "made"));
}

TEST_F(LibraryTest, FailuresCarryTheServersCodeAndText) {
  const fs::path secret = server->dataDir() / "secret.txt";
  writeFile(secret, "root only");
  ASSERT_EQ(runCommand({"chmod", "0600", secret.string()}).exitCode, 0);  // owned by root
  LibraryContext context;
  connect(context);
  fxp_attrs attrs{};
  EXPECT_FALSE(context.lib.qsftp_getstat(remote("missing").c_str(), &attrs, &context.ctx));
  EXPECT_EQ(context.ctx.fxp_errtype, 2);
  EXPECT_EQ(context.error(), "No such file");
  EXPECT_NE(context.lib.qsftp_getfile(remote("secret.txt").c_str(), nullptr, 0, &context.ctx), 1);
  EXPECT_EQ(context.ctx.fxp_errtype, 3);
  EXPECT_EQ(context.error(), "Permission denied");
  EXPECT_NE(context.errorMessages.back().find("Permission denied"), std::string::npos);
}

TEST_F(LibraryTest, AbortEndsATransferAndTheContextStaysUsable) {
  const std::string path = serverFile("abort.bin", randomBytes(8 * 1024 * 1024, 5));
  LibraryContext context;
  connect(context);
  context.onBlock = [&](const Block&) { context.ctx.aborted = 1; };
  EXPECT_NE(context.lib.qsftp_getfile(path.c_str(), nullptr, 0, &context.ctx), 1);
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_ABORTED);
  EXPECT_EQ(context.error(), "Aborted");
  EXPECT_EQ(context.blocks.size(), 1u);

  context.ctx.aborted = 0;
  context.onBlock = nullptr;
  context.onListing = [](fxp_names*) { return false; };  // a listing answer of False aborts too
  EXPECT_NE(context.lib.qsftp_ls(server->remoteDataDir().c_str(), &context.ctx), 1);
  EXPECT_EQ(context.error(), "Aborted");
  context.onListing = nullptr;
  context.blocks.clear();
  context.downloaded.clear();
  ASSERT_EQ(context.lib.qsftp_getfile(path.c_str(), nullptr, 0, &context.ctx), 1)
      << context.error();
  EXPECT_EQ(context.downloaded, readFile(server->dataDir() / "abort.bin"));
}

TEST_F(LibraryTest, CallbackErrorsReachTheCallerAndTheContextStaysUsable) {
  serverFile("thrown.txt", "content");
  LibraryContext context;
  connect(context);
  context.onListing = [](fxp_names*) -> bool { throw std::runtime_error("thrown by the listing"); };
  try {
    context.lib.qsftp_ls(server->remoteDataDir().c_str(), &context.ctx);
    FAIL() << "the error did not come through";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "thrown by the listing");
  }
  context.onListing = nullptr;
  context.onBlock = [](const Block&) { throw std::logic_error("thrown by the writer"); };
  EXPECT_THROW(context.lib.qsftp_getfile(remote("thrown.txt").c_str(), nullptr, 0, &context.ctx),
               std::logic_error);

  context.onBlock = nullptr;
  context.downloaded.clear();
  ASSERT_EQ(context.lib.qsftp_ls(server->remoteDataDir().c_str(), &context.ctx), 1)
      << context.error();
  ASSERT_EQ(context.lib.qsftp_getfile(remote("thrown.txt").c_str(), nullptr, 0, &context.ctx), 1);
  EXPECT_EQ(context.downloaded, "content");
}

// A server that stalls in any phase of the connect: the caller gets its turn
// throughout, its abort ends the connect at once, and a stall past the
// phase's deadline is a time-out, in the phase's own words.
struct StallCase {
  Stall stall;
  int32_t timeoutCode;
  std::string timeoutText;
};

void PrintTo(const StallCase& c, std::ostream* out) {
  *out << nameOf(c.stall);
}

class StalledConnectTest : public LibraryTest, public ::testing::WithParamInterface<StallCase> {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    if (const char* reason = unavailable(GetParam().stall)) GTEST_SKIP() << reason;
  }
  // Connects through the stall with the test account, as the launcher would.
  int connectThrough(LibraryContext& context, const StallingServer& stalling) {
    context.setConf("known_hosts_file", knownHosts.string());
    context.passwords.push_back(SshdServer::password());
    return context.connect(stalling.host(), stalling.port(), SshdServer::user());
  }
};

TEST_P(StalledConnectTest, CallerKeepsItsTurnsAndItsAbortEndsTheConnectAtOnce) {
  const StallingServer stalling(GetParam().stall, *server);
  LibraryContext context;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> abortedAt;
  int turns = 0;
  context.onIdle = [&] {
    ++turns;
    if (!abortedAt && Clock::now() - start >= 1s) {
      abortedAt = Clock::now();
      context.ctx.aborted = 1;
    }
  };
  EXPECT_NE(connectThrough(context, stalling), 0);
  const Clock::duration afterAbort = Clock::now() - abortedAt.value_or(start);
  ASSERT_TRUE(abortedAt) << "the connect ended before the abort: " << context.error();
  EXPECT_TRUE(stalling.reached());
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_ABORTED) << context.error();
  // A turn at least every 100 ms: about ten in the second before the abort.
  EXPECT_GE(turns, 8);
  EXPECT_LT(afterAbort, 1s);
}

TEST_P(StalledConnectTest, StallPastItsDeadlineIsATimeOut) {
  const StallingServer stalling(GetParam().stall, *server);
  LibraryContext context;
  context.ctx.connectiontimeoutticks = 1500;
  EXPECT_NE(connectThrough(context, stalling), 0);
  EXPECT_EQ(context.ctx.fxp_errtype, GetParam().timeoutCode) << context.error();
  EXPECT_EQ(context.error(), GetParam().timeoutText);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, StalledConnectTest,
    ::testing::Values(
        StallCase{Stall::NameLookup, QSSH_ERR_CONNECT,
                  "Cannot resolve host name patch.stalled.invalid: no answer in time"},
        StallCase{Stall::Connect, QSSH_ERR_CONNECT, "Connection timed out"},
        StallCase{Stall::Greeting, QSSH_ERR_TIMEOUT,
                  "The server sent no SSH greeting within 1.5 s"},
        StallCase{Stall::KeyExchange, QSSH_ERR_TIMEOUT,
                  "The server did not finish the key exchange within 1.5 s"},
        StallCase{Stall::Authentication, QSSH_ERR_TIMEOUT,
                  "The server did not answer the authentication within 1.5 s"}),
    [](const auto& info) { return std::string(nameOf(info.param.stall)); });

TEST_F(LibraryTest, RequestWithoutAnAnswerFailsAfterTheTimeout) {
  SshdServer frozen;
  LibraryContext context;
  connect(context, frozen);
  context.ctx.timeoutticks = 500;
  frozen.freeze();
  const int result = context.lib.qsftp_ls(frozen.remoteDataDir().c_str(), &context.ctx);
  frozen.thaw();
  EXPECT_NE(result, 1);
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_TIMEOUT);
}

struct ProxyCase {
  const char* name;
  TestProxy::Mode mode;
  int proxyType;
  bool withCredentials;
};

class ProxyTest : public LibraryTest, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(ProxyTest, ConnectsThroughTheProxy) {
  const ProxyCase& c = GetParam();
  std::optional<TestProxy::Credentials> credentials;
  if (c.withCredentials) credentials = TestProxy::Credentials{"proxyuser", "proxypass"};
  TestProxy proxy(c.mode, credentials);
  LibraryContext context;
  context.setConf("proxy_type", c.proxyType);
  context.setConf("proxy_host", "127.0.0.1");
  context.setConf("proxy_port", proxy.port());
  if (c.withCredentials) {
    context.setConf("proxy_username", "proxyuser");
    context.setConf("proxy_password", "proxypass");
  }
  connect(context);
  EXPECT_EQ(proxy.connectTargets(),
            std::vector<std::string>{"127.0.0.1:" + std::to_string(server->port())});
  ASSERT_EQ(context.lib.qsftp_ls(server->remoteDataDir().c_str(), &context.ctx), 1);
  if (c.withCredentials) {
    EXPECT_EQ(proxy.authenticatedUsers(), std::vector<std::string>{"proxyuser"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ProxyTest,
    ::testing::Values(ProxyCase{"Socks4", TestProxy::Mode::Socks4, PROXY_SOCKS4, false},
                      ProxyCase{"Socks5", TestProxy::Mode::Socks5, PROXY_SOCKS5, false},
                      ProxyCase{"Socks5Password", TestProxy::Mode::Socks5, PROXY_SOCKS5, true},
                      ProxyCase{"Http", TestProxy::Mode::Http, PROXY_HTTP, false},
                      ProxyCase{"HttpBasic", TestProxy::Mode::Http, PROXY_HTTP, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LibraryTest, WrongProxyPasswordAndUnsupportedProxyKindsFail) {
  TestProxy proxy(TestProxy::Mode::Http, TestProxy::Credentials{"proxyuser", "proxypass"});
  LibraryContext context;
  context.setConf("proxy_type", PROXY_HTTP);
  context.setConf("proxy_host", "127.0.0.1");
  context.setConf("proxy_port", proxy.port());
  context.setConf("proxy_username", "proxyuser");
  context.setConf("proxy_password", "wrong");
  EXPECT_NE(context.connect(server->host(), server->port(), SshdServer::user()), 0);
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_PROXY);
  EXPECT_NE(context.error().find("407"), std::string::npos) << context.error();

  for (int kind : {PROXY_TELNET, PROXY_CMD, PROXY_FUZZ}) {
    LibraryContext unsupported;
    unsupported.setConf("proxy_type", kind);
    EXPECT_NE(unsupported.connect(server->host(), server->port(), SshdServer::user()), 0);
    EXPECT_NE(unsupported.error().find("not supported"), std::string::npos) << unsupported.error();
  }
}

TEST_F(LibraryTest, ConnectionRefusedIsReportedAsSuch) {
  int closedPort = 0;
  {
    SilentServer gone;
    closedPort = gone.port();
  }
  LibraryContext context;
  EXPECT_NE(context.connect("127.0.0.1", closedPort, "nobody"), 0);
  EXPECT_EQ(context.ctx.fxp_errtype, QSSH_ERR_CONNECT);
  EXPECT_EQ(context.error(), "Connection refused");
}

// A library of the system that is not ours.
#ifdef _WIN32
constexpr const char* kOtherLibrary = "kernel32.dll";
#else
constexpr const char* kOtherLibrary = "libm.so.6";
#endif

TEST(BindingTest, MissingLibraryAndMissingFunctionRaiseExternalExceptions) {
  QsshlibBinding missing("libno-such-library-here.so");
  try {
    missing.qsshgetcontextsize();
    FAIL() << "no error";
  } catch (const ExternalException& error) {
    EXPECT_EQ(std::string(error.what()).rfind("External exception C06D007E: ", 0), 0u)
        << error.what();
    EXPECT_NE(std::string(error.what()).find("libno-such-library-here.so"), std::string::npos);
  }
  QsshlibBinding wrongLibrary(kOtherLibrary);
  try {
    wrongLibrary.qsshgetcontextsize();
    FAIL() << "no error";
  } catch (const ExternalException& error) {
    EXPECT_EQ(std::string(error.what()).rfind("External exception C06D007F: ", 0), 0u)
        << error.what();
    EXPECT_NE(std::string(error.what()).find("qsshgetcontextsize"), std::string::npos);
  }
}

TEST(BindingTest, LoadsNothingBeforeTheFirstCall) {
  QsshlibBinding binding("libno-such-library-here.so");  // constructing it must not fail
  SUCCEED();
}

}  // namespace
}  // namespace quorrel::testing
