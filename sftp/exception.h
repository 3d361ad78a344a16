#pragma once

#include <stdexcept>
#include <string>

namespace quorrel {

// The general error of the program: every error it raises carries a message
// text (UTF-8) and nothing else. Free of Qt: the SFTP client raises it, and the launcher above it.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// The error of every failing session operation.
class SftpSessionException : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace quorrel
