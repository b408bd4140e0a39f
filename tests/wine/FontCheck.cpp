// FontCheck.exe [--remove | --add-remove] FONTFILE
//
// Calls AddFontResourceW(FONTFILE), or with --remove RemoveFontResourceW,
// or with --add-remove both in this one process, and prints each result
// and, on failure, the error:
//   AddFontResourceW 1
//   RemoveFontResourceW 1
// AddFontResourceW returns the number of fonts added, 0 on failure.
// Exit codes: 0 every call succeeded, 1 a call failed, 5 usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  bool add = true;
  bool remove = false;
  if (argc == 3 && std::wcscmp(argv[1], L"--remove") == 0) {
    add = false;
    remove = true;
  } else if (argc == 3 && std::wcscmp(argv[1], L"--add-remove") == 0) {
    remove = true;
  } else if (argc != 2) {
    std::fwprintf(stderr, L"usage: FontCheck [--remove | --add-remove] FONTFILE\n");
    return 5;
  }
  const wchar_t* path = argv[argc - 1];
  int code = 0;
  if (add) {
    SetLastError(0);
    const int added = AddFontResourceW(path);
    const DWORD error = GetLastError();
    std::wprintf(L"AddFontResourceW %d\n", added);
    if (added == 0) {
      std::wprintf(L"error %lu\n", error);
      code = 1;
    }
  }
  if (remove) {
    SetLastError(0);
    const BOOL removed = RemoveFontResourceW(path);
    const DWORD error = GetLastError();
    std::wprintf(L"RemoveFontResourceW %d\n", removed ? 1 : 0);
    if (!removed) {
      std::wprintf(L"error %lu\n", error);
      code = 1;
    }
  }
  return code;
}
