// What the engine takes of a patch server's release: signed, never older than
// one it accepted, not expired, and served whole; otherwise nothing at all.
#include "engine_harness.h"
#include "signing_key.h"

namespace quorrel::testing {
namespace {

using Reason = ReleaseRefusal::Reason;

const std::string kManifestName = manifest::kFileName.toStdString();
const std::string kSignatureName = manifest::kSignatureFileName.toStdString();

const Tree kOld = {{"WoW.exe", "MZ old client"}, {"Data/a.MPQ", "old patch"}};
const Tree kNew = {{"WoW.exe", "MZ new client!"}, {"Data/a.MPQ", "new patch data"}};

class ReleaseTest : public ::testing::Test {
 protected:
  // Publishes `tree` as `release`, signed with the update key, in place of
  // whatever the server held.
  std::string publish(const Tree& tree, const std::optional<manifest::Release>& release,
                      bool sign = true) {
    fs::remove_all(engine.patchTree);
    fs::create_directories(engine.patchTree);
    const std::string text = serveWithManifest(engine, tree, release);
    if (sign) engine.serve(kSignatureName, updateKey.signatureFile(text));
    return text;
  }
  // Updates the game to `tree` as release `version`: the launcher accepted it.
  void installed(const Tree& tree, int64_t version) {
    publish(tree, releaseOf(version));
    ASSERT_TRUE(doneUpdating(true)) << engine.error.toStdString();
    expectGameHolds(tree);
  }
  // An update ran to its end, and fetched something or nothing.
  bool doneUpdating(bool changed) {
    const std::optional<FlowResult> result = engine.update();
    return result && result->end == FlowEnd::Done && result->changed == changed;
  }
  void expectGameHolds(const Tree& tree) {
    for (const auto& [path, content] : tree)
      EXPECT_EQ(readBytes(engine.local(path)), content) << path;
  }
  // The flow ended refusing the release for `reason`, and fetched nothing.
  ReleaseRefusal expectRefused(Reason reason) {
    engine.observer.filesStarted.clear();
    const std::optional<FlowResult> result = engine.update();
    EXPECT_TRUE(result) << engine.error.toStdString();
    if (!result) return {};
    EXPECT_EQ(result->end, FlowEnd::Untrusted);
    EXPECT_EQ(result->refusal.reason, reason);
    EXPECT_TRUE(engine.observer.filesStarted.isEmpty())
        << engine.observer.filesStarted.join(", ").toStdString();
    return result->refusal;
  }

  void SetUp() override {
    engine.config.updatePublicKey = updateKey.publicKey();
    engine.start("game", true);
  }

  SigningKey updateKey;
  EngineHarness engine;
};

// The fault this closes: with the manifest gone, a substituted client of
// another size would have been installed as "complete".
TEST_F(ReleaseTest, DeletedManifestIsRefusedWhenAKeyIsBuiltIn) {
  installed(kOld, 3);
  publish(kNew, releaseOf(4));
  fs::remove(engine.patchTree / kManifestName);
  fs::remove(engine.patchTree / kSignatureName);
  expectRefused(Reason::Unsigned);
  EXPECT_TRUE(engine.observer.logHas("The patch server publishes no manifest"));
  expectGameHolds(kOld);
}

TEST_F(ReleaseTest, OlderSignedReleaseIsRefusedAndTheSameOrANewerOneTaken) {
  installed(kNew, 5);
  publish(kOld, releaseOf(4));  // an old signed release, replayed with its files
  const ReleaseRefusal refusal = expectRefused(Reason::Older);
  EXPECT_EQ(refusal.release, 4);
  EXPECT_EQ(refusal.accepted, 5);
  EXPECT_TRUE(engine.observer.logHas(
      "The patch server offers release 4, older than release 5, which this launcher accepted "
      "before"));
  expectGameHolds(kNew);

  // The record lasts beyond this engine: a new run refuses it too.
  publish(kNew, releaseOf(5));
  EXPECT_TRUE(doneUpdating(false)) << "release 5 again is fine";
  installed(kOld, 6);
}

TEST_F(ReleaseTest, ExpiredReleaseIsRefused) {
  installed(kOld, 1);
  publish(kNew, releaseOf(2, -1));
  const ReleaseRefusal refusal = expectRefused(Reason::Expired);
  EXPECT_EQ(refusal.release, 2);
  EXPECT_LT(refusal.expired, QDateTime::currentDateTimeUtc());
  EXPECT_TRUE(engine.observer.logHas("The patch server's release 2 expired at "));
  expectGameHolds(kOld);
}

TEST_F(ReleaseTest, ManifestWithoutAReleaseIsRefusedWhenAKeyIsBuiltIn) {
  publish(kNew, std::nullopt);
  expectRefused(Reason::NoRelease);
  EXPECT_FALSE(fs::exists(engine.local("Data/a.MPQ")));
}

// Every file the signed release names is on the server at its size, or
// nothing of the release is taken, and the log says which file differs.
TEST_F(ReleaseTest, ReleaseServedInPartIsRefusedNamingTheFiles) {
  installed(kOld, 1);
  Tree named = kNew;
  named["Data/b.MPQ"] = "a file the server lacks";
  publish(named, releaseOf(2));
  fs::remove(engine.patchTree / "Data/b.MPQ");
  engine.serve("WoW.exe", "MZ new client, longer");
  const ReleaseRefusal refusal = expectRefused(Reason::Incomplete);
  EXPECT_EQ(refusal.release, 2);
  EXPECT_TRUE(
      engine.observer.logHas("Data/b.MPQ: named in release 2, not listed by the patch server"));
  EXPECT_TRUE(
      engine.observer.logHas("WoW.exe: 14 bytes in release 2, 21 bytes on the patch server"));
  EXPECT_FALSE(engine.observer.logHas("Data/a.MPQ:"));
  expectGameHolds(kOld);
}

// Without a key, the server is trusted as before: no manifest means sizes
// alone; a release it names still only goes up.
TEST_F(ReleaseTest, WithoutAKeyTheSizesDecideAndReleasesStillOnlyGoUp) {
  engine.config.updatePublicKey.clear();
  publish(kOld, std::nullopt, false);
  fs::remove(engine.patchTree / kManifestName);
  ASSERT_TRUE(doneUpdating(true)) << engine.error.toStdString();
  expectGameHolds(kOld);
  publish(kNew, std::nullopt, false);
  EXPECT_TRUE(doneUpdating(true)) << "format 1 is still read: " << engine.error.toStdString();
  publish(kOld, releaseOf(7), false);
  EXPECT_TRUE(doneUpdating(true));
  publish(kNew, releaseOf(6), false);
  expectRefused(Reason::Older);
  engine.serve(kManifestName, "quorrel-manifest 2\nrelease 8\n");
  expectRefused(Reason::Unreadable);
  expectGameHolds(kOld);
}

}  // namespace
}  // namespace quorrel::testing
