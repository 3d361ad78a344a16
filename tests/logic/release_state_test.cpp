// The highest release of each patch server that the launcher accepted, kept
// between runs.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "exception.h"
#include "release_state.h"

namespace quorrel::testing {
namespace {

const QString kServer = QStringLiteral("patch.example.net:22 /srv/game files");
const QString kOther = QStringLiteral("other.example.net:2222 /upload");

class ReleaseStateTest : public ::testing::Test {
 protected:
  QString state() const { return root_.filePath("state"); }
  void writeFile(const QByteArray& content) {
    QDir().mkpath(state());
    QFile file(ReleaseState(state()).file());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
  }
  QTemporaryDir root_;
};

TEST_F(ReleaseStateTest, OnlyGoesUpPerServerAndLastsBetweenRuns) {
  EXPECT_EQ(ReleaseState(state()).highest(kServer), 0);
  {
    ReleaseState releases(state());
    releases.accept(kServer, 5);
    releases.accept(kServer, 3);  // an older release never lowers the mark
    releases.accept(kOther, 9);
  }
  ReleaseState again(state());
  EXPECT_EQ(again.highest(kServer), 5);
  EXPECT_EQ(again.highest(kOther), 9);
  EXPECT_EQ(again.highest(QStringLiteral("patch.example.net:22 /srv/game")), 0);
  again.accept(kServer, 6);
  EXPECT_EQ(ReleaseState(state()).highest(kServer), 6);
  EXPECT_EQ(ReleaseState(state()).highest(kOther), 9);
}

// A damaged or planted file costs only the memory of the lines it spoils.
TEST_F(ReleaseStateTest, LinesThatCannotBeReadAreLeftOut) {
  writeFile(
      "quorrel-releases 1\n"
      "x7 bad number\n"
      "0 zero\n"
      "-4 negative\n"
      "12\n"
      "99999999999999999999 too large\n"
      "4 " +
      kServer.toUtf8() +
      "\n"
      "2 " +
      kServer.toUtf8() + "\n");
  ReleaseState releases(state());
  EXPECT_EQ(releases.highest(kServer), 4);
  for (const char* server : {"bad number", "zero", "negative", "", "too large"})
    EXPECT_EQ(releases.highest(QString::fromLatin1(server)), 0) << server;
}

TEST_F(ReleaseStateTest, OtherFilesAreNotRead) {
  for (const QByteArray& content :
       {QByteArray("quorrel-releases 2\n4 a\n"), QByteArray("4 a\n"),
        QByteArray("quorrel-releases 1\n4 a\n") + QByteArray(ReleaseState::kMaxFileBytes, '\n')}) {
    writeFile(content);
    EXPECT_EQ(ReleaseState(state()).highest(QStringLiteral("a")), 0);
  }
}

// A link in the file's place is neither believed nor written through.
TEST_F(ReleaseStateTest, LinkInTheFilesPlaceIsReplaced) {
  const QString elsewhere = root_.filePath("elsewhere");
  ReleaseState(elsewhere).accept(kServer, 8);
  QDir().mkpath(state());
  const QString file = ReleaseState(state()).file();
  ASSERT_TRUE(QFile::link(ReleaseState(elsewhere).file(), file));
  ReleaseState releases(state());
  EXPECT_EQ(releases.highest(kServer), 0);
  releases.accept(kOther, 2);
  EXPECT_FALSE(QFileInfo(file).isSymLink());
  EXPECT_EQ(ReleaseState(elsewhere).highest(kServer), 8);
  EXPECT_EQ(ReleaseState(elsewhere).highest(kOther), 0);
  EXPECT_EQ(ReleaseState(state()).highest(kOther), 2);
}

TEST_F(ReleaseStateTest, FileThatCannotBeWrittenIsAnError) {
  QDir().mkpath(ReleaseState(state()).file());  // a folder in the file's place
  EXPECT_THROW(ReleaseState(state()).accept(kServer, 1), Exception);
}

}  // namespace
}  // namespace quorrel::testing
