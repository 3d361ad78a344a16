// A patch server that stalls in any phase of the connection never freezes the
// window, and every way out ends the launcher at once, with the game folder
// as it was and free for the next launcher.
#include <QTimer>
#include <chrono>
#include <iostream>

#include "stalling_server.h"
#include "sync_harness.h"
#ifndef _WIN32
#include <QProcess>
#include <csignal>
#endif

namespace quorrel::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// How long the server stalls before the player gives up on it.
constexpr auto kStallBeforeClose = 2s;

// A close ends the flow within moments; a server's own deadline (10 s for
// each step of the handshake, a minute for a request) would take far longer.
constexpr auto kPromptEnd = 3s;

void expectGameFolderAsItWasAndFree(const SyncHarness& sync) {
  EXPECT_EQ(readBytes(sync.local("a.MPQ")), "the old version");
  EXPECT_TRUE(GameFolderLock::take(sync.game).has_value())
      << "the game folder is still held by a flow";
}

long long milliseconds(SteadyClock::duration duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

struct StallCase {
  Stall stall;
  CloseWay way;
};

void PrintTo(const StallCase& c, std::ostream* out) {
  *out << nameOf(c.stall) << " closed by " << nameOf(c.way);
}

class StalledServerTest : public ::testing::TestWithParam<StallCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
    if (const char* reason = unavailable(GetParam().stall)) GTEST_SKIP() << reason;
  }
};

TEST_P(StalledServerTest, WindowAnswersThroughoutAndACloseEndsTheUpdateAtOnce) {
  const StallCase& c = GetParam();
  SyncHarness sync;
  sync.serve("a.MPQ", "the new version");
  const StallingServer stalling(c.stall, sync.server);
  usePatchServer(sync.harness, stalling.host(), stalling.port());
  TForm1& form = sync.start("game", true);
  writeBytes(sync.local("a.MPQ"), "the old version");

  int turns = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++turns; });
  ticker.start(10);
  int turnsBeforeClose = 0;
  std::optional<SteadyClock::time_point> closedAt;
  QTimer::singleShot(kStallBeforeClose, [&] {
    turnsBeforeClose = turns;
    closedAt = SteadyClock::now();
    closeBy(c.way, sync.harness);
  });
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  const SteadyClock::time_point ended = SteadyClock::now();

  ASSERT_TRUE(closedAt) << "the update ended before the close: "
                        << form.Memo1.join('\n').toStdString();
  std::cout << "[ the update ended " << milliseconds(ended - *closedAt) << " ms after the close ]"
            << std::endl;
  EXPECT_TRUE(stalling.reached());
  // A turn at least every 100 ms gives the window some 20 in the stall.
  EXPECT_GE(turnsBeforeClose, 10) << "the window was frozen while the server stalled";
  EXPECT_LT(ended - *closedAt, kPromptEnd);
  EXPECT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join('|').toStdString();
  expectGameFolderAsItWasAndFree(sync);
}

std::vector<StallCase> everyStallClosedEveryWay() {
  std::vector<StallCase> cases;
  for (const Stall stall : {Stall::NameLookup, Stall::Connect, Stall::Greeting, Stall::KeyExchange,
                            Stall::Authentication})
    for (const CloseWay way : {CloseWay::Button, CloseWay::WindowManager, CloseWay::SessionEnd})
      cases.push_back({stall, way});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Phases, StalledServerTest, ::testing::ValuesIn(everyStallClosedEveryWay()),
                         [](const auto& info) {
                           return std::string(nameOf(info.param.stall)) + nameOf(info.param.way);
                         });

#ifndef _WIN32
// A termination signal ends a launcher in a process of its own, whatever it is
// doing: waiting for a stalled server, or showing a modal dialog.
struct SignalCase {
  const char* name;
  int signal;
  const char* state;           // what the launcher does when the signal comes
  std::optional<Stall> stall;  // the server it waits for, if any
};

void PrintTo(const SignalCase& c, std::ostream* out) {
  *out << c.name;
}

class SignalTest : public ::testing::TestWithParam<SignalCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

// Waits for the launcher to say it is where the signal should meet it.
bool waitUntilReady(QProcess& launcher) {
  const auto deadline = SteadyClock::now() + 30s;
  while (SteadyClock::now() < deadline) {
    if (launcher.canReadLine() && launcher.readLine().trimmed() == "ready") return true;
    if (launcher.state() == QProcess::NotRunning) return false;
    launcher.waitForReadyRead(100);
  }
  return false;
}

TEST_P(SignalTest, EndsTheLauncherAtOnceWithTheGameFolderAsItWas) {
  const SignalCase& c = GetParam();
  SyncHarness sync;
  sync.serve("a.MPQ", "the new version");
  std::optional<StallingServer> stalling;
  if (c.stall) stalling.emplace(*c.stall, sync.server);
  sync.game = sync.harness.makeFolder("game", true);
  writeBytes(sync.local("a.MPQ"), "the old version");

  QProcess launcher;
  launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  launcher.start(SYNC_CHILD,
                 {"until-signal", c.state,
                  QString::fromStdString(stalling ? stalling->host() : sync.server.host()),
                  QString::number(stalling ? stalling->port() : sync.server.port()),
                  sync.remoteRoot(), sync.game, QString::fromStdString(sync.dataHome.string())});
  ASSERT_TRUE(launcher.waitForStarted()) << launcher.errorString().toStdString();
  ASSERT_TRUE(waitUntilReady(launcher)) << "the launcher never got where the signal should meet it";
  // Deep into the stall, as a player who waited would be.
  if (c.stall) QTest::qWait(std::chrono::milliseconds(kStallBeforeClose).count());

  const SteadyClock::time_point signalled = SteadyClock::now();
  ASSERT_EQ(::kill(static_cast<pid_t>(launcher.processId()), c.signal), 0);
  ASSERT_TRUE(launcher.waitForFinished(60000));
  const SteadyClock::time_point ended = SteadyClock::now();

  std::cout << "[ the launcher ended " << milliseconds(ended - signalled)
            << " ms after the signal ]" << std::endl;
  EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(launcher.exitCode(), 0);
  EXPECT_LT(ended - signalled, kPromptEnd);
  // The relays tell whether the launcher reached them; a lookup in the
  // launcher's own process cannot tell this one.
  if (c.stall == Stall::KeyExchange || c.stall == Stall::Authentication) {
    EXPECT_TRUE(stalling->reached());
  }
  expectGameFolderAsItWasAndFree(sync);
}

INSTANTIATE_TEST_SUITE_P(
    States, SignalTest,
    ::testing::Values(SignalCase{"TermInNameLookup", SIGTERM, "update", Stall::NameLookup},
                      SignalCase{"TermInConnect", SIGTERM, "update", Stall::Connect},
                      SignalCase{"TermInGreeting", SIGTERM, "update", Stall::Greeting},
                      SignalCase{"TermInKeyExchange", SIGTERM, "update", Stall::KeyExchange},
                      SignalCase{"TermInAuthentication", SIGTERM, "update", Stall::Authentication},
                      SignalCase{"TermInFolderBrowser", SIGTERM, "browser", std::nullopt},
                      SignalCase{"TermInErrorBox", SIGTERM, "error-box", std::nullopt},
                      SignalCase{"IntInKeyExchange", SIGINT, "update", Stall::KeyExchange},
                      SignalCase{"HupInFolderBrowser", SIGHUP, "browser", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
}  // namespace quorrel::testing
