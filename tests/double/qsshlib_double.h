#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qsshlib.h"

namespace quorrel::testing {

// What a test double of the SFTP library does, set by the test at run time.
struct DoubleScript {
  int32_t build = 8;
  double release = 0.10;
  int32_t contextSize = QSSH_CONTEXT_SIZE;
  int32_t initContextResult = 0;
  qssh_bool getConfigArraysResult = 1;
  // The configuration names it hands out (by default 79 fillers and the five proxy names).
  std::vector<std::string> confNames;
  // Results by function name; a function without one answers its success value.
  std::map<std::string, int32_t> results;
  // What a failing function leaves in the context: a code (negative: none) and a text.
  int32_t errorCode = -1;
  std::string errorMessage;
  // Run inside the named function, before it answers: a test calls the
  // context's callbacks from here, as the real library would.
  std::map<std::string, std::function<void(TSshLibContext*)>> actions;

  // What happened.
  std::vector<std::string> calls;
  std::vector<std::vector<std::string>> arguments;
  std::map<int32_t, std::string> confStrings;
  std::map<int32_t, int32_t> confInts;

  int count(const std::string& function) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), function));
  }
  void reset() { *this = DoubleScript{}; }
};

}  // namespace quorrel::testing

// The script of the loaded double; tests find it with dlsym.
extern "C" quorrel::testing::DoubleScript* qsshdouble_script();
