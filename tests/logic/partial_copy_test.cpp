// The partial copy's names, its record and when a fetch goes on from it.
#include <gtest/gtest.h>

#include "partial_copy.h"

namespace quorrel::testing {
namespace {

using partial_copy::Source;

TEST(PartialCopyTest, NamesAreHiddenShortAndTheSameForTheSameFile) {
  const QByteArray longName(250, 'x');
  EXPECT_EQ(partial_copy::copyName("a.MPQ"), partial_copy::copyName("a.MPQ"));
  EXPECT_NE(partial_copy::copyName("a.MPQ"), partial_copy::copyName("b.MPQ"));
  EXPECT_NE(partial_copy::copyName("a.MPQ"), partial_copy::recordName("a.MPQ"));
  for (const QByteArray& name : {QByteArray("a.MPQ"), longName}) {
    SCOPED_TRACE(name.left(10).toStdString());
    EXPECT_TRUE(partial_copy::copyName(name).startsWith('.'));
    EXPECT_LT(partial_copy::copyName(name).size(), 64);
    EXPECT_TRUE(partial_copy::isPartialCopyName(partial_copy::copyName(name)));
    EXPECT_TRUE(partial_copy::isPartialCopyName(partial_copy::recordName(name)));
  }
  for (const char* gameFile : {"a.MPQ", ".quorrel-1234-1.part", ".quorrel-.part", ""})
    EXPECT_FALSE(partial_copy::isPartialCopyName(gameFile)) << gameFile;
}

// Earlier versions named a copy after the process and a count; nothing else
// of that look is taken for one.
TEST(PartialCopyTest, OldStyleNamesAreOnlyThoseOfEarlierVersions) {
  for (const char* name : {".quorrel-1234-1.part", ".quorrel-1-22.part"})
    EXPECT_TRUE(partial_copy::isOldStyleCopyName(name)) << name;
  for (const char* name :
       {".quorrel-1234-1.part.txt", ".quorrel-1234-.part", ".quorrel--1.part", ".quorrel-12.part",
        ".quorrel-1-2-3.part", ".quorrel-a-1.part", ".quorrel-1234-1.source", "quorrel-1-1.part",
        ".quorrel-notes.txt", ".quorrel-.part", ""})
    EXPECT_FALSE(partial_copy::isOldStyleCopyName(name)) << name;
  EXPECT_FALSE(partial_copy::isOldStyleCopyName(partial_copy::copyName("a.MPQ")));
}

TEST(PartialCopyTest, RecordReadsBackWhatWasWritten) {
  for (const Source& source : {Source{0, 0}, Source{(int64_t{1} << 31) + 7, 1700000000},
                               Source{5, 6, 0xfedcba9876543210}, Source{5, 6, 1}}) {
    const std::optional<Source> read = partial_copy::parseRecord(partial_copy::recordText(source));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, source);
  }
}

TEST(PartialCopyTest, DamagedRecordIsNoRecord) {
  const QByteArray good = partial_copy::recordText({1000, 1700000000});
  for (const QByteArray& text :
       {QByteArray(), good.chopped(1), good.left(good.size() / 2), good + "more\n",
        QByteArray("partial copy of -1 5\n"), QByteArray("partial copy of 1 2 3 4\n"),
        QByteArray("partial copy of 1 2 3\n"), QByteArray("partial copy of 1 2 0000000000000000\n"),
        QByteArray("partial copy of 1 2 00000000000000001\n"),
        QByteArray("partial copy of 1 2 000000000000000G\n"),
        QByteArray("partial copy of 1 2 000000000000000A\n"), QByteArray("partial copy of 1  2\n"),
        QByteArray("partial copy of 99999999999999999999 2\n"),
        QByteArray("partial copy of 1x 2\n"), QByteArray("something else 1 2\n")}) {
    SCOPED_TRACE(text.toStdString());
    EXPECT_FALSE(partial_copy::parseRecord(text).has_value());
  }
}

struct ResumeCase {
  const char* what;
  int64_t copyLength;
  std::optional<Source> recorded;
  Source now;
  int64_t listedSize;
  int64_t offset;
};

const ResumeCase kResumeCases[] = {
    {"same file on the server", 400, Source{1000, 77}, {1000, 77}, 1000, 400},
    {"copy already whole", 1000, Source{1000, 77}, {1000, 77}, 1000, 1000},
    {"server file modified", 400, Source{1000, 77}, {1000, 78}, 1000, 0},
    {"server file of another size", 400, Source{1000, 77}, {1200, 77}, 1200, 0},
    {"no record", 400, std::nullopt, {1000, 77}, 1000, 0},
    {"copy longer than listed", 1001, Source{1000, 77}, {1000, 77}, 1000, 0},
    {"listed smaller than the server's file now", 600, Source{1000, 77}, {1000, 77}, 500, 0},
    {"empty copy", 0, Source{1000, 77}, {1000, 77}, 1000, 0},
    {"unchecked copy, same flow", 400, Source{1000, 77, 9}, {1000, 77, 9}, 1000, 400},
    {"unchecked copy of another flow", 400, Source{1000, 77, 9}, {1000, 77, 10}, 1000, 0},
    {"checked copy, unchecked now", 400, Source{1000, 77}, {1000, 77, 10}, 1000, 0},
    {"unchecked copy, checked now", 400, Source{1000, 77, 9}, {1000, 77}, 1000, 0},
};

TEST(PartialCopyTest, FetchGoesOnOnlyFromACopyOfTheSameServerFile) {
  for (const ResumeCase& c : kResumeCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(partial_copy::resumeOffset(c.copyLength, c.recorded, c.now, c.listedSize), c.offset);
  }
}

}  // namespace
}  // namespace quorrel::testing
