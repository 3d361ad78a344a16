// The game folder's checked replacement of a file, and the digests of its files.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// What a path looks like in a message: the system's own separators.
std::string shown(const QString& path) {
  return QDir::toNativeSeparators(path).toStdString();
}

// What an error says of its place: an InOutError in its cause, after the
// general text of its code.
std::string said(const Exception& error) {
  const auto* inOut = dynamic_cast<const InOutError*>(&error);
  return inOut ? inOut->cause() : error.what();
}

void makeFile(const QString& path) {
  QFile out(path);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write(kContent);
}

// A replacement refused before anything is fetched, and the message that says why.
struct RefusalCase {
  const char* relative;
  const char* message;  // "%1" stands for the game folder's path
};

class RefusedReplaceTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedReplaceTest, NamesThePlaceAndFetchesNothing) {
  QTemporaryDir root;
  const QString game = root.filePath("game");
  ASSERT_TRUE(QDir().mkpath(game + "/Data"));
  makeFile(game + "/file.txt");
  const GameFolder folder(game);
  bool fetched = false;
  try {
    folder.replaceFile(GetParam().relative, kContent.size(), std::nullopt,
                       [&](TStream&, int64_t) { fetched = true; });
    FAIL() << "replaced";
  } catch (const Exception& error) {
    const std::string expected = shown(QString::fromUtf8(GetParam().message).arg(game));
    EXPECT_EQ(said(error).substr(0, expected.size()), expected) << said(error);
  }
  EXPECT_FALSE(fetched);
  EXPECT_TRUE(QFileInfo(game + "/Data").isDir());
}

INSTANTIATE_TEST_SUITE_P(GameFolder, RefusedReplaceTest,
                         ::testing::Values(RefusalCase{"Data", "%1/Data is a folder"},
                                           RefusalCase{"file.txt/a.MPQ",
                                                       "Cannot open the folder %1/file.txt"},
                                           RefusalCase{"", "No file name in "}));

TEST(RefusedReplaceTest, TheCopysFolderIsNamedAsThePlayersToRemove) {
  QTemporaryDir root;
  const QString copy = root.filePath("Data/" + QFile::decodeName(partial_copy::copyName("a.MPQ")));
  ASSERT_TRUE(QDir().mkpath(copy));
  try {
    GameFolder(root.path()).replaceFile("Data/a.MPQ", 1, std::nullopt, [](TStream&, int64_t) {});
    FAIL() << "replaced";
  } catch (const Exception& error) {
    EXPECT_EQ(error.what(),
              shown(copy) + " is a folder in the place of the launcher's partial copy");
  }
}

TEST(GameFolderTest, AMissingGameFolderIsNamedAndHoldsNoFile) {
  QTemporaryDir root;
  const GameFolder folder(root.filePath("missing"));
  EXPECT_EQ(folder.fileSize("a.MPQ"), -1);
  int64_t bytesRead = 0;
  try {
    folder.sha256Of("a.MPQ", bytesRead);
    FAIL() << "read";
  } catch (const InOutError& error) {
    const std::string expected = "Cannot open the game folder " + shown(root.filePath("missing"));
    EXPECT_EQ(said(error).substr(0, expected.size()), expected) << said(error);
  }
  EXPECT_GT(GameFolder(root.path()).freeSpace(), 0);
  EXPECT_THROW(folder.freeSpace(), InOutError);
}

TEST(FolderTrailTest, CreatesWhatIsMissingUsesWhatIsThereAndStopsAtAFile) {
  QTemporaryDir root;
  ASSERT_TRUE(QDir().mkpath(root.filePath("Data/Old")));
  makeFile(root.filePath("Data/file.txt"));
  FolderTrail trail(root.path() + "/");
  trail.enter("Data");
  trail.enter("Old");
  trail.leave();
  trail.enter("New");
  EXPECT_EQ(trail.depth(), 2u);
  EXPECT_TRUE(QFileInfo(root.filePath("Data/New")).isDir());
  trail.leave();
  try {
    trail.enter("file.txt");
    FAIL() << "entered a file";
  } catch (const InOutError& error) {
    const std::string expected = "Cannot open the folder " + shown(root.filePath("Data/file.txt"));
    EXPECT_EQ(said(error).substr(0, expected.size()), expected) << said(error);
  }
  EXPECT_EQ(trail.depth(), 1u);
  trail.leave();
  trail.leave();  // no further than the game folder
  EXPECT_EQ(trail.depth(), 0u);
}

TEST(FolderTrailTest, EntersALinkOnlyWhereItLeadsInside) {
#ifdef _WIN32
  GTEST_SKIP() << "QFile::link makes a shell shortcut on Windows, and Wine makes no symbolic links";
#endif
  QTemporaryDir root;
  ASSERT_TRUE(QDir().mkpath(root.filePath("game/Data")));
  ASSERT_TRUE(QDir().mkpath(root.filePath("outside")));
  ASSERT_TRUE(QFile::link(root.filePath("game/Data"), root.filePath("game/Inside")));
  ASSERT_TRUE(QFile::link(root.filePath("outside"), root.filePath("game/Outside")));
  FolderTrail trail(root.filePath("game"));
  trail.enter("Inside");
  trail.enter("Made");
  EXPECT_TRUE(QFileInfo(root.filePath("game/Data/Made")).isDir());
  trail.leave();
  trail.leave();
  try {
    trail.enter("Outside");
    FAIL() << "entered a link outside";
  } catch (const InOutError& error) {
    EXPECT_EQ(said(error), shown(root.filePath("game/Outside")) + " links outside the game folder");
  }
  EXPECT_EQ(trail.depth(), 0u);
}

TEST(ProtectedFolderTest, RootsHomeAndTheSystemsFoldersButNotAGameFolder) {
  QTemporaryDir root;
  EXPECT_TRUE(isProtectedFolder(QDir::rootPath()));
  EXPECT_TRUE(isProtectedFolder(QDir::homePath()));
#ifdef _WIN32
  const QString system = qEnvironmentVariable("SystemRoot");
  EXPECT_TRUE(isProtectedFolder(system));
  EXPECT_TRUE(isProtectedFolder(system.toLower() + "/System32"));
#else
  EXPECT_TRUE(isProtectedFolder("/usr"));
  EXPECT_TRUE(isProtectedFolder("/usr/share"));
#endif
  EXPECT_FALSE(isProtectedFolder(root.path()));
  EXPECT_FALSE(isProtectedFolder(root.filePath("missing")));
}

}  // namespace
}  // namespace quorrel::testing
