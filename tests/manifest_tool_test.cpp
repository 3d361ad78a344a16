// The operator's manifest tool: what it writes is what the launcher reads,
// signed as tools/sign-update signs a build.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <map>
#include <optional>

#include "manifest.h"
#include "sshd_server.h"
#include "update_signature.h"

namespace quorrel::testing {
namespace {

QByteArray contentOf(const QString& path) {
  QFile in(path);
  return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

// Prints as text when a comparison fails.
std::string textOf(const QString& path) {
  return contentOf(path).toStdString();
}

class ManifestToolTest : public ::testing::Test {
 protected:
  QString tree(const QString& relative = {}) const {
    return root_.filePath(relative.isEmpty() ? "tree" : "tree/" + relative);
  }
  void put(const QString& relative, const QByteArray& content) {
    QDir().mkpath(QFileInfo(tree(relative)).path());
    QFile out(tree(relative));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(content);
  }
  CommandResult makeManifest(const QString& key = {},
                             const std::vector<std::string>& options = {}) const {
    std::vector<std::string> command = {MAKE_MANIFEST};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(tree().toStdString());
    if (!key.isEmpty()) command.push_back(key.toStdString());
    return runCommand(command);
  }
  QString manifestFile() const { return tree(manifest::kFileName); }
  QString signatureFile() const { return tree(manifest::kSignatureFileName); }

  QTemporaryDir root_;
};

// The files the launcher's walk fetches: hidden ones too, links to files as
// their files, nothing through a link to a folder, and not the manifest and
// its signature at the root.
TEST_F(ManifestToolTest, WritesEveryFileTheLauncherFetches) {
  const std::map<QString, QByteArray> files = {
      {"WoW.exe", "MZ game client"},
      {"Data/with space.MPQ", QByteArray(300000, 'd')},
      {".../dots.txt", "three dots"},
      {QString::fromUtf8("Größe/ünïcødé.txt"), "non-ascii"},
      {"Data/" + manifest::kFileName, "a game file of that name, below the root"},
      {"Empty.MPQ", ""},
  };
  for (const auto& [path, content] : files) put(path, content);
  put(manifest::kFileName, "an old manifest");
  put(manifest::kSignatureFileName, "an old signature");
  ASSERT_TRUE(QFile::link("WoW.exe", tree("linked.exe")));
  ASSERT_TRUE(QFile::link(tree("Data"), tree("LinkedData")));

  const CommandResult made = makeManifest();
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const manifest::Manifest written = manifest::Manifest::parse(contentOf(manifestFile()));
  std::map<QString, QByteArray> expected = files;
  expected["linked.exe"] = files.at("WoW.exe");
  ASSERT_EQ(written.entries().size(), expected.size());
  for (const auto& [path, content] : expected) {
    SCOPED_TRACE(path.toStdString());
    const manifest::Entry* entry = written.find(path);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->size, content.size());
    EXPECT_EQ(entry->sha256, QCryptographicHash::hash(content, QCryptographicHash::Sha256));
  }
  EXPECT_FALSE(QFileInfo::exists(signatureFile())) << "an old signature would not match";

  const std::string first = textOf(manifestFile());
  ASSERT_EQ(makeManifest().exitCode, 0);
  EXPECT_EQ(textOf(manifestFile()), first) << "one tree, one manifest";
  const std::string relative = "cd '" + root_.path().toStdString() + "' && " MAKE_MANIFEST " tree";
  ASSERT_EQ(runCommand({"sh", "-c", relative}).exitCode, 0);
  EXPECT_EQ(textOf(manifestFile()), first) << "a folder named relative to where it runs";
}

// One scheme: Ed25519 signatures are deterministic, so the tool's signature
// is byte for byte the one sign-update makes of the same manifest.
TEST_F(ManifestToolTest, SignsAsSignUpdateDoes) {
  put("WoW.exe", "MZ game client");
  const QString key = root_.filePath("update-key.pem");
  const CommandResult keygen = runCommand({QUORREL_SIGN_TOOL, "keygen", key.toStdString()});
  ASSERT_EQ(keygen.exitCode, 0) << keygen.err;

  const CommandResult made = makeManifest(key);
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const QByteArray text = contentOf(manifestFile());
  const QByteArray signature = contentOf(signatureFile());
  EXPECT_NO_THROW(verifyUpdateSignature(QString::fromStdString(keygen.out), text,
                                        QString::fromLatin1(signature), "the manifest"));
  const QString copy = root_.filePath("copy");
  ASSERT_TRUE(QFile::copy(manifestFile(), copy));
  ASSERT_EQ(runCommand({QUORREL_SIGN_TOOL, "sign", key.toStdString(), copy.toStdString()}).exitCode,
            0);
  EXPECT_EQ(textOf(copy + ".sig"), signature.toStdString());
}

// A signed manifest names its release: one above the last the folder holds
// unless the operator names it, trusted for 30 days unless told otherwise.
TEST_F(ManifestToolTest, SignedManifestNamesTheNextReleaseAndItsExpiry) {
  put("WoW.exe", "MZ game client");
  const QString key = root_.filePath("update-key.pem");
  ASSERT_EQ(runCommand({QUORREL_SIGN_TOOL, "keygen", key.toStdString()}).exitCode, 0);
  const auto releaseWritten = [&](const std::vector<std::string>& options,
                                  const QString& withKey) -> std::optional<manifest::Release> {
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const CommandResult made = makeManifest(withKey, options);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    const manifest::Manifest written = manifest::Manifest::parse(contentOf(manifestFile()));
    if (written.release()) {
      const int days = options.size() == 2 && options[0] == "--days" ? std::stoi(options[1]) : 30;
      EXPECT_GE(written.release()->expires, before.addDays(days).addSecs(-1));
      EXPECT_LE(written.release()->expires, QDateTime::currentDateTimeUtc().addDays(days));
      EXPECT_NE(made.out.find("release " + std::to_string(written.release()->version) +
                              ", trusted until "),
                std::string::npos)
          << made.out;
    }
    return written.release();
  };
  EXPECT_FALSE(releaseWritten({}, {})) << "an unsigned manifest stays as older launchers read it";
  EXPECT_EQ(releaseWritten({}, key)->version, 1);
  EXPECT_EQ(releaseWritten({}, key)->version, 2);
  EXPECT_EQ(releaseWritten({"--release", "40"}, key)->version, 40);
  EXPECT_EQ(releaseWritten({"--days", "3"}, key)->version, 41);
  EXPECT_EQ(releaseWritten({"--days", "3"}, {})->version, 42) << "asked for, unsigned";

  put(manifest::kFileName, "quorrel-manifest 2\nrelease x\n");
  const CommandResult unreadable = makeManifest(key);
  EXPECT_EQ(unreadable.exitCode, 1);
  EXPECT_NE(unreadable.err.find("give --release"), std::string::npos) << unreadable.err;
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--release", "0"},
                                              {"--release", "-2"},
                                              {"--release"},
                                              {"--days", "x"},
                                              {"--days", "99999"}}) {
    EXPECT_EQ(makeManifest(key, bad).exitCode, 2) << bad[0];
  }
  EXPECT_EQ(contentOf(manifestFile()), "quorrel-manifest 2\nrelease x\n") << "left as it was";
}

