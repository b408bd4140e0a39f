// Command-line helpers shared by the small test programs of this folder.
#pragma once

#include <windows.h>

#include <string>

namespace stwtest {

// An environment variable's value, empty when it is not set.
inline std::wstring Env(const wchar_t* name) {
  wchar_t small[1];
  const DWORD n = GetEnvironmentVariableW(name, small, 1);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, value.data(), n);
  value.resize(got);
  return value;
}

// UTF-16 to UTF-8.
inline std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// A decimal number (or 0x-prefixed hexadecimal) that fits 32 bits, and
// nothing else. A leading minus stands for the two's complement, so "-1"
// reads as 0xFFFFFFFF, as for exit codes and DWORD values.
inline bool ParseDword(const wchar_t* text, DWORD& value) {
  bool negative = false;
  if (*text == L'-') {
    negative = true;
    ++text;
  }
  unsigned base = 10;
  if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text += 2;
  }
  if (*text == L'\0') return false;
  unsigned long long n = 0;
  for (; *text; ++text) {
    unsigned digit;
    if (*text >= L'0' && *text <= L'9') {
      digit = static_cast<unsigned>(*text - L'0');
    } else if (base == 16 && *text >= L'a' && *text <= L'f') {
      digit = static_cast<unsigned>(*text - L'a' + 10);
    } else if (base == 16 && *text >= L'A' && *text <= L'F') {
      digit = static_cast<unsigned>(*text - L'A' + 10);
    } else {
      return false;
    }
    n = n * base + digit;
    if (n > 0xFFFFFFFFull) return false;
  }
  if (negative) {
    if (n > 0x80000000ull) return false;
    n = (0x100000000ull - n) & 0xFFFFFFFFull;
  }
  value = static_cast<DWORD>(n);
  return true;
}

}  // namespace stwtest
