#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "qsshlib.h"

namespace qssh {

// The names of the configuration, in index order.
enum class Conf : int32_t {
#define QSSH_CONF(id, name, type, sub, def) id,
#include "config_table.inc"
#undef QSSH_CONF
  Count
};
static_assert(static_cast<int32_t>(Conf::Count) == QSSH_CONF_COUNT,
              "the configuration has a fixed number of names");

// The configuration values of one context, starting at their defaults.
class ConfigValues {
 public:
  ConfigValues();
  int32_t intValue(Conf name) const { return ints_[index(name)]; }
  bool boolValue(Conf name) const { return ints_[index(name)] != 0; }
  const std::string& stringValue(Conf name) const { return strings_[index(name)]; }

  // Out-of-range indices are ignored on writes and read as 0 / "".
  void setInt(int32_t index, int32_t value);
  void setString(int32_t index, const char* value);
  int32_t getInt(int32_t index) const;
  const char* getString(int32_t index) const;

 private:
  static size_t index(Conf name) { return static_cast<size_t>(name); }
  std::array<int32_t, QSSH_CONF_COUNT> ints_{};
  std::array<std::string, QSSH_CONF_COUNT> strings_;
};

extern TConfPAnsiCharArray configNames;
extern TConfIntArray configTypes;
extern TConfIntArray configSubTypes;

}  // namespace qssh
