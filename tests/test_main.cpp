#include <gtest/gtest.h>

#include <QApplication>

#include "resources.h"
#include "test_program_end.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  quorrel::registerBundledFonts();
  return quorrel::testing::endTestProgram(RUN_ALL_TESTS());
}
