#include "console.h"

#include <unistd.h>

namespace quorrel {

bool standardInputIsTerminal() {
  return isatty(STDIN_FILENO) != 0;
}

}  // namespace quorrel
