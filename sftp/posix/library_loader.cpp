#include "library_loader.h"

#include <dlfcn.h>

namespace quorrel::loader {

namespace {

std::string lastLoaderError() {
  const char* message = dlerror();
  return message ? message : "unknown loader error";
}

}  // namespace

void* openLibrary(const std::string& file, std::string& error) {
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) error = lastLoaderError();
  return library;
}

void* findFunction(void* library, const char* name, std::string& error) {
  dlerror();
  void* address = dlsym(library, name);
  if (!address) error = lastLoaderError();
  return address;
}

void closeLibrary(void* library) {
  dlclose(library);
}

}  // namespace quorrel::loader
