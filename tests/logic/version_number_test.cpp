// The launcher's version texts as the numbers the self-update compares.
#include <gtest/gtest.h>

#include <optional>

#include "version_number.h"

namespace quorrel::testing {
namespace {

struct NumberCase {
  const char* text;
  std::optional<std::int32_t> number;  // none: a conversion error naming the text without dots
};

const NumberCase kNumberCases[] = {
    {"1.0.3", 103},
    {"1.0.10", 1010},
    {"10.10.10.1", 1010101},
    {"1.1", 11},
    {"007", 7},
    {"   1.0.4", 104},
    {"+1.0.4", 104},
    {"-1.0", -10},
    {"$1F", 31},
    {"x1f", 31},
    {"X1F", 31},
    {"0x1F", 31},
    {"0X1f", 31},
    {"-$10", -16},
    {"2147483647", 2147483647},
    {"-2147483648", -2147483647 - 1},
    {"", std::nullopt},
    {"1.0.4\n", std::nullopt},
    {"1.0.4 ", std::nullopt},
    {"\t1", std::nullopt},
    {"1 0", std::nullopt},
    {"1,0", std::nullopt},
    {"1e3", std::nullopt},
    {"abc", std::nullopt},
    {"-", std::nullopt},
    {"$", std::nullopt},
    {"0x", std::nullopt},
    {"$1G", std::nullopt},
    {"1f", std::nullopt},
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"$80000000", std::nullopt},
    {"99999999999999999999", std::nullopt},
    {"\xD9\xA3", std::nullopt},  // ARABIC-INDIC DIGIT THREE: a digit, but not an ASCII one
};

TEST(VersionNumberTest, ReadsTheTextWithoutItsDotsAsA32BitInteger) {
  for (const NumberCase& c : kNumberCases) {
    const QString text = QString::fromUtf8(c.text);
    SCOPED_TRACE(text.toStdString());
    if (c.number) {
      EXPECT_EQ(versionNumber(text), *c.number);
      continue;
    }
    try {
      versionNumber(text);
      ADD_FAILURE() << "no conversion error";
    } catch (const ConvertError& error) {
      EXPECT_EQ(QString::fromUtf8(error.what()),
                "'" + QString(text).remove('.') + "' is not a valid integer value");
    }
  }
}

}  // namespace
}  // namespace quorrel::testing
