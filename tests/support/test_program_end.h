#pragma once

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorrel::testing {

// What a test program's main returns: the result of its tests. Under Wine, a process whose main
// returns while another of its threads waits in the system can stay behind with that thread,
// holding the test's output open until the test driver gives up on it. A Windows test program
// therefore ends its process itself, which ends every thread at once.
inline int endTestProgram(int result) {
#ifdef _WIN32
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
#endif
  return result;
}

}  // namespace quorrel::testing
