// HoldOpen.exe FILE READY RELEASE SECONDS [none|read]
//
// Holds FILE open so that another process (the setup under test) finds it
// in use: with no sharing at all (none, the default), or sharing reading
// only (read), the way Windows holds the file of a running program, which
// others can read but neither write nor replace. Once the file is open,
// READY is created; the file stays open until RELEASE exists or SECONDS
// have passed. Exit codes: 0 released, 2 FILE could not be opened, 3 READY
// could not be created, 4 timed out, 5 usage.
#include <windows.h>

#include <cwchar>

namespace {

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5 && argc != 6) {
    std::fwprintf(stderr, L"usage: HoldOpen FILE READY RELEASE SECONDS [none|read]\n");
    return 5;
  }
  DWORD share = 0;
  if (argc == 6) {
    if (std::wcscmp(argv[5], L"read") == 0) {
      share = FILE_SHARE_READ;
    } else if (std::wcscmp(argv[5], L"none") != 0) {
      std::fwprintf(stderr, L"HoldOpen: sharing is none or read, not %ls\n", argv[5]);
      return 5;
    }
  }
  wchar_t* end = nullptr;
  const long seconds = std::wcstol(argv[4], &end, 10);
  if (end == argv[4] || *end != L'\0' || seconds <= 0) {
    std::fwprintf(stderr, L"HoldOpen: not a number of seconds: %ls\n", argv[4]);
    return 5;
  }
  HANDLE held = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"HoldOpen: cannot open %ls (error %lu)\n", argv[1], GetLastError());
    return 2;
  }
  HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"HoldOpen: cannot create %ls (error %lu)\n", argv[2], GetLastError());
    CloseHandle(held);
    return 3;
  }
  CloseHandle(ready);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  int code = 4;
  while (GetTickCount64() < deadline) {
    if (Exists(argv[3])) {
      code = 0;
      break;
    }
    Sleep(50);
  }
  CloseHandle(held);
  if (code != 0) std::fwprintf(stderr, L"HoldOpen: no release after %ld s\n", seconds);
  return code;
}
