#pragma once

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorrel::testing {

// What a test program's main returns: the result of its tests. Under Wine, a process that ends
// can stay behind as a Linux process with one of its threads blocked for good, holding the test's
// output open. A Windows test program therefore ends its process itself, which most often ends
// every thread at once, and first leaves its result where tests/windows/wine-run, which ends
// such a process from outside, finds it.
inline int endTestProgram(int result) {
#ifdef _WIN32
  if (const char* file = std::getenv("QUORREL_EXIT_STATUS_FILE")) {
    if (FILE* out = std::fopen(file, "w")) {
      std::fprintf(out, "%d\n", result);
      std::fclose(out);
    }
  }
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
#endif
  return result;
}

}  // namespace quorrel::testing
