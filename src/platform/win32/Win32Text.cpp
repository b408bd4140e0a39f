// Letter case with the user's default locale. LCMapStringW without
// LCMAP_LINGUISTIC_CASING maps by the system's file-system table, one unit
// for one unit: the same upper case NTFS uses to match names, so that the
// lists of installed and earlier files find a file under any spelling the
// file system accepts. CompareStringW is not used: its linguistic order
// ignores some characters and weighs others together, so it would call
// different file names equal, and its order for ASCII texts would differ
// from the order the lists keep without any call.
#include "platform/win32/Win32Text.h"

#include <climits>
#include <string>

#include "base/Text.h"
#include "platform/win32/Windows.h"

namespace stw {
namespace {

bool MapWithUserLocale(TLetterCase to, char16_t* text, size_t count) {
  if (count == 0) return true;
  if (count > static_cast<size_t>(INT_MAX)) return false;
  const DWORD flags = to == TLetterCase::Upper ? LCMAP_UPPERCASE : LCMAP_LOWERCASE;
  // A path fits the buffer on the stack; the source and destination of
  // LCMapStringW must not overlap.
  wchar_t local[520];
  std::wstring heap;
  wchar_t* out = local;
  if (count > sizeof local / sizeof local[0]) {
    heap.resize(count);
    out = heap.data();
  }
  const int n = ::LCMapStringW(LOCALE_USER_DEFAULT, flags, reinterpret_cast<const wchar_t*>(text),
                               static_cast<int>(count), out, static_cast<int>(count));
  if (n != static_cast<int>(count)) return false;
  for (size_t i = 0; i < count; ++i) text[i] = static_cast<char16_t>(out[i]);
  return true;
}

}  // namespace

void UseSystemCaseMapping() { SetCaseMapping(&MapWithUserLocale); }

}  // namespace stw
