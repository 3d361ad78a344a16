// The patch server's manifest: verified fetches, repaired local files, signed
// manifests and the cache of digests, against a real sshd.
#include "engine_harness.h"
#include "signing_key.h"

namespace quorrel::testing {
namespace {

void expectByteExact(const EngineHarness& sync, const Tree& tree) {
  for (const auto& [path, content] : tree)
    EXPECT_TRUE(readBytes(sync.local(path)) == content) << path;
}

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

TEST_F(ManifestTest, SameSizeCorruptLocalFileIsFetchedAgainAndTheFolderEndsByteExact) {
  EngineHarness sync;
  const Tree tree = {{"WoW.exe", "MZ game client"},
                     {"Data/big.MPQ", randomBytes(3 * 1024 * 1024 + 3, 21)},
                     {"Data/small.MPQ", "small"}};
  serveWithManifest(sync, tree);
  sync.start("game", false);
  ASSERT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  expectByteExact(sync, tree);
  EXPECT_FALSE(fs::exists(sync.local(manifest::kFileName.toStdString())));

  // A tool wrote other bytes of the same count and set the file's time back.
  const fs::path big = sync.local("Data/big.MPQ");
  const fs::file_time_type written = fs::last_write_time(big);
  writeBytes(big, withOneByteFlipped(tree.at("Data/big.MPQ")));
  fs::last_write_time(big, written);

  EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(sync.engine().progress().done(), int64_t(tree.at("Data/big.MPQ").size()));
  expectByteExact(sync, tree);
  EXPECT_EQ(entriesIn(sync.local("Data")), 2);
}

TEST_F(ManifestTest, FetchedFileThatDoesNotMatchIsFetchedOnceMoreThenRefused) {
  EngineHarness sync;
  const std::string published = randomBytes(1024 * 1024, 22);
  serveWithManifest(sync, {{"WoW.exe", "MZ game client"}, {"Data/a.MPQ", published}});
  sync.serve("Data/a.MPQ", withOneByteFlipped(published));
  sync.start("game", false);

  EXPECT_EQ(sync.install(), std::nullopt);
  const QString refused = "Data/a.MPQ does not match the patch server's manifest";
  EXPECT_EQ(sync.error, refused);
  EXPECT_EQ(sync.observer.lines.count(refused + "; fetching it once more"), 1)
      << sync.observer.logText();
  EXPECT_EQ(sync.engine().progress().done(), 2 * int64_t(published.size()));
  EXPECT_EQ(entriesIn(sync.local("Data")), 0) << "neither the file nor a partial copy stays";
}

// A copy spoilt once (on the way, or by a server that was being updated) is
// repaired by the second fetch.
TEST_F(ManifestTest, CopySpoiltOnceIsRepairedByTheSecondFetch) {
  EngineHarness sync;
  const std::string published = randomBytes(2 * 1024 * 1024, 23);
  const Tree tree = {{"Data/a.MPQ", published}};
  serveWithManifest(sync, tree);
  sync.serve("Data/a.MPQ", withOneByteFlipped(published));
  sync.start("game", false);
  // A new file in the old one's place: the first fetch's open file keeps its bytes.
  sync.observer.once([&] { return sync.engine().progress().done() >= int64_t(published.size()); },
                     [&] {
                       sync.serve("Data/a.MPQ.new", published);
                       fs::rename(sync.patchTree / "Data/a.MPQ.new", sync.patchTree / "Data/a.MPQ");
                     });

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(sync.observer.lines.count(
                "Data/a.MPQ does not match the patch server's manifest; fetching it once more"),
            1)
      << sync.observer.logText();
  EXPECT_EQ(sync.engine().progress().done(), 2 * int64_t(published.size()));
  EXPECT_EQ(sync.engine().progress().total(), 2 * int64_t(published.size()));
  expectByteExact(sync, tree);
}

TEST_F(ManifestTest, FilesTheManifestDoesNotNameAreNotFetched) {
  EngineHarness sync;
  const Tree tree = {{"WoW.exe", "MZ game client"}};
  serveWithManifest(sync, tree);
  sync.serve("Data/planted.dll", "not published by the operator");
  sync.start("game", false);

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  expectByteExact(sync, tree);
  EXPECT_FALSE(fs::exists(sync.local("Data/planted.dll")));
  EXPECT_TRUE(sync.observer.lines.contains(
      "Skipping Data/planted.dll: the patch server's manifest does not name it"))
      << sync.observer.logText();
  EXPECT_EQ(entriesIn(sync.local("")), 2) << "WoW.exe and the empty Data folder";
}

// With the digests of its files kept, a second check of an unchanged folder
// reads none of them; a file written since is read again, alone.
TEST_F(ManifestTest, SecondUpdateCheckOfAnUnchangedTreeReadsNoFile) {
  EngineHarness sync;
  const Tree tree = {{"WoW.exe", "MZ game client"},
                     {"Data/a.MPQ", randomBytes(1024 * 1024, 24)},
                     {"Data/b.MPQ", randomBytes(512 * 1024, 25)}};
  serveWithManifest(sync, tree);
  sync.start("game", true);
  int64_t treeBytes = 0;
  for (const auto& [path, content] : tree) {
    writeBytes(sync.local(path), content);  // a folder the player already had
    treeBytes += int64_t(content.size());
  }

  const auto check = [&] {
    const int64_t before = sync.engine().hashedBytes();
    EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, false})) << sync.error.toStdString();
    return sync.engine().hashedBytes() - before;
  };
  EXPECT_EQ(check(), treeBytes);
  EXPECT_EQ(check(), 0);
  writeBytes(sync.local("Data/b.MPQ"), tree.at("Data/b.MPQ"));
  EXPECT_EQ(check(), int64_t(tree.at("Data/b.MPQ").size()));
  EXPECT_EQ(check(), 0);
  expectByteExact(sync, tree);
}

