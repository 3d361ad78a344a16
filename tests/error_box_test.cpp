#include <gtest/gtest.h>

#include "error_box.h"
#include "qt_printers.h"

namespace quorrel::testing {
namespace {

TEST(ErrorBoxTest, TitleIsTheExecutableNameUpToItsFirstDotCapitalisedOnce) {
  const std::pair<QString, QString> cases[] = {
      {"QuorrelLauncher", "Quorrellauncher"},
      {"QuorrelLauncher.exe", "Quorrellauncher"},
      {"quorrel.launcher.exe", "quorrel"},
      {"LAUNCHER", "Launcher"},
      {"", ""},
  };
  for (const auto& [file, title] : cases)
    EXPECT_EQ(applicationTitle(file), title) << file.toStdString();
}

TEST(ErrorBoxTest, FullStopIsAddedOnlyAfterCharactersAboveTheFullStop) {
  const std::pair<QString, QString> cases[] = {
      {"File access denied", "File access denied."},
      {"I/O error 112", "I/O error 112."},
      {"Already ends.", "Already ends."},
      {"Question?", "Question?."},
      {"Exclaims!", "Exclaims!"},
      {"In brackets (x)", "In brackets (x)"},
      {"Dash-", "Dash-"},
      {"Slash/", "Slash/."},
      {"", ""},
  };
  for (const auto& [message, shown] : cases)
    EXPECT_EQ(errorBoxText(message), shown) << message.toStdString();
}

}  // namespace
}  // namespace quorrel::testing
