#pragma once

#include "exception.h"

namespace quorrel {

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
