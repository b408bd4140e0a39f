// StwPrereq.exe [--exit CODE] NAME DWORD
//
// A prerequisite installer for the end-to-end tests: sets the REG_DWORD
// value NAME under HKEY_CURRENT_USER\Software\StwTest\Prereq to DWORD
// (decimal, 0x-hexadecimal or negative for the two's complement), creating
// the key, so that a condition on that value holds afterwards. Exits with
// CODE (default 0; e.g. 3010 for "done, restart needed" — under Wine a Linux
// caller sees only the low byte). Exit codes of its own: 100 usage, 101 the
// value could not be written.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "HelperArgs.h"

int wmain(int argc, wchar_t** argv) {
  DWORD exitCode = 0;
  int i = 1;
  if (argc > 2 && std::wcscmp(argv[1], L"--exit") == 0) {
    if (!stwtest::ParseDword(argv[2], exitCode)) {
      std::fwprintf(stderr, L"StwPrereq: not an exit code: %ls\n", argv[2]);
      return 100;
    }
    i = 3;
  }
  DWORD data = 0;
  if (argc != i + 2 || argv[i][0] == L'\0' || !stwtest::ParseDword(argv[i + 1], data)) {
    std::fwprintf(stderr, L"usage: StwPrereq [--exit CODE] NAME DWORD\n");
    return 100;
  }
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\StwTest\\Prereq", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key, argv[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
    RegCloseKey(key);
  }
  if (rc != ERROR_SUCCESS) {
    std::fwprintf(stderr, L"StwPrereq: cannot write %ls (error %ld)\n", argv[i], rc);
    return 101;
  }
  return static_cast<int>(exitCode);
}
