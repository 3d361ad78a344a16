#include <windows.h>

#include "library_loader.h"
#include "win/wide_text.h"

namespace quorrel::loader {

namespace {

std::string lastLoaderError() {
  return win::systemErrorText(GetLastError());
}

}  // namespace

// The program's own folder comes first in the search, so the library beside
// the launcher is the one loaded.
void* openLibrary(const std::string& file, std::string& error) {
  HMODULE library = LoadLibraryW(win::wideText(file).c_str());
  // The system's text names neither the library nor the function: the message does.
  if (!library) error = file + ": " + lastLoaderError();
  return reinterpret_cast<void*>(library);
}

void* findFunction(void* library, const char* name, std::string& error) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
  if (!address) error = std::string(name) + ": " + lastLoaderError();
  return reinterpret_cast<void*>(address);
}

void closeLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace quorrel::loader
