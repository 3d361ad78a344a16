#include <gtest/gtest.h>

#include "test_program_end.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return quorrel::testing::endTestProgram(RUN_ALL_TESTS());
}
