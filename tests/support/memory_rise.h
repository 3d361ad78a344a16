#pragma once

#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>
#endif

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quorrel::testing {

// How far this process's resident memory rose, at its peak, above what it held
// when the MemoryRise was made. Linux then resets its peak to the resident
// memory; Windows keeps one peak per process (CTest starts one for each test),
// so there a peak of the set-up counts too, which can only make the rise look
// larger. A rise, not a size: under Wine a process holds far more before its
// tests begin than on Linux.
class MemoryRise {
 public:
  MemoryRise() {
    resetPeak();
    startKiB_ = residentKiB();
  }
  int64_t peakKiB() const { return peakResidentKiB() - startKiB_; }

 private:
  static void resetPeak() {
#ifndef _WIN32
    std::ofstream("/proc/self/clear_refs") << "5";
#endif
  }
#ifdef _WIN32
  static PROCESS_MEMORY_COUNTERS counters() {
    PROCESS_MEMORY_COUNTERS memory{};
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
      throw std::runtime_error("K32GetProcessMemoryInfo failed");
    return memory;
  }
  static int64_t residentKiB() {
    return static_cast<int64_t>(counters().WorkingSetSize / 1024);
  }
  static int64_t peakResidentKiB() {
    return static_cast<int64_t>(counters().PeakWorkingSetSize / 1024);
  }
#else
  static int64_t statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind(field, 0) == 0) return std::stoll(line.substr(field.size()));
    throw std::runtime_error("no " + field + " in /proc/self/status");
  }
  static int64_t residentKiB() {
    return statusKiB("VmRSS:");
  }
  static int64_t peakResidentKiB() {
    return statusKiB("VmHWM:");
  }
#endif

  int64_t startKiB_ = 0;
};

}  // namespace quorrel::testing
