// The support log: timestamped lines, a few MiB at most, one older copy.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "support_log.h"

namespace quorrel::testing {
namespace {

QStringList linesOf(const QString& file) {
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(in.readAll()).split('\n', Qt::SkipEmptyParts);
}

TEST(SupportLogTest, LinesCarryTheirTimeAndGoToANewFolder) {
  QTemporaryDir root;
  SupportLog log(root.filePath("state/Quorrel/launcher.log"));
  log.write("first");
  log.write("second");
  const QStringList lines = linesOf(log.file());
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[0].endsWith(" first"));
  EXPECT_TRUE(QDateTime::fromString(lines[0].section(' ', 0, 0), Qt::ISODateWithMs).isValid())
      << lines[0].toStdString();
}

TEST(SupportLogTest, AFullFileBecomesTheOneOlderCopy) {
  QTemporaryDir root;
  SupportLog log(root.filePath("launcher.log"), 200);
  for (int i = 0; i < 30; ++i) log.write(QStringLiteral("line %1").arg(i));
  EXPECT_LE(QFileInfo(log.file()).size(), 200 + 60);
  EXPECT_TRUE(QFileInfo::exists(log.file() + ".1"));
  EXPECT_FALSE(QFileInfo::exists(log.file() + ".2"));
  EXPECT_TRUE(linesOf(log.file()).last().endsWith(" line 29"));
}

#ifdef Q_OS_WIN
// Windows keeps it with the user's data that stays on this machine.
TEST(SupportLogTest, FileIsUnderTheLocalApplicationData) {
  const QString file = SupportLog::defaultFile();
  EXPECT_TRUE(QDir::isAbsolutePath(file)) << file.toStdString();
  EXPECT_TRUE(file.endsWith("/AppData/Local/Quorrel/launcher.log", Qt::CaseInsensitive))
      << file.toStdString();
}
#else
TEST(SupportLogTest, StateFolderFollowsTheXdgRules) {
  const QByteArray saved = qgetenv("XDG_STATE_HOME");
  qputenv("XDG_STATE_HOME", "/somewhere/state");
  EXPECT_EQ(SupportLog::defaultFile(), "/somewhere/state/Quorrel/launcher.log");
  qputenv("XDG_STATE_HOME", "relative/state");  // not absolute: ignored, as the rules say
  EXPECT_EQ(SupportLog::defaultFile(), QDir::homePath() + "/.local/state/Quorrel/launcher.log");
  qputenv("XDG_STATE_HOME", saved);
}
#endif

}  // namespace
}  // namespace quorrel::testing
