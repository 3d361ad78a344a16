#include <windows.h>

#include "library_loader.h"

namespace quorrel::loader {

namespace {

std::wstring wide(const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                      length);
  return result;
}

std::string lastLoaderError() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

}  // namespace

// The program's own folder comes first in the search, so the library beside
// the launcher is the one loaded.
void* openLibrary(const std::string& file, std::string& error) {
  HMODULE library = LoadLibraryW(wide(file).c_str());
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
