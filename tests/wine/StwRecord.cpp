// StwRecord.exe [--sleep MS] [--exit CODE] FILE [TEXT...]
//
// Appends one line to FILE: the TEXT arguments joined by single spaces, in
// UTF-8, ended by CR LF (no TEXT: an empty line). FILE is created when
// missing; it is opened for appending only and shared for reading, writing
// and deletion, and the line goes out in one write, so several instances
// may record into one file at once without mixing their lines. A file that
// another process holds without sharing is retried for up to 10 s.
//
// --sleep MS waits MS milliseconds before writing; --exit CODE makes the
// program exit with CODE once the line is written (default 0; under Wine a
// Linux caller sees only the low byte). The options come before FILE, in
// any order. Exit codes of its own: 100 usage, 101 the line could not be
// written.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "HelperArgs.h"

namespace {

constexpr int kUsage = 100;
constexpr int kWriteFailed = 101;

int Usage(const wchar_t* detail) {
  if (detail) std::fwprintf(stderr, L"StwRecord: %ls\n", detail);
  std::fwprintf(stderr, L"usage: StwRecord [--sleep MS] [--exit CODE] FILE [TEXT...]\n");
  return kUsage;
}

HANDLE OpenForAppend(const wchar_t* path) {
  const ULONGLONG deadline = GetTickCount64() + 10000;
  for (;;) {
    HANDLE h = CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return h;
    if (GetTickCount64() >= deadline) return h;
    Sleep(20);
    SetLastError(error);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD sleepMs = 0;
  DWORD exitCode = 0;
  bool haveSleep = false;
  bool haveExit = false;
  int i = 1;
  for (; i < argc; ++i) {
    const bool isSleep = std::wcscmp(argv[i], L"--sleep") == 0;
    const bool isExit = std::wcscmp(argv[i], L"--exit") == 0;
    if (!isSleep && !isExit) break;
    if (i + 1 >= argc) return Usage(L"an option lacks its number");
    bool& seen = isSleep ? haveSleep : haveExit;
    if (seen) return Usage(L"an option is given twice");
    seen = true;
    if (!stwtest::ParseDword(argv[i + 1], isSleep ? sleepMs : exitCode)) return Usage(L"not a number");
    ++i;
  }
  if (i >= argc) return Usage(nullptr);
  const wchar_t* path = argv[i++];

  std::wstring text;
  for (int first = i; i < argc; ++i) {
    if (i > first) text += L' ';
    text += argv[i];
  }
  std::string line;
  if (!text.empty()) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    line.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), line.data(), n, nullptr, nullptr);
  }
  line += "\r\n";

  if (sleepMs) Sleep(sleepMs);

  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"StwRecord: cannot open %ls (error %lu)\n", path, GetLastError());
    return kWriteFailed;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok || written != line.size()) {
    std::fwprintf(stderr, L"StwRecord: cannot write to %ls (error %lu)\n", path, error);
    return kWriteFailed;
  }
  return static_cast<int>(exitCode);
}
