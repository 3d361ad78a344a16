// The digests of a game folder's files, kept between runs.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "hash_cache.h"
#include "memory_rise.h"

namespace quorrel::testing {
namespace {

const QByteArray kDigest(32, '\x5a');
const FileStamp kStamp{10, 1700000000123456789, 1700000000223456789};

class HashCacheTest : public ::testing::Test {
 protected:
  QString state() const { return root_.filePath("state"); }
  QString game() const { return root_.filePath("game"); }
  QTemporaryDir root_;
};

TEST_F(HashCacheTest, DigestIsFoundOnlyForTheSameStamp) {
  {
    HashCache cache(state(), game());
    cache.record("Data/a b.MPQ", kStamp, kDigest);
    cache.save();
  }
  HashCache cache(state(), game());
  EXPECT_EQ(cache.find("Data/a b.MPQ", kStamp), kDigest);
  for (const FileStamp other : {FileStamp{11, kStamp.modifiedNs, kStamp.changedNs},
                                FileStamp{10, kStamp.modifiedNs + 1, kStamp.changedNs},
                                FileStamp{10, kStamp.modifiedNs, kStamp.changedNs + 1}})
    EXPECT_FALSE(cache.find("Data/a b.MPQ", other));
  EXPECT_FALSE(cache.find("Data/a", kStamp));
}

// Each game folder has its own cache, and a file that no run looked at again
// (gone from the folder) is dropped when the cache is written.
TEST_F(HashCacheTest, OneCachePerFolderAndUnusedEntriesDropOut) {
  {
    HashCache cache(state(), game());
    cache.record("kept", kStamp, kDigest);
    cache.record("gone", kStamp, kDigest);
    cache.save();
  }
  EXPECT_FALSE(HashCache(state(), root_.filePath("other game")).find("kept", kStamp));
  {
    HashCache cache(state(), game());
    ASSERT_TRUE(cache.find("kept", kStamp));
    cache.save();
  }
  HashCache cache(state(), game());
  EXPECT_TRUE(cache.find("kept", kStamp));
  EXPECT_FALSE(cache.find("gone", kStamp));
}

// An unchanged folder leaves its cache as it is: nothing is written. The
// line added by hand shows whether the file was written again.
TEST_F(HashCacheTest, CacheIsWrittenOnlyWhenItChanges) {
  const auto appendMarker = [](const QString& file) {
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::Append));
    out.write("marker\n");
  };
  const auto holdsMarker = [](const QString& file) {
    QFile in(file);
    return in.open(QIODevice::ReadOnly) && in.readAll().endsWith("marker\n");
  };
  QString file;
  {
    HashCache cache(state(), game());
    cache.record("a", kStamp, kDigest);
    cache.save();
    file = cache.file();
  }
  appendMarker(file);
  {
    HashCache cache(state(), game());
    ASSERT_TRUE(cache.find("a", kStamp));
    cache.save();
  }
  EXPECT_TRUE(holdsMarker(file)) << "every entry used, none recorded";
  {
    HashCache cache(state(), game());
    ASSERT_TRUE(cache.find("a", kStamp));
    cache.record("b", kStamp, kDigest);
    cache.save();
  }
  EXPECT_FALSE(holdsMarker(file)) << "one recorded";
  appendMarker(file);
  {
    HashCache cache(state(), game());
    ASSERT_TRUE(cache.find("a", kStamp));
    cache.save();
  }
  EXPECT_FALSE(holdsMarker(file)) << "one not used: it drops out";
  EXPECT_FALSE(HashCache(state(), game()).find("b", kStamp));
}

// A damaged cache costs only the reading of the files it no longer vouches for.
TEST_F(HashCacheTest, LinesThatCannotBeReadAreLeftOut) {
  HashCache first(state(), game());
  first.record("first", kStamp, kDigest);
  first.save();
  QFile file(first.file());
  ASSERT_TRUE(file.open(QIODevice::Append));
  const QByteArray stamp = " 10 1700000000123456789 1700000000223456789 ";
  file.write(kDigest.toHex() + stamp + "good\n");
  file.write("zz" + stamp + "bad digest\n");
  file.write(kDigest.toHex() + " ten 1 2 bad size\n");
  file.write(kDigest.toHex() + stamp + "cut");
  file.close();
  HashCache cache(state(), game());
  EXPECT_TRUE(cache.find("first", kStamp));
  EXPECT_TRUE(cache.find("good", kStamp));
  EXPECT_FALSE(cache.find("bad digest", kStamp));
  EXPECT_FALSE(cache.find("cut", kStamp));
}

// A cache file of `size` bytes, sparse where it is not written: its header
// and a line for "first" at its start, a line for "last" at its end, and
// zero bytes between them, a line longer than any of the launcher's.
void writeSparseCache(const QString& file, qint64 size) {
  const QByteArray stamp = " 10 1700000000123456789 1700000000223456789 ";
  const QByteArray head = "quorrel-hash-cache 1\n" + kDigest.toHex() + stamp + "first\n";
  const QByteArray tail = '\n' + kDigest.toHex() + stamp + "last\n";
  QDir().mkpath(QFileInfo(file).path());
  QFile out(file);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  ASSERT_EQ(out.write(head), head.size());
  ASSERT_TRUE(out.resize(size - tail.size()));
  ASSERT_TRUE(out.seek(size - tail.size()));
  ASSERT_EQ(out.write(tail), tail.size());
  out.close();
  ASSERT_EQ(QFileInfo(file).size(), size);
}

// A cache larger than any the launcher writes is not read, and written anew
// at the next save; one within the bound is read past a line longer than any
// of the launcher's, without taking that line into memory.
TEST_F(HashCacheTest, ReadsNoCacheOrLineBeyondTheBounds) {
  const QString file = HashCache(state(), game()).file();
  {
    writeSparseCache(file, HashCache::kMaxFileBytes + 1);
    HashCache cache(state(), game());
    EXPECT_FALSE(cache.find("first", kStamp));
    EXPECT_FALSE(cache.find("last", kStamp));
    cache.save();
    EXPECT_LT(QFileInfo(file).size(), 100) << "written anew";
  }
  writeSparseCache(file, HashCache::kMaxFileBytes);
  const MemoryRise memory;
  HashCache cache(state(), game());
  EXPECT_TRUE(cache.find("first", kStamp));
  EXPECT_TRUE(cache.find("last", kStamp));
  // The long line alone is 128 MiB; reading it whole would show.
  EXPECT_LT(memory.peakKiB(), 16 * 1024);
}

// A link in the cache's place is neither believed nor written through.
TEST_F(HashCacheTest, LinkInTheCachesPlaceIsReplaced) {
  const QString cacheFile = HashCache(state(), game()).file();
  {
    HashCache elsewhere(root_.filePath("elsewhere"), game());
    elsewhere.record("a", kStamp, kDigest);
    elsewhere.save();
    QDir().mkpath(state());
    ASSERT_TRUE(QFile::link(elsewhere.file(), cacheFile));
  }
  HashCache cache(state(), game());
  EXPECT_FALSE(cache.find("a", kStamp));
  cache.record("b", kStamp, kDigest);
  cache.save();
  EXPECT_FALSE(QFileInfo(cacheFile).isSymLink());
  EXPECT_TRUE(HashCache(root_.filePath("elsewhere"), game()).find("a", kStamp));
  EXPECT_TRUE(HashCache(state(), game()).find("b", kStamp));
}

}  // namespace
}  // namespace quorrel::testing
