#include "console.h"

#include <io.h>

#include <cstdio>

namespace quorrel {

bool standardInputIsTerminal() {
  return _isatty(_fileno(stdin)) != 0;
}

}  // namespace quorrel
