#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "connection.h"
#include "qsshlib.h"

namespace qssh {

// What the library keeps for one context, reached through the context's
// reserved bytes.
class ContextState {
 public:
  explicit ContextState(TSshLibContext* ctx, bool verbose) : ctx(ctx), verbose(verbose) {}

  static ContextState* of(TSshLibContext* ctx);
  void attach();
  static void detach(TSshLibContext* ctx);

  // A line of output: always for errors, otherwise only when verbose.
  void print(const std::string& line, bool isError = false);
  bool isVerbose() const;
  // Steps out of the library's critical section and back in, through the
  // caller's callbacks when it set them: while the library waits for the
  // network, a single-threaded caller gets its turn this way.
  void letCallerRun();

  Connection& connection();
  // A remote path with the working folder before it when it is relative.
  std::string resolve(const char* path) const;
  void setWorkDir(std::string pwd);
  void setHomeDir(std::string home);
  void setError(int32_t code, const std::string& message);
  void flushLibsshLog();

  static constexpr uint64_t kMagic = 0x71737368'636f6e74ull;
  uint64_t magic = kMagic;
  TSshLibContext* ctx;
  bool verbose;
  ConfigValues conf;
  std::unique_ptr<Connection> open;
  std::vector<std::string> libsshLog;

 private:
  std::string pwd_;
  std::string home_;
  std::string errorMessage_;
};

// While it lives, the lines libssh logs on this thread are kept for the
// context, to be printed from the library's own code: a message callback that
// throws must never unwind through libssh.
class LibsshLogScope {
 public:
  explicit LibsshLogScope(ContextState& state);
  ~LibsshLogScope();
  LibsshLogScope(const LibsshLogScope&) = delete;
  LibsshLogScope& operator=(const LibsshLogScope&) = delete;

 private:
  ContextState* previous_;
};

}  // namespace qssh
