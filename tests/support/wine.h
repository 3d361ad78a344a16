#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorrel::testing {

// Whether this program runs under Wine rather than on Windows itself. Wine's TLS layer differs
// from Windows' own in ways the launcher cannot change; the tests that meet them say so.
inline bool runningUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// Wine's Schannel hands a server's close_notify to curl as a bare end of the connection, which
// curl must take for a cut-off answer: a body that only the closing ends cannot arrive whole.
inline constexpr const char* kWineEndsNoBodyByClosing =
    "under Wine a body that ends with the connection reads as cut off";

}  // namespace quorrel::testing
