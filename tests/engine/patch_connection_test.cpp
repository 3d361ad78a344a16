// The engine's connection to the patch server as it is set up, before it
// connects: what its session's handlers do with the library's output, its
// questions and the server's host key, and the speed cap it passes on.
#include "patch_connection.h"
#include "engine_harness.h"

namespace quorrel::testing {
namespace {

class PatchConnectionTest : public ::testing::Test {
 protected:
  PatchConnection connect(int32_t speedLimitKiB = 0) {
    return PatchConnection(config, speedLimitKiB, QsshlibBinding::instance(), observer);
  }
  LauncherConfig config;
  RecordingObserver observer;
};

TEST_F(PatchConnectionTest, MessagesAndInputRequestsGoToTheLog) {
  PatchConnection connection = connect();
  TSftpSession& session = connection.session();
  session.OnMessage("Connected to patch.example port 22\r\n", false);
  session.OnMessage("Access denied\n", true);
  bool cancel = true;
  EXPECT_EQ(session.OnGetInput(cancel), "");
  EXPECT_FALSE(cancel);
  EXPECT_EQ(observer.lines, (QStringList{"Connected to patch.example port 22", "Access denied",
                                         "Replying with empty line."}));
}

struct HostKeyCase {
  const char* name;
  QStringList pinned;
  int status;
  bool accepted;
  bool stored;
};

class HostKeyRuleTest : public PatchConnectionTest,
                        public ::testing::WithParamInterface<HostKeyCase> {};

TEST_P(HostKeyRuleTest, AcceptsPinnedOrFirstSeenKeysOnly) {
  const HostKeyCase& c = GetParam();
  config.hostKeySha256 = c.pinned;
  PatchConnection connection = connect();
  bool store = false;
  EXPECT_EQ(connection.session().OnVerifyHostKey("patch.test", 22, "SHA256:right", c.status, store),
            c.accepted);
  EXPECT_EQ(store, c.stored);
  EXPECT_EQ(observer.lines.size(), c.accepted ? 0 : 1);
  if (!c.accepted) {
    EXPECT_TRUE(observer.lines[0].startsWith("Host key of patch.test port 22 refused:"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostKeyRuleTest,
    ::testing::Values(HostKeyCase{"KnownMatching", {}, 0, true, false},
                      HostKeyCase{"FirstSeen", {}, 1, true, true},
                      HostKeyCase{"NoKnownHostsYet", {}, 4, true, true},
                      HostKeyCase{"Changed", {}, 2, false, false},
                      HostKeyCase{"OtherType", {}, 3, false, false},
                      HostKeyCase{
                          "PinnedMatches", {"SHA256:other", "SHA256:right"}, 2, true, false},
                      HostKeyCase{"PinnedDiffers", {"SHA256:other"}, 0, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The cap the flow was started with is the library's rate limit, also on the
// connection that replaces a lost one.
TEST_F(PatchConnectionTest, SpeedCapReachesTheLibrary) {
  for (const int32_t limit : {0, 512, 2147483647}) {
    PatchConnection connection = connect(limit);
    EXPECT_EQ(connection.session().RateLimit(), limit);
    EXPECT_THROW(connection.reconnect(),
                 SftpSessionException);  // no server: a new session all the same
    EXPECT_EQ(connection.session().RateLimit(), limit);
  }
}

}  // namespace
}  // namespace quorrel::testing
