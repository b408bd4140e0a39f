// What the Win32 services share: the program's UTF-8 to and from the
// UTF-16 of the wide-character (W) calls, the system's own text for an
// error code, and routines of system DLLs that are not static imports.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

#include "base/Text.h"
#include "platform/win32/Windows.h"

namespace stw::win32 {

inline std::wstring Wide(std::string_view utf8) {
  const std::u16string s = Utf8ToUtf16(utf8);
  return std::wstring(s.begin(), s.end());
}

inline std::string Narrow(std::wstring_view wide) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// The system's text for an error code or an HRESULT, without the line end
// that FormatMessage appends; the number itself when the system has no text.
inline std::string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n != 0 && buffer) text.assign(buffer, n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  if (!text.empty()) return Narrow(text);
  char number[32];
  std::snprintf(number, sizeof number, "system error 0x%08lX", static_cast<unsigned long>(code));
  return number;
}

// Only DLLs that the system itself keeps loaded ("known" DLLs: kernel32,
// user32, advapi32, shell32, msvcrt) may be static imports: any other one
// would be looked for beside the program first, before the program could
// restrict the search, so a version.dll planted beside an installer in a
// downloads folder would run with the installer's rights. The others are
// loaded from the system folder by their full path when first needed;
// nullptr when the routine is missing.
template <typename Fn>
Fn SystemRoutine(const wchar_t* dll, const char* name) {
  wchar_t folder[MAX_PATH + 1];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, n) + L"\\" + dll;
  const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

}  // namespace stw::win32
