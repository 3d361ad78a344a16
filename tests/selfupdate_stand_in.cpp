// Stands in for a launcher build in the hand-over tests: it notes the file
// name it was started as and its current folder in "started.log" there, and
// ends. Bytes appended to its file tell builds apart without changing that.
#include <filesystem>
#include <fstream>

int main() {
  namespace fs = std::filesystem;
  const std::string line = fs::read_symlink("/proc/self/exe").filename().string() + ' ' +
                           fs::current_path().string() + '\n';
  std::ofstream("started.log", std::ios::app) << line << std::flush;
}
