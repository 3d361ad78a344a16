#pragma once

#include <cstdint>
#include <string>

namespace qssh {

// A failure of the library's own: it ends the library call with its code and
// text in the context. Errors thrown by the caller's callbacks are of other
// types and pass through untouched.
struct LibError {
  int32_t code;
  std::string message;
};

[[noreturn]] inline void fail(int32_t code, std::string message) {
  throw LibError{code, std::move(message)};
}

}  // namespace qssh