// A launcher with an update key trusts only a manifest that key signed; any
// other is refused, and the reason goes to the log.
struct SignedCase {
  const char* name;
  bool withKey;
  // What the server holds beside the tree, given its manifest and two keys.
  std::function<void(EngineHarness& sync, const std::string& manifest, const SigningKey& updateKey,
                     const SigningKey& otherKey)>
      publish;
  const char* refusal;            // the log's reason; empty when the tree is accepted
  ReleaseRefusal::Reason reason;  // why a refused tree is
};

void PrintTo(const SignedCase& signedCase, std::ostream* out) {
  *out << signedCase.name;
}

using Reason = ReleaseRefusal::Reason;

const std::string kManifestName = manifest::kFileName.toStdString();
const std::string kSignatureName = manifest::kSignatureFileName.toStdString();

const SignedCase kSignedCases[] = {
    {"SignedByTheKey",
     true,
     [](EngineHarness& sync, const std::string& text, const SigningKey& key, const SigningKey&) {
       sync.serve(kSignatureName, key.signatureFile(text));
     },
     "",
     {}},
    {"OneByteFlipped", true,
     [](EngineHarness& sync, const std::string& text, const SigningKey& key, const SigningKey&) {
       sync.serve(kSignatureName, key.signatureFile(text));
       std::string tampered = text;
       tampered[tampered.find('\n') + 1] ^= 0x01;  // a digit of the first digest: still a manifest
       sync.serve(kManifestName, tampered);
     },
     "The patch server's manifest is refused: the signature does not match the manifest",
     Reason::Unsigned},
    {"SignedByAnotherKey", true,
     [](EngineHarness& sync, const std::string& text, const SigningKey&, const SigningKey& other) {
       sync.serve(kSignatureName, other.signatureFile(text));
     },
     "The patch server's manifest is refused: the signature does not match the manifest",
     Reason::Unsigned},
    {"NotSigned", true,
     [](EngineHarness&, const std::string&, const SigningKey&, const SigningKey&) {},
     "The patch server's manifest is not signed", Reason::Unsigned},
    {"SignatureNotInBase64", true,
     [](EngineHarness& sync, const std::string&, const SigningKey&, const SigningKey&) {
       sync.serve(kSignatureName, "not a signature\n");
     },
     "The patch server's manifest is refused: the signature is not 64 bytes in base64",
     Reason::Unsigned},
    {"NoManifestWithAKey", true,
     [](EngineHarness& sync, const std::string&, const SigningKey&, const SigningKey&) {
       fs::remove(sync.patchTree / kManifestName);
     },
     "The patch server publishes no manifest", Reason::Unsigned},
    {"UnsignedWithoutAKey",
     false,
     [](EngineHarness&, const std::string&, const SigningKey&, const SigningKey&) {},
     "",
     {}},
    {"UnreadableWithoutAKey", false,
     [](EngineHarness& sync, const std::string&, const SigningKey&, const SigningKey&) {
       sync.serve(kManifestName, "quorrel-manifest 1\n../../etc/passwd\n");
     },
     "Line 2 of the manifest: not a digest, a size and a path", Reason::Unreadable},
};

class SignedManifestTest : public ManifestTest, public ::testing::WithParamInterface<SignedCase> {};

TEST_P(SignedManifestTest, IsTrustedOnlyWithTheUpdateKeysSignature) {
  EngineHarness sync;
  const SigningKey updateKey;
  const SigningKey otherKey;
  const Tree tree = {{"WoW.exe", "MZ game client"}, {"Data/a.MPQ", "patch"}};
  const std::string text = serveWithManifest(
      sync, tree, GetParam().withKey ? std::optional(releaseOf(1)) : std::nullopt);
  GetParam().publish(sync, text, updateKey, otherKey);
  if (GetParam().withKey) sync.config.updatePublicKey = updateKey.publicKey();
  sync.start("game", false);
  const std::optional<FlowResult> result = sync.install();

  const QString refusal = QString::fromUtf8(GetParam().refusal);
  if (refusal.isEmpty()) {
    EXPECT_EQ(result, (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
    expectByteExact(sync, tree);
    return;
  }
  ASSERT_TRUE(result) << sync.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Untrusted);
  EXPECT_EQ(result->refusal.reason, GetParam().reason);
  EXPECT_FALSE(fs::exists(sync.local("WoW.exe")));
  EXPECT_FALSE(fs::exists(sync.local("Data/a.MPQ")));
  EXPECT_TRUE(sync.observer.lines.contains(refusal)) << sync.observer.logText();
}

INSTANTIATE_TEST_SUITE_P(Cases, SignedManifestTest, ::testing::ValuesIn(kSignedCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorrel::testing
