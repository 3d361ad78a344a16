#include "qsshlib_binding.h"

#include "library_loader.h"

namespace quorrel {

namespace {

// The texts begin with the exception codes that Windows' delay-load helper
// raises when a lazily bound library cannot be found (C06D007E) or lacks a
// function (C06D007F), so that a failure reads the same on every system;
// the loader's own text follows.
constexpr const char* kLibraryMissing = "External exception C06D007E: ";
constexpr const char* kFunctionMissing = "External exception C06D007F: ";

}  // namespace

QsshlibBinding::QsshlibBinding(std::string libraryFile) : libraryFile_(std::move(libraryFile)) {}

QsshlibBinding::~QsshlibBinding() {
  if (void* handle = library_.load()) loader::closeLibrary(handle);
}

QsshlibBinding& QsshlibBinding::instance() {
  static QsshlibBinding binding;
  return binding;
}

void* QsshlibBinding::library() {
  if (void* handle = library_.load(std::memory_order_acquire)) return handle;
  std::lock_guard<std::mutex> lock(loading_);
  if (void* handle = library_.load()) return handle;
  std::string error;
  void* handle = loader::openLibrary(libraryFile_, error);
  if (!handle) throw ExternalException(kLibraryMissing + error);
  library_.store(handle, std::memory_order_release);
  return handle;
}

void* QsshlibBinding::function(Function which, const char* name) {
  if (void* address = functions_[which].load(std::memory_order_acquire)) return address;
  void* handle = library();
  std::lock_guard<std::mutex> lock(loading_);
  std::string error;
  void* address = loader::findFunction(handle, name, error);
  if (!address) throw ExternalException(kFunctionMissing + error);
  functions_[which].store(address, std::memory_order_release);
  return address;
}

#define QSSH_FUNCTION(result, name, params, args)                       \
  result QsshlibBinding::name params {                                  \
    using Signature = result(*) params;                                 \
    return reinterpret_cast<Signature>(function(k_##name, #name)) args; \
  }
#include "qsshlib_functions.inc"
#undef QSSH_FUNCTION

}  // namespace quorrel
