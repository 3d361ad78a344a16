#pragma once

#include <stdexcept>
#include <string>

namespace quorrel {

// The general error of the program: every error it raises carries a message
// text (UTF-8) and nothing else. Kept free of Qt so the SFTP client can share it.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// Raised when a text does not hold the number it should.
class ConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Raised by the settings store when a value has the wrong type or cannot be written.
class SettingsError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace quorrel
