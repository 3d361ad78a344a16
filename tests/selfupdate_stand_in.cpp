// Stands in for a launcher build in the hand-over tests: it notes the file
// name it was started as and its current folder in "started.log" there, and
// ends. Bytes appended to its file tell builds apart without changing that.
#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

fs::path ownFile() {
#ifdef _WIN32
  wchar_t name[MAX_PATH];
  return fs::path(std::wstring(name, GetModuleFileNameW(nullptr, name, MAX_PATH)));
#else
  return fs::read_symlink("/proc/self/exe");
#endif
}

int main() {
  const std::string line =
      ownFile().filename().string() + ' ' + fs::current_path().generic_string() + '\n';
  std::ofstream("started.log", std::ios::app | std::ios::binary) << line << std::flush;
}
