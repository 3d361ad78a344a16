#pragma once

#include <string>

// The system's loader of shared libraries. Each system has its own
// implementation folder beside this header (posix/, and win/ for Windows).
namespace quorrel::loader {

// Loads the library through the system's ordinary search; nullptr, with the
// loader's own text in `error`, when it cannot.
void* openLibrary(const std::string& file, std::string& error);
// The address of a function of a loaded library; nullptr, with the loader's
// text in `error`, when the library has none of that name.
void* findFunction(void* library, const char* name, std::string& error);
void closeLibrary(void* library);

}  // namespace quorrel::loader
