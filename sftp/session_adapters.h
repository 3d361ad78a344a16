#pragma once

#include <cstdint>
#include <string>

#include "qsshlib.h"

namespace quorrel {

class TSftpSession;

// A text the library hands over, copied; a null one is empty.
std::string copyOf(const char* text);

// The nine callbacks the library calls; each finds its session through the
// context's Tag.
struct SessionAdapters {
  static TSftpSession& of(TSshLibContext* ctx);
  static qssh_bool listing(fxp_names* names, TSshLibContext* ctx);
  static const char* password(const char* prompt, const char*, qssh_bool* cancel,
                              TSshLibContext* ctx);
  static void message(const char* text, qssh_bool isstderr, TSshLibContext* ctx);
  // The library steps out of its critical section while it waits for the network.
  static void leaveCriticalSection(TSshLibContext* ctx);
  static qssh_bool progress(int64_t bytescopied, qssh_bool isupload, TSshLibContext* ctx);
  static int32_t readStream(uint64_t offset, void* buffer, int32_t size, TSshLibContext* ctx);
  // Each written block is reported as the offset it reaches in the file.
  static int32_t writeStream(uint64_t offset, const void* data, int32_t length,
                             TSshLibContext* ctx);
  static qssh_bool input(char* buffer, int32_t capacity, TSshLibContext* ctx);
  static std::string consoleLine();
  static qssh_bool hostKey(const char* host, int32_t port, const char*, const char*,
                           const char* fingerprint, int32_t status, qssh_bool* store,
                           TSshLibContext* ctx);
  [[noreturn]] static void raise(const char* message, const char* sourcefile, int32_t line);
};

}  // namespace quorrel
