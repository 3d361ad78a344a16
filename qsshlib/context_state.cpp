#include "context_state.h"

#include <libssh/callbacks.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "lib_error.h"

namespace qssh {

namespace {

// Where in the reserved bytes the state's address is kept (8-byte aligned).
constexpr size_t kStateOffset = 160 - offsetof(TSshLibContext, reserved);

thread_local ContextState* loggingState = nullptr;

void collectLibsshLog(int, const char*, const char* message, void*) {
  if (loggingState && loggingState->conf.boolValue(Conf::LogToMessages))
    loggingState->libsshLog.emplace_back(message);
}

}  // namespace

// -1: each context's own verbosity; 0 or 1: set for all by qssh_setverbose.
std::atomic<int> globalVerbose{-1};

ContextState* ContextState::of(TSshLibContext* ctx) {
  if (!ctx) return nullptr;
  ContextState* state = nullptr;
  std::memcpy(&state, ctx->reserved + kStateOffset, sizeof state);
  if (state && (state->magic != kMagic || state->ctx != ctx)) {
    if (ctx->raise_exception_callback)
      ctx->raise_exception_callback("the context's library data is damaged", __FILE__, __LINE__);
    return nullptr;
  }
  return state;
}

void ContextState::attach() {
  ContextState* self = this;
  std::memcpy(ctx->reserved + kStateOffset, &self, sizeof self);
}

void ContextState::detach(TSshLibContext* ctx) {
  std::memset(ctx->reserved + kStateOffset, 0, sizeof(ContextState*));
  ctx->pwd = nullptr;
  ctx->homedir = nullptr;
  ctx->fxp_error_message = nullptr;
}

bool ContextState::isVerbose() const {
  const int global = globalVerbose.load();
  return global < 0 ? verbose : global != 0;
}

void ContextState::letCallerRun() {
  if (ctx->leavecriticalsection_callback) ctx->leavecriticalsection_callback(ctx);
  if (ctx->entercriticalsection_callback) ctx->entercriticalsection_callback(ctx);
}

void ContextState::print(const std::string& line, bool isError) {
  if (!isError && !isVerbose()) return;
  if (!ctx->printmessage_callback) return;
  const std::string text =
      conf.stringValue(Conf::MessagePrefix) + line + conf.stringValue(Conf::MessageLineEnd);
  ctx->printmessage_callback(text.c_str(), isError ? 1 : 0, ctx);
}

void ContextState::flushLibsshLog() {
  std::vector<std::string> lines;
  lines.swap(libsshLog);
  for (const std::string& line : lines) print(line);
}

Connection& ContextState::connection() {
  if (!open) fail(QSSH_ERR_NOT_CONNECTED, "Not connected");
  return *open;
}

std::string ContextState::resolve(const char* path) const {
  const std::string given = path ? path : "";
  if (!given.empty() && given[0] == '/') return given;
  if (given.empty() || given == ".") return pwd_.empty() ? "." : pwd_;
  if (pwd_.empty()) return given;
  return pwd_ == "/" ? "/" + given : pwd_ + "/" + given;
}

void ContextState::setWorkDir(std::string pwd) {
  pwd_ = std::move(pwd);
  ctx->pwd = pwd_.data();
}

void ContextState::setHomeDir(std::string home) {
  home_ = std::move(home);
  ctx->homedir = home_.data();
}

void ContextState::setError(int32_t code, const std::string& message) {
  errorMessage_ = message;
  ctx->fxp_errtype = code;
  ctx->fxp_error_message = errorMessage_.data();
}

LibsshLogScope::LibsshLogScope(ContextState& state) : previous_(loggingState) {
  static std::once_flag callbackSet;
  std::call_once(callbackSet, [] { ssh_set_log_callback(collectLibsshLog); });
  loggingState = &state;
}

LibsshLogScope::~LibsshLogScope() {
  loggingState = previous_;
}

}  // namespace qssh
