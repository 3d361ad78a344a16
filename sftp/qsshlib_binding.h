#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "exception.h"
#include "qsshlib.h"

namespace quorrel {

// A library file or one of its functions could not be loaded.
class ExternalException : public Exception {
 public:
  using Exception::Exception;
};

// The SFTP library, bound lazily: nothing is loaded until a function is first
// called; then the library is loaded through the ordinary search (once for all
// functions), and each function is looked up at its own first call and kept.
class QsshlibBinding {
 public:
#ifdef _WIN32
  static constexpr const char* kLibraryFile = "qsshlib.dll";
#else
  static constexpr const char* kLibraryFile = "libqsshlib.so";
#endif

  explicit QsshlibBinding(std::string libraryFile = kLibraryFile);
  ~QsshlibBinding();
  QsshlibBinding(const QsshlibBinding&) = delete;
  QsshlibBinding& operator=(const QsshlibBinding&) = delete;

  // The binding of the library file the program shares.
  static QsshlibBinding& instance();

#define QSSH_FUNCTION(result, name, params, args) result name params;
#include "qsshlib_functions.inc"
#undef QSSH_FUNCTION

 private:
  enum Function {
#define QSSH_FUNCTION(result, name, params, args) k_##name,
#include "qsshlib_functions.inc"
#undef QSSH_FUNCTION
    kFunctionCount
  };

  void* library();
  void* function(Function which, const char* name);

  std::string libraryFile_;
  std::mutex loading_;
  std::atomic<void*> library_{nullptr};
  std::array<std::atomic<void*>, kFunctionCount> functions_{};
};

}  // namespace quorrel
