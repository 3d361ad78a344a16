#pragma once

namespace quorrel {

// Whether the program's standard input is a terminal that a person types
// into, where the session may ask for a line when no handler answers.
// Implemented once per system (posix/console.cpp, win/console.cpp).
bool standardInputIsTerminal();

}  // namespace quorrel
