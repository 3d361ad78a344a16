// The game folder's checked replacement of a file, and the digests of its files.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <optional>

#include "game_folder.h"
#include "io_error.h"
#include "partial_copy.h"

namespace quorrel::testing {
namespace {

const QByteArray kContent = "0123456789abcdefghij";

QByteArray sha256(const QByteArray& bytes) {
  return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

void write(TStream& stream, int64_t at, const QByteArray& bytes) {
  stream.setPosition(at);
  stream.write(bytes.constData(), bytes.size());
}

// How the blocks of a fetch arrive; the file must end as kContent to match.
struct ArrivalCase {
  const char* name;
  std::function<void(TStream&)> deliver;
  bool matches;
};

void PrintTo(const ArrivalCase& arrival, std::ostream* out) {
  *out << arrival.name;
}

const ArrivalCase kArrivals[] = {
    {"InOrder",
     [](TStream& s) {
       write(s, 0, kContent.left(8));
       write(s, 8, kContent.mid(8));
     },
     true},
    {"OutOfOrder",
     [](TStream& s) {
       write(s, 8, kContent.mid(8));
       write(s, 0, kContent.left(8));
     },
     true},
    {"OtherBytes", [](TStream& s) { write(s, 0, QByteArray(kContent.size(), 'x')); }, false},
    {"OtherBytesOutOfOrder",
     [](TStream& s) {
       write(s, 8, QByteArray(kContent.size() - 8, 'x'));
       write(s, 0, kContent.left(8));
     },
     false},
    // A block written again after the hash took it: the file holds the later bytes.
    {"EarlierBlockRewritten",
     [](TStream& s) {
       write(s, 0, kContent);
       write(s, 0, "XY");
     },
     false},
};

class CheckedReplaceTest : public ::testing::TestWithParam<ArrivalCase> {
 protected:
  QString file(const QString& name) const { return root_.filePath(name); }
  QByteArray contentOf(const QString& name) const {
    QFile in(file(name));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<missing>");
  }
  QTemporaryDir root_;
};

TEST_P(CheckedReplaceTest, PutsInPlaceOnlyAFileOfTheExpectedDigest) {
  QFile old(file("a.MPQ"));
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("old");
  old.close();
  const GameFolder folder(root_.path());
  const auto replace = [&] {
    folder.replaceFile(
        "a.MPQ", kContent.size(), std::nullopt,
        [&](TStream& stream, int64_t) { GetParam().deliver(stream); }, sha256(kContent));
  };
  if (GetParam().matches) {
    replace();
    EXPECT_EQ(contentOf("a.MPQ"), kContent);
  } else {
    EXPECT_THROW(replace(), ContentMismatch);
    EXPECT_EQ(contentOf("a.MPQ"), "old");
  }
  EXPECT_EQ(QDir(root_.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.MPQ"});
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckedReplaceTest, ::testing::ValuesIn(kArrivals),
                         [](const auto& info) { return std::string(info.param.name); });

// A fetch that goes on from a partial copy is checked over the whole file: the
// bytes the copy kept count as much as the new ones. A copy spoilt since an
// earlier run wrote it is refused and discarded, never gone on with again.
TEST(ResumedCheckTest, TheDigestCoversTheBytesThePartialCopyKept) {
  struct Case {
    const char* name;
    QByteArray kept;
    bool matches;
  };
  const Case cases[] = {
      {"KeptIntact", kContent.left(8), true},
      {"KeptSpoilt", "01234X67", false},
  };
  const partial_copy::Source source{kContent.size(), 1700000000};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir root;
    const auto put = [&](const QByteArray& name, const QByteArray& content) {
      QFile out(root.filePath(QString::fromLatin1(name)));
      ASSERT_TRUE(out.open(QIODevice::WriteOnly));
      out.write(content);
    };
    put("a.MPQ", "old");
    put(partial_copy::copyName("a.MPQ"), c.kept);
    put(partial_copy::recordName("a.MPQ"), partial_copy::recordText(source));
    int64_t startedAt = -1;
    const auto replace = [&] {
      GameFolder(root.path())
          .replaceFile(
              "a.MPQ", kContent.size(), source,
              [&](TStream& stream, int64_t from) {
                startedAt = from;
                write(stream, from, kContent.mid(from));
              },
              sha256(kContent));
    };
    QFile target(root.filePath("a.MPQ"));
    if (c.matches) {
      replace();
      ASSERT_TRUE(target.open(QIODevice::ReadOnly));
      EXPECT_EQ(target.readAll(), kContent);
    } else {
      EXPECT_THROW(replace(), ContentMismatch);
      ASSERT_TRUE(target.open(QIODevice::ReadOnly));
      EXPECT_EQ(target.readAll(), "old");
    }
    EXPECT_EQ(startedAt, c.kept.size());
    EXPECT_EQ(QDir(root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.MPQ"});
  }
}

// A link inside the game folder is read like the file it points to; one that
// leads out of the folder is neither stamped nor read.
TEST(GameFolderDigestTest, ReadsFilesAndLinksInsideButNothingOutside) {
#ifdef _WIN32
  GTEST_SKIP() << "QFile::link makes a shell shortcut on Windows, and Wine makes no symbolic links";
#endif
  QTemporaryDir root;
  QDir().mkpath(root.filePath("game/Data"));
  for (const QString& path : {root.filePath("game/Data/a.MPQ"), root.filePath("outside.txt")}) {
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(kContent);
  }
  ASSERT_TRUE(QFile::link(root.filePath("game/Data/a.MPQ"), root.filePath("game/inside.MPQ")));
  ASSERT_TRUE(QFile::link(root.filePath("outside.txt"), root.filePath("game/outside.MPQ")));
  const GameFolder folder(root.filePath("game"));

  int64_t bytesRead = 0;
  for (const QString& relative : {QString("Data/a.MPQ"), QString("inside.MPQ")}) {
    SCOPED_TRACE(relative.toStdString());
    ASSERT_TRUE(folder.stampOf(relative));
    EXPECT_EQ(folder.stampOf(relative)->size, kContent.size());
    EXPECT_EQ(folder.sha256Of(relative, bytesRead), sha256(kContent));
  }
  EXPECT_EQ(bytesRead, 2 * kContent.size());
  EXPECT_FALSE(folder.stampOf("outside.MPQ"));
  EXPECT_FALSE(folder.stampOf("Data"));
  EXPECT_THROW(folder.sha256Of("outside.MPQ", bytesRead), InOutError);
  EXPECT_EQ(bytesRead, 2 * kContent.size());
}

}  // namespace
}  // namespace quorrel::testing
