// The flows' file list lines and what they decide.
#include <gtest/gtest.h>

#include <limits>

#include "file_list.h"
#include "qt_printers.h"

namespace quorrel::testing {
namespace {

struct LineCase {
  const char* line;
  const char* remotePath;
  std::int64_t size;
};

// A name may hold "|": only what follows the last one is the size.
const LineCase kLines[] = {
    {"/upload/a.MPQ|3", "/upload/a.MPQ", 3},
    {"/upload/x|5|10", "/upload/x|5", 10},
    {"/upload/p|q|0", "/upload/p|q", 0},
    {"/upload/huge|18446744073709551615", "/upload/huge", std::numeric_limits<std::int64_t>::max()},
};

TEST(FileListTest, SizeFollowsTheLastBar) {
  for (const LineCase& c : kLines) {
    SCOPED_TRACE(c.line);
    const file_list::Line line = file_list::parse(QString::fromUtf8(c.line));
    EXPECT_EQ(line.remotePath, QString::fromUtf8(c.remotePath));
    EXPECT_EQ(line.size, c.size);
  }
}

TEST(FileListTest, LineWithoutASizeIsAConversionError) {
  for (const char* line : {"/upload/p|q", "/upload/no-bar", "/upload/x|-1", "/upload/x|"}) {
    SCOPED_TRACE(line);
    EXPECT_THROW(file_list::parse(QString::fromUtf8(line)), ConvertError);
  }
}

TEST(FileListTest, LinesReadBackWhatWasWritten) {
  const file_list::Line line = file_list::parse(file_list::lineOf("/upload/a|b", 42));
  EXPECT_EQ(line.remotePath, "/upload/a|b");
  EXPECT_EQ(line.size, 42);
}

TEST(FileListTest, SizesAddUpWithoutOverflowing) {
  constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(file_list::addSizes(2, 3), 5);
  EXPECT_EQ(file_list::addSizes(kLargest - 1, 5), kLargest);
  EXPECT_TRUE(file_list::needsFetch(-1, 0));
  EXPECT_TRUE(file_list::needsFetch(4, 5));
  EXPECT_FALSE(file_list::needsFetch(5, 5));
}

// The walk's text splitter: the last piece of a remote folder's path is the
// folder it steps out of.
TEST(ExplodeTest, SplitsAsTheFileListNeeds) {
  const struct {
    QString delimiter, text;
    int limit;
    QStringList pieces;
  } cases[] = {
      {"/", "/a/b", 0, {"", "a", "b"}},
      {"|", "a||b", 0, {"a", "", "b"}},
      {"|", "a|", 0, {"a"}},
      {"|", "", 0, {}},
      {"|", "/upload/x|42", 0, {"/upload/x", "42"}},
      {"::", "a::b::c", 2, {"a", "b::c"}},
      {"|", "no delimiter", 0, {"no delimiter"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(file_list::explode(c.delimiter, c.text, c.limit), c.pieces) << c.text.toStdString();
}

}  // namespace
}  // namespace quorrel::testing
