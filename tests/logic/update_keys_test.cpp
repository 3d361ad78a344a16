// The keys a launcher takes signatures from, as an operator replaces one, and
// the signed list of the launcher's own release.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>

#include "launcher_release.h"
#include "sha256.h"
#include "signing_key.h"
#include "update_keys.h"
#include "update_signature.h"

namespace quorrel::testing {
namespace {

const QByteArray kData = QByteArrayLiteral("quorrel-launcher-release 1\nversion 1.0.4\n");

class UpdateKeysTest : public ::testing::Test {
 protected:
  QString state() const { return root_.filePath("state"); }
  UpdateKeys keys(const SigningKey& builtIn) const {
    return UpdateKeys(state(), builtIn.publicKey());
  }
  static bool takes(UpdateKeys& keys, const SigningKey& signer) {
    try {
      keys.verify(kData, QString::fromStdString(signer.signatureFile(kData.toStdString())),
                  "the data");
      return true;
    } catch (const SignatureError&) {
      return false;
    }
  }
  QTemporaryDir root_;
  const SigningKey first, second, third;
};

// The whole life of a rotation, each step in a run of its own.
TEST_F(UpdateKeysTest, NextKeyIsTakenBesideTheOldUntilItSignsThenAlone) {
  {
    UpdateKeys run = keys(first);
    EXPECT_TRUE(takes(run, first));
    EXPECT_FALSE(takes(run, second));
    run.expectNext(second.publicKey());
  }
  {
    UpdateKeys run = keys(first);
    EXPECT_EQ(run.trusted(), (QStringList{first.publicKey(), second.publicKey()}));
    EXPECT_TRUE(takes(run, first)) << "the old key signs until the operator switches";
    EXPECT_FALSE(takes(run, third));
    EXPECT_TRUE(takes(run, second));
  }
  for (const SigningKey* build : {&first, &second}) {
    UpdateKeys run = keys(*build);
    EXPECT_EQ(run.trusted(), QStringList{second.publicKey()});
    EXPECT_FALSE(takes(run, first)) << "the replaced key was taken again";
  }
}

TEST_F(UpdateKeysTest, BuildWithAnUnrelatedKeyStartsAfresh) {
  keys(first).expectNext(second.publicKey());
  UpdateKeys other = keys(third);
  EXPECT_EQ(other.trusted(), QStringList{third.publicKey()});
  EXPECT_TRUE(takes(other, third));
}

TEST_F(UpdateKeysTest, UnreadableStateFallsBackToTheBuiltInKey) {
  const QByteArray contents[] = {"", "quorrel-update-keys 9\ncurrent x\n",
                                 "quorrel-update-keys 1\nbuilt-in x\n",
                                 QByteArray(UpdateKeys::kMaxFileBytes + 1, 'a')};
  for (const QByteArray& content : contents) {
    QDir().mkpath(state());
    QFile file(keys(first).file());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    EXPECT_EQ(keys(first).trusted(), QStringList{first.publicKey()})
        << content.left(40).toStdString();
  }
}

TEST(UpdateKeysWithoutKeyTest, SignsNothing) {
  QTemporaryDir root;
  EXPECT_FALSE(UpdateKeys(root.path(), QString()).enabled());
}

// --- The launcher's release list -------------------------------------------

QByteArray line(const char* content, const char* path) {
  return Sha256::of(content).toHex() + ' ' + QByteArray::number(qstrlen(content)) + ' ' + path +
         '\n';
}

const QByteArray kHead =
    "quorrel-launcher-release 1\nversion 1.0.4\nexpires 2027-01-31T12:00:00Z\n";

TEST(LauncherReleaseTest, ReadsVersionExpiryNextKeyAndFiles) {
  const SigningKey next;
  const QByteArray text = kHead + "next-key " + next.publicKey().toLatin1() + '\n' +
                          line("exe", "QuorrelLauncher.exe") + line("qt", "platforms/qwindows.dll");
  const LauncherRelease release = LauncherRelease::parse(text);
  EXPECT_EQ(release.version, "1.0.4");
  EXPECT_EQ(release.expires, QDateTime(QDate(2027, 1, 31), QTime(12, 0), QTimeZone::utc()));
  EXPECT_EQ(release.nextKey, next.publicKey());
  ASSERT_EQ(release.files.size(), 2u);
  EXPECT_EQ(release.files[1].path, "platforms/qwindows.dll");
  EXPECT_EQ(release.files[1].size, 2);
  EXPECT_EQ(release.files[1].sha256, Sha256::of("qt"));
  EXPECT_EQ(release.find("QuorrelLauncher.exe"), &release.files[0]);
  EXPECT_EQ(release.find("quorrellauncher.exe"), nullptr);
}

struct RefusedCase {
  const char* name;
  QByteArray text;
  const char* reason;
};

const RefusedCase kRefused[] = {
    {"Empty", "", "empty"},
    {"CutLine", kHead + line("a", "a").chopped(1), "middle of a line"},
    {"OtherHeader", "quorrel-manifest 2\nversion 1.0.4\nexpires 2027-01-31T12:00:00Z\n",
     "Line 1 of the launcher release"},
    {"NoVersion", "quorrel-launcher-release 1\nexpires 2027-01-31T12:00:00Z\nx\n", "Line 2"},
    {"VersionNotANumber",
     "quorrel-launcher-release 1\nversion 1.0.x\nexpires 2027-01-31T12:00:00Z\n", "Line 2"},
    {"VersionTooLong",
     "quorrel-launcher-release 1\nversion 1.0.400000\nexpires 2027-01-31T12:00:00Z\n", "Line 2"},
    {"ExpiryInAnotherSpelling",
     "quorrel-launcher-release 1\nversion 1.0.4\nexpires 2027-01-31 12:00:00\n", "Line 3"},
    {"NextKeyNotAKey", kHead + "next-key abc\n", "Line 4 of the launcher release: the next key"},
    {"PathLeavesTheFolder", kHead + line("a", "../evil.dll"), "Line 4"},
    {"AbsolutePath", kHead + line("a", "/usr/lib/evil.so"), "absolute"},
    {"OtherDrive", kHead + line("a", "C:/Windows/evil.dll"),
     "Line 4 of the launcher release: the path holds a colon"},
    {"SameFileTwiceInOtherCase", kHead + line("a", "Qt6Core.dll") + line("b", "qt6core.dll"),
     "Line 5 of the launcher release: qt6core.dll is listed twice"},
    {"TooLarge", kHead + QByteArray(LauncherRelease::kMaxBytes, 'a') + '\n', "larger than"},
};

class LauncherReleaseRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(LauncherReleaseRefusedTest, NamesTheLine) {
  try {
    LauncherRelease::parse(GetParam().text);
    FAIL() << "taken";
  } catch (const ManifestError& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().reason), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, LauncherReleaseRefusedTest, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorrel::testing