TEST_F(ManifestToolTest, RefusesWhatTheLauncherCouldNotUse) {
  put("WoW.exe", "MZ game client");
  const QString notAKey = root_.filePath("not-a-key.pem");
  QFile(notAKey).open(QIODevice::WriteOnly);
  const CommandResult badKey = makeManifest(notAKey);
  EXPECT_EQ(badKey.exitCode, 1);
  EXPECT_NE(badKey.err.find("is not an Ed25519 private key"), std::string::npos) << badKey.err;
  EXPECT_FALSE(QFileInfo::exists(manifestFile()));

  put("Data/back\\slash.MPQ", "a name the launcher skips");
  const CommandResult badName = makeManifest();
  EXPECT_EQ(badName.exitCode, 1);
  EXPECT_NE(badName.err.find("Data/back\\slash.MPQ: the path holds a backslash"), std::string::npos)
      << badName.err;
  EXPECT_FALSE(QFileInfo::exists(manifestFile()));
}

// The objects a mirror serves: each file once, under its digest, whole; a
// second release adds only what changed and leaves what is there alone.
TEST_F(ManifestToolTest, WritesEachFileOnceAsAnObjectNamedByItsDigest) {
  put("WoW.exe", "MZ client");
  put("Data/a.MPQ", QByteArray(3 << 20, 'a'));
  put("Data/copy.MPQ", "MZ client");  // the same bytes: one object
  const QString objects = root_.filePath("objects-out");
  const CommandResult made =
      makeManifest({}, {"--mirror", "https://cdn.example/q", "--mirror", "https://mirror.example",
                        "--objects", objects.toStdString()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_NE(made.out.find("2 written, 1 there already"), std::string::npos) << made.out;
  const manifest::Manifest written = manifest::Manifest::parse(contentOf(manifestFile()));
  EXPECT_EQ(written.mirrors(), QStringList({"https://cdn.example/q", "https://mirror.example"}));
  ASSERT_TRUE(written.release());
  for (const manifest::Entry& entry : written.entries()) {
    SCOPED_TRACE(entry.path.toStdString());
    EXPECT_EQ(contentOf(objects + "/" + manifest::objectPath(entry.sha256)),
              contentOf(tree(entry.path)));
  }
  const QString clientObject =
      objects + "/" + manifest::objectPath(written.find("WoW.exe")->sha256);
  const QDateTime firstWritten = QFileInfo(clientObject).lastModified();

  put("Data/a.MPQ", "a new patch");
  const CommandResult next = makeManifest({}, {"--objects", objects.toStdString()});
  ASSERT_EQ(next.exitCode, 0) << next.err;
  EXPECT_NE(next.out.find("1 written, 2 there already"), std::string::npos) << next.out;
  EXPECT_EQ(QFileInfo(clientObject).lastModified(), firstWritten);
}

TEST_F(ManifestToolTest, RefusesMirrorsAndObjectsTheLauncherCouldNotUse) {
  put("WoW.exe", "MZ client");
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--mirror", "http://cdn.example/q"},
        {"--mirror", "https://user:pw@cdn.example/"},
        {"--objects", tree("objects").toStdString()}}) {
    SCOPED_TRACE(bad[1]);
    const CommandResult refused = makeManifest({}, bad);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(manifestFile()));
    EXPECT_FALSE(QFileInfo::exists(tree("objects")));
  }
}

}  // namespace
}  // namespace quorrel::testing
