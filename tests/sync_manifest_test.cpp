// The patch server's manifest: verified fetches, repaired local files, signed
// manifests and the cache of digests, through the real window against a real sshd.
#include <QTimer>

#include "signing_key.h"
#include "sync_harness.h"

namespace quorrel::testing {
namespace {

const QString kCannotConnect = "Cannot connect to patch server. Try again later.";

void expectByteExact(const SyncHarness& sync, const Tree& tree) {
  for (const auto& [path, content] : tree)
    EXPECT_TRUE(readBytes(sync.local(path)) == content) << path;
}

int64_t entriesIn(const fs::path& folder) {
  return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

QString supportLog(SyncHarness& sync) {
  return QString::fromStdString(readBytes(sync.harness.log.file().toStdString()));
}

class SyncManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

TEST_F(SyncManifestTest, SameSizeCorruptLocalFileIsFetchedAgainAndTheFolderEndsByteExact) {
  SyncHarness sync;
  const Tree tree = {{"WoW.exe", "MZ game client"},
                     {"Data/big.MPQ", randomBytes(3 * 1024 * 1024 + 3, 21)},
                     {"Data/small.MPQ", "small"}};
  serveWithManifest(sync, tree);
  TForm1& form = sync.start("game", false);
  sync.clickInstall();
  ASSERT_EQ(sync.status(), "Ready to play!");
  expectByteExact(sync, tree);
  EXPECT_FALSE(fs::exists(sync.local(manifest::kFileName.toStdString())));

  // A tool wrote other bytes of the same count and set the file's time back.
  const fs::path big = sync.local("Data/big.MPQ");
  const fs::file_time_type written = fs::last_write_time(big);
  writeBytes(big, withOneByteFlipped(tree.at("Data/big.MPQ")));
  fs::last_write_time(big, written);
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join("|").toStdString();
  EXPECT_EQ(sync.status(), "Update complete. Ready to play!");
  EXPECT_EQ(form.downloaded_bytes, int64_t(tree.at("Data/big.MPQ").size()));
  expectByteExact(sync, tree);
  EXPECT_EQ(entriesIn(sync.local("Data")), 2);
}

TEST_F(SyncManifestTest, FetchedFileThatDoesNotMatchIsFetchedOnceMoreThenRefused) {
  SyncHarness sync;
  const std::string published = randomBytes(1024 * 1024, 22);
  serveWithManifest(sync, {{"WoW.exe", "MZ game client"}, {"Data/a.MPQ", published}});
  sync.serve("Data/a.MPQ", withOneByteFlipped(published));
  TForm1& form = sync.start("game", false);
  sync.clickInstall();

  const QString refused = "Data/a.MPQ does not match the patch server's manifest";
  EXPECT_EQ(sync.harness.messageBox.errorTexts(), QStringList{refused + "."});
  EXPECT_EQ(form.Memo1.count(refused + "; fetching it once more"), 1);
  EXPECT_EQ(form.downloaded_bytes, 2 * int64_t(published.size()));
  EXPECT_EQ(entriesIn(sync.local("Data")), 0) << "neither the file nor a partial copy stays";
  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_TRUE(supportLog(sync).contains(refused)) << supportLog(sync).toStdString();
}

// A copy spoilt once (on the way, or by a server that was being updated) is
// repaired by the second fetch.
TEST_F(SyncManifestTest, CopySpoiltOnceIsRepairedByTheSecondFetch) {
  SyncHarness sync;
  const std::string published = randomBytes(2 * 1024 * 1024, 23);
  const Tree tree = {{"Data/a.MPQ", published}};
  serveWithManifest(sync, tree);
  sync.serve("Data/a.MPQ", withOneByteFlipped(published));
  TForm1& form = sync.start("game", false);
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (form.downloaded_bytes < int64_t(published.size())) return;
    watcher.stop();
    // A new file in the old one's place: the first fetch's open file keeps its bytes.
    sync.serve("Data/a.MPQ.new", published);
    fs::rename(sync.patchTree / "Data/a.MPQ.new", sync.patchTree / "Data/a.MPQ");
  });
  watcher.start(0);
  sync.clickInstall();

  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join("|").toStdString();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_EQ(form.Memo1.count("Data/a.MPQ does not match the patch server's manifest; fetching it "
                             "once more"),
            1);
  EXPECT_EQ(form.downloaded_bytes, 2 * int64_t(published.size()));
  EXPECT_EQ(form.progress_fg->width(), 760);
  expectByteExact(sync, tree);
}

TEST_F(SyncManifestTest, FilesTheManifestDoesNotNameAreNotFetched) {
  SyncHarness sync;
  const Tree tree = {{"WoW.exe", "MZ game client"}};
  serveWithManifest(sync, tree);
  sync.serve("Data/planted.dll", "not published by the operator");
  TForm1& form = sync.start("game", false);
  sync.clickInstall();

  EXPECT_EQ(sync.status(), "Ready to play!");
  expectByteExact(sync, tree);
  EXPECT_FALSE(fs::exists(sync.local("Data/planted.dll")));
  EXPECT_TRUE(form.Memo1.contains(
      "Skipping Data/planted.dll: the patch server's manifest does not name it"))
      << form.Memo1.join('\n').toStdString();
  EXPECT_EQ(entriesIn(sync.local("")), 2) << "WoW.exe and the empty Data folder";
}

// With the digests of its files kept, a second check of an unchanged folder
// reads none of them; a file written since is read again, alone.
TEST_F(SyncManifestTest, SecondUpdateCheckOfAnUnchangedTreeReadsNoFile) {
  SyncHarness sync;
  const Tree tree = {{"WoW.exe", "MZ game client"},
                     {"Data/a.MPQ", randomBytes(1024 * 1024, 24)},
                     {"Data/b.MPQ", randomBytes(512 * 1024, 25)}};
  serveWithManifest(sync, tree);
  TForm1& form = sync.start("game", true);
  int64_t treeBytes = 0;
  for (const auto& [path, content] : tree) {
    writeBytes(sync.local(path), content);  // a folder the player already had
    treeBytes += int64_t(content.size());
  }

  const auto check = [&] {
    const int64_t before = form.engine.hashedBytes();
    QTest::mouseClick(form.startUpdate, Qt::LeftButton);
    EXPECT_EQ(sync.status(), "Game up to date. Ready to play!");
    return form.engine.hashedBytes() - before;
  };
  EXPECT_EQ(check(), treeBytes);
  EXPECT_EQ(check(), 0);
  writeBytes(sync.local("Data/b.MPQ"), tree.at("Data/b.MPQ"));
  EXPECT_EQ(check(), int64_t(tree.at("Data/b.MPQ").size()));
  EXPECT_EQ(check(), 0);
  expectByteExact(sync, tree);
}

// A launcher with an update key trusts only a manifest that key signed; any
// other ends the flow with a red line that says so, and the reason in the log.
struct SignedCase {
  const char* name;
  bool withKey;
  // What the server holds beside the tree, given its manifest and two keys.
  std::function<void(SyncHarness& sync, const std::string& manifest, const SigningKey& updateKey,
                     const SigningKey& otherKey)>
      publish;
  const char* refusal;  // the log's reason; empty when the tree is accepted
  const char* status;   // the red line of a refused tree
};

void PrintTo(const SignedCase& signedCase, std::ostream* out) {
  *out << signedCase.name;
}

const std::string kManifestName = manifest::kFileName.toStdString();
const std::string kSignatureName = manifest::kSignatureFileName.toStdString();

const SignedCase kSignedCases[] = {
    {"SignedByTheKey", true,
     [](SyncHarness& sync, const std::string& text, const SigningKey& key, const SigningKey&) {
       sync.serve(kSignatureName, key.signatureFile(text));
     },
     "", ""},
    {"OneByteFlipped", true,
     [](SyncHarness& sync, const std::string& text, const SigningKey& key, const SigningKey&) {
       sync.serve(kSignatureName, key.signatureFile(text));
       std::string tampered = text;
       tampered[tampered.find('\n') + 1] ^= 0x01;  // a digit of the first digest: still a manifest
       sync.serve(kManifestName, tampered);
     },
     "The patch server's manifest is refused: the signature does not match the manifest",
     "Install refused: the patch server's files are not signed."},
    {"SignedByAnotherKey", true,
     [](SyncHarness& sync, const std::string& text, const SigningKey&, const SigningKey& other) {
       sync.serve(kSignatureName, other.signatureFile(text));
     },
     "The patch server's manifest is refused: the signature does not match the manifest",
     "Install refused: the patch server's files are not signed."},
    {"NotSigned", true,
     [](SyncHarness&, const std::string&, const SigningKey&, const SigningKey&) {},
     "The patch server's manifest is not signed",
     "Install refused: the patch server's files are not signed."},
    {"SignatureNotInBase64", true,
     [](SyncHarness& sync, const std::string&, const SigningKey&, const SigningKey&) {
       sync.serve(kSignatureName, "not a signature\n");
     },
     "The patch server's manifest is refused: the signature is not 64 bytes in base64",
     "Install refused: the patch server's files are not signed."},
    {"NoManifestWithAKey", true,
     [](SyncHarness& sync, const std::string&, const SigningKey&, const SigningKey&) {
       fs::remove(sync.patchTree / kManifestName);
     },
     "The patch server publishes no manifest",
     "Install refused: the patch server's files are not signed."},
    {"UnsignedWithoutAKey", false,
     [](SyncHarness&, const std::string&, const SigningKey&, const SigningKey&) {}, "", ""},
    {"UnreadableWithoutAKey", false,
     [](SyncHarness& sync, const std::string&, const SigningKey&, const SigningKey&) {
       sync.serve(kManifestName, "quorrel-manifest 1\n../../etc/passwd\n");
     },
     "Line 2 of the manifest: not a digest, a size and a path",
     "Install refused: the patch server's manifest cannot be read."},
};

class SignedManifestTest : public SyncManifestTest,
                           public ::testing::WithParamInterface<SignedCase> {};

TEST_P(SignedManifestTest, IsTrustedOnlyWithTheUpdateKeysSignature) {
  SyncHarness sync;
  const SigningKey updateKey;
  const SigningKey otherKey;
  const Tree tree = {{"WoW.exe", "MZ game client"}, {"Data/a.MPQ", "patch"}};
  const std::string text = serveWithManifest(
      sync, tree, GetParam().withKey ? std::optional(releaseOf(1)) : std::nullopt);
  GetParam().publish(sync, text, updateKey, otherKey);
  if (GetParam().withKey) sync.harness.config().updatePublicKey = updateKey.publicKey();
  TForm1& form = sync.start("game", false);
  sync.clickInstall();

  const QString refusal = QString::fromUtf8(GetParam().refusal);
  if (refusal.isEmpty()) {
    EXPECT_EQ(sync.status(), "Ready to play!");
    expectByteExact(sync, tree);
    return;
  }
  EXPECT_EQ(sync.status(), GetParam().status);
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_FALSE(fs::exists(sync.local("WoW.exe")));
  EXPECT_FALSE(fs::exists(sync.local("Data/a.MPQ")));
  EXPECT_TRUE(supportLog(sync).contains(" " + refusal + "\n")) << supportLog(sync).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, SignedManifestTest, ::testing::ValuesIn(kSignedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A patch server that stops publishing its signed manifest cannot slip in a
// client of its own: the update says why it stopped, and the game already
// there can still be started.
TEST_F(SyncManifestTest, UpdateFromAServerWithoutItsManifestKeepsTheGameAndPlay) {
  SyncHarness sync;
  const SigningKey updateKey;
  sync.harness.config().updatePublicKey = updateKey.publicKey();
  sync.serve("WoW.exe", "MZ substituted client, another size");
  TForm1& form = sync.start("game", true);
  writeBytes(sync.local("WoW.exe"), "MZ game client");
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), "Update refused: the patch server's files are not signed.");
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(form.play->isVisible());
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_EQ(readBytes(sync.local("WoW.exe")), "MZ game client");
  EXPECT_TRUE(supportLog(sync).contains("The patch server publishes no manifest"));
}

}  // namespace
}  // namespace quorrel::testing
