// The support log: timestamped lines, a few MiB at most, one older copy.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <iterator>

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

// No text that reaches the log, a file name from the patch server say, can
// end its line early, forge another, or drive the terminal or the text
// direction of whoever reads the log: each such character is written as an
// escape, and every call stays one line.
struct EscapeCase {
  const char* what;
  QString text;
  QString written;
};

const EscapeCase kEscapes[] = {
    {"plain text", "Download a b.MPQ|12", "Download a b.MPQ|12"},
    {"tab, line feed, carriage return", "a\tb\nc\rd", "a\\tb\\nc\\rd"},
    {"forged line", "x.MPQ\n2026-01-01T00:00:00.000 Update complete",
     "x.MPQ\\n2026-01-01T00:00:00.000 Update complete"},
    {"other C0 controls and ESC", QString("\x01|") + QChar(0) + "|\x1b[31mred\x1b[0m|\x1f",
     "\\x01|\\x00|\\x1b[31mred\\x1b[0m|\\x1f"},
    {"DEL", QString("a") + QChar(0x7f) + "b", "a\\x7fb"},
    {"C1 controls", QString(QChar(0x80)) + QChar(0x85) + QChar(0x9b) + "2J" + QChar(0x9f),
     "\\x80\\x85\\x9b2J\\x9f"},
    {"line and paragraph separators", QString("a") + QChar(0x2028) + "b" + QChar(0x2029),
     "a\\u2028b\\u2029"},
    {"bidirectional controls",
     QString(QChar(0x202a)) + QChar(0x202b) + QChar(0x202c) + QChar(0x202d) + QChar(0x202e) +
         "exe.txt" + QChar(0x2066) + QChar(0x2067) + QChar(0x2068) + QChar(0x2069),
     "\\u202a\\u202b\\u202c\\u202d\\u202eexe.txt\\u2066\\u2067\\u2068\\u2069"},
    {"neighbours kept", QString::fromUtf8("~ \u00a0\u00e9 \u2027\u202f\u2065\u206a \U0001F600 \\n"),
     QString::fromUtf8("~ \u00a0\u00e9 \u2027\u202f\u2065\u206a \U0001F600 \\n")},
};

TEST(SupportLogTest, ControlCharactersAreEscapedAndEachLineStaysOne) {
  QTemporaryDir root;
  SupportLog log(root.filePath("launcher.log"));
  for (const EscapeCase& c : kEscapes) log.write(c.text);
  QFile in(log.file());
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = in.readAll().split('\n');
  // Each line ends with its line feed.
  ASSERT_EQ(lines.size(), static_cast<qsizetype>(std::size(kEscapes)) + 1);
  EXPECT_TRUE(lines.last().isEmpty());
  for (size_t i = 0; i < std::size(kEscapes); ++i) {
    SCOPED_TRACE(kEscapes[i].what);
    const QString line = QString::fromUtf8(lines[i]);
    EXPECT_EQ(line.section(' ', 1), kEscapes[i].written);
    EXPECT_FALSE(line.contains('\r'));
  }
}

QByteArray contentOf(const QString& file) {
  QFile in(file);
  return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

// A link at the log's name, to a file of the player's say, is not written
// through: the link is replaced by a fresh log, which says so, and the
// lines go on into it.
TEST(SupportLogTest, ALinkAtItsNameIsReplacedNotWrittenThrough) {
#ifdef Q_OS_WIN
  GTEST_SKIP() << "QFile::link makes a shell shortcut on Windows, and Wine makes no symbolic links";
#endif
  QTemporaryDir root;
  const QString other = root.filePath("other.txt");
  {
    QFile out(other);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write("the player's own file\n");
  }
  SupportLog log(root.filePath("launcher.log"));
  ASSERT_TRUE(QFile::link(other, log.file()));
  log.write("first");
  log.write("second");

  EXPECT_EQ(contentOf(other), "the player's own file\n");
  EXPECT_FALSE(QFileInfo(log.file()).isSymLink());
  const QStringList lines = linesOf(log.file());
  ASSERT_EQ(lines.size(), 3) << lines.join('|').toStdString();
  EXPECT_TRUE(lines[0].endsWith(" Replaced a link at " + log.file() + " with a fresh log"))
      << lines[0].toStdString();
  EXPECT_TRUE(lines[1].endsWith(" first"));
  EXPECT_TRUE(lines[2].endsWith(" second"));
}

// An older copy that cannot be made (a folder in its place) does not let
// the log grow without bound: a fresh file starts, and says once why.
TEST(SupportLogTest, AnOlderCopyThatCannotBeMadeStillKeepsTheBound) {
  QTemporaryDir root;
  SupportLog log(root.filePath("launcher.log"), 200);
  ASSERT_TRUE(QDir().mkpath(log.file() + ".1"));
  for (int i = 0; i < 40; ++i) log.write(QStringLiteral("line %1").arg(i));

  EXPECT_LE(QFileInfo(log.file()).size(), 200 + 200);
  EXPECT_TRUE(QFileInfo(log.file() + ".1").isDir());
  const QStringList lines = linesOf(log.file());
  ASSERT_FALSE(lines.isEmpty());
  const QString note = " Cannot keep the older log " + log.file() + ".1: ";
  EXPECT_EQ(lines.filter(note).size(), 1) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[0].contains(note)) << lines[0].toStdString();
  EXPECT_GT(lines[0].size(), lines[0].indexOf(note) + note.size()) << "the reason is given";
  EXPECT_TRUE(lines.last().endsWith(" line 39"));
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
