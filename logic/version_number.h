#pragma once

#include <QString>
#include <cstdint>

#include "exception.h"

namespace quorrel {

// Raised when a text does not hold the number it should.
class ConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A launcher version as the number the self-update compares: the text with
// its dots removed, read as a signed 32-bit integer ("1.0.3" is 103, "1.0.10"
// is 1010, "1.1" only 11). ConvertError when no such number is left.
std::int32_t versionNumber(const QString& version);

}  // namespace quorrel
