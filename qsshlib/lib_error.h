#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qssh {

// A failure of the library's own: it ends the library call with its code and
// text in the context. Errors thrown by the caller's callbacks are of other
// types and pass through untouched: the library catches only this one.
class LibError : public std::runtime_error {
 public:
  LibError(int32_t code, const std::string& message) : std::runtime_error(message), code(code) {}
  int32_t code;
};

[[noreturn]] inline void fail(int32_t code, const std::string& message) {
  throw LibError(code, message);
}

}  // namespace qssh
