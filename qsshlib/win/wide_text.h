#pragma once

#include <windows.h>

#include <string>

namespace qssh {

// The library's paths are UTF-8; Windows takes them as UTF-16.
inline std::wstring widePath(const std::string& path) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

inline std::string utf8Of(const wchar_t* text, int length = -1) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
  if (length < 0 && !result.empty()) result.pop_back();  // the counted terminating zero
  return result;
}

// The system's text of an error code from GetLastError().
inline std::string systemErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result = length > 0 ? utf8Of(text, static_cast<int>(length)) : std::string();
  LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.'))
    result.pop_back();
  return result.empty() ? "error " + std::to_string(error) : result;
}

}  // namespace qssh
