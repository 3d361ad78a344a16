#include "config.h"

#include <cstdlib>

namespace qssh {

namespace {

// What a fresh context starts with: each value's type and default.
struct Entry {
  int32_t type;
  const char* defaultValue;
};

constexpr Entry kEntries[] = {
#define QSSH_CONF(id, name, type, sub, def) {type, def},
#include "config_table.inc"
#undef QSSH_CONF
};

bool inRange(int32_t index) {
  return index >= 0 && index < QSSH_CONF_COUNT;
}

}  // namespace

TConfPAnsiCharArray configNames = {
#define QSSH_CONF(id, name, type, sub, def) name,
#include "config_table.inc"
#undef QSSH_CONF
};

TConfIntArray configTypes = {
#define QSSH_CONF(id, name, type, sub, def) type,
#include "config_table.inc"
#undef QSSH_CONF
};

TConfIntArray configSubTypes = {
#define QSSH_CONF(id, name, type, sub, def) sub,
#include "config_table.inc"
#undef QSSH_CONF
};

ConfigValues::ConfigValues() {
  for (int32_t index = 0; index < QSSH_CONF_COUNT; ++index) {
    const Entry& entry = kEntries[index];
    if (entry.type == QSSH_CONF_TYPE_STRING)
      strings_[index] = entry.defaultValue;
    else
      ints_[index] = static_cast<int32_t>(std::strtol(entry.defaultValue, nullptr, 10));
  }
}

void ConfigValues::setInt(int32_t index, int32_t value) {
  if (inRange(index)) ints_[index] = value;
}

void ConfigValues::setString(int32_t index, const char* value) {
  if (inRange(index)) strings_[index] = value ? value : "";
}

int32_t ConfigValues::getInt(int32_t index) const {
  return inRange(index) ? ints_[index] : 0;
}

const char* ConfigValues::getString(int32_t index) const {
  return inRange(index) ? strings_[index].c_str() : "";
}

}  // namespace qssh
