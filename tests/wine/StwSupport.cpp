// StwSupport.dll: a support DLL for the tests. It exports every routine
// the setup looks for, in both variants (StwSupport.def; StwSupportWide.def
// exports only the UTF-16 variants and AllowInstallation2, to check that
// the setup takes what is there), records each call with its arguments and
// answers as the test asks through the environment of the process that
// loaded it:
//
//   STW_SUPPORT_LOG      file that gets one UTF-8 line per call, e.g.
//                          AllowInstallation3 owner=0x1234 portable=-1
//                          currentUser=0 GetSystemFoldersA size=32768 zeroed=1
//                          GetComponentSelectionW name=Docs optional=-1
//                          selected=0 previouslyInstalled=0 FinishDeploymentA
//                          path=C:\x\Stowa.log
//                        (an ANSI text is written as its bytes, a UTF-16 one
//                        as UTF-8; "zeroed" tells whether the whole buffer was
//                        zero on entry)
//   STW_SUPPORT_ALLOW    the number the allow routines return (default 1)
//   STW_SUPPORT_SYSTEM   the text the system folder routines write
//   STW_SUPPORT_INSTALL  the text the install folder routines write (both
//                        read with the variant's own character set)
//   STW_SUPPORT_FILL     "1": the folder routines fill the whole buffer with
//                        "x" and write no terminating zero
//   STW_SUPPORT_SELECT   "Name=optional,selected;..." numbers written back
//                        by the component routines
//   STW_SUPPORT_FAIL     "Routine=how;..." (the exported name): "av" writes
//                        to address 16, "raise" calls RaiseException with
//                        code 0xE0535457, "cpp" throws a C++ exception out
//                        of the routine, "caught" throws one and catches it
//                        inside before answering normally
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "HelperArgs.h"

using stwtest::Env;
using stwtest::Utf8;

namespace {


// The value in the ANSI code page, as an ANSI DLL would get it.
std::string EnvA(const char* name) {
  char small[1];
  const DWORD n = GetEnvironmentVariableA(name, small, 1);
  if (n == 0) return {};
  std::string value(n, '\0');
  const DWORD got = GetEnvironmentVariableA(name, value.data(), n);
  value.resize(got);
  return value;
}


void Record(const std::string& line) {
  const std::wstring log = Env(L"STW_SUPPORT_LOG");
  if (log.empty()) return;
  HANDLE h = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(h);
}

std::string Number(long long n) { return std::to_string(n); }

std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

// What STW_SUPPORT_FAIL asks of `routine`: "" when it should answer.
std::wstring FailureOf(const char* routine) {
  const std::wstring all = Env(L"STW_SUPPORT_FAIL");
  std::wstring name;
  for (const char* c = routine; *c; ++c) name += static_cast<wchar_t>(*c);
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find(L';', pos);
    if (end == std::wstring::npos) end = all.size();
    const std::wstring entry = all.substr(pos, end - pos);
    const size_t eq = entry.find(L'=');
    if (eq != std::wstring::npos && entry.substr(0, eq) == name) return entry.substr(eq + 1);
    pos = end + 1;
  }
  return {};
}

struct Thrown {
  int value;
};

// Fails as asked, after the call was recorded.
void MaybeFail(const char* routine) {
  const std::wstring how = FailureOf(routine);
  if (how == L"av") {
    // Through a volatile address, so the compiler cannot see (and drop)
    // the bad write.
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
  } else if (how == L"raise") {
    RaiseException(0xE0535457, 0, 0, nullptr);
  } else if (how == L"cpp") {
    throw Thrown{7};
  } else if (how == L"caught") {
    try {
      throw Thrown{8};
    } catch (const Thrown& t) {
      Record(std::string(routine) + " caught=" + Number(t.value));
    }
  }
}

BOOL AllowAnswer() {
  const std::wstring v = Env(L"STW_SUPPORT_ALLOW");
  return v.empty() ? 1 : static_cast<BOOL>(std::wcstol(v.c_str(), nullptr, 10));
}

template <typename Char>
bool AllZero(const Char* buffer, int size) {
  for (int i = 0; i < size; ++i)
    if (buffer[i] != 0) return false;
  return true;
}

void FoldersA(const char* routine, const char* variable, char* buffer, int size) {
  Record(std::string(routine) + " size=" + Number(size) + " zeroed=" + (AllZero(buffer, size) ? "1" : "0"));
  MaybeFail(routine);
  if (Env(L"STW_SUPPORT_FILL") == L"1") {
    std::memset(buffer, 'x', static_cast<size_t>(size));
    return;
  }
  const std::string text = EnvA(variable);
  std::memcpy(buffer, text.data(), text.size() < static_cast<size_t>(size) ? text.size() : size - 1);
}

void FoldersW(const char* routine, const wchar_t* variable, wchar_t* buffer, int size) {
  Record(std::string(routine) + " size=" + Number(size) + " zeroed=" + (AllZero(buffer, size) ? "1" : "0"));
  MaybeFail(routine);
  if (Env(L"STW_SUPPORT_FILL") == L"1") {
    for (int i = 0; i < size; ++i) buffer[i] = L'x';
    return;
  }
  const std::wstring text = Env(variable);
  const size_t n = text.size() < static_cast<size_t>(size) ? text.size() : static_cast<size_t>(size - 1);
  std::memcpy(buffer, text.data(), n * sizeof(wchar_t));
}

// The preset of STW_SUPPORT_SELECT for `name` (UTF-8), if any.
bool Preset(const std::string& name, BOOL& optional, BOOL& selected) {
  const std::string all = Utf8(Env(L"STW_SUPPORT_SELECT"));
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find(';', pos);
    if (end == std::string::npos) end = all.size();
    const std::string entry = all.substr(pos, end - pos);
    const size_t eq = entry.find('='), comma = entry.find(',');
    if (eq != std::string::npos && comma != std::string::npos && comma > eq && entry.substr(0, eq) == name) {
      optional = static_cast<BOOL>(std::strtol(entry.c_str() + eq + 1, nullptr, 10));
      selected = static_cast<BOOL>(std::strtol(entry.c_str() + comma + 1, nullptr, 10));
      return true;
    }
    pos = end + 1;
  }
  return false;
}

void Selection(const char* routine, const std::string& shownName, const std::string& utf8Name, BOOL* optional,
               BOOL* selected, BOOL previouslyInstalled) {
  Record(std::string(routine) + " name=" + shownName + " optional=" + Number(*optional) +
         " selected=" + Number(*selected) + " previouslyInstalled=" + Number(previouslyInstalled));
  MaybeFail(routine);
  Preset(utf8Name, *optional, *selected);
}

std::string AnsiToUtf8(const char* a) {
  const int n = MultiByteToWideChar(CP_ACP, 0, a, -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring w(static_cast<size_t>(n - 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, a, -1, w.data(), n);
  return Utf8(w);
}

}  // namespace

// Exported by the .def files only (not dllexport), so that each DLL exports
// just the routines its file names.
extern "C" {

BOOL WINAPI AllowInstallation(HWND owner) {
  Record("AllowInstallation owner=" + Hex(owner));
  MaybeFail("AllowInstallation");
  return AllowAnswer();
}

BOOL WINAPI AllowInstallation2(HWND owner, BOOL portable) {
  Record("AllowInstallation2 owner=" + Hex(owner) + " portable=" + Number(portable));
  MaybeFail("AllowInstallation2");
  return AllowAnswer();
}

BOOL WINAPI AllowInstallation3(HWND owner, BOOL portable, BOOL currentUser) {
  Record("AllowInstallation3 owner=" + Hex(owner) + " portable=" + Number(portable) +
         " currentUser=" + Number(currentUser));
  MaybeFail("AllowInstallation3");
  return AllowAnswer();
}

void WINAPI GetSystemFolders(char* buffer, int size) {
  FoldersA("GetSystemFolders", "STW_SUPPORT_SYSTEM", buffer, size);
}
void WINAPI GetSystemFoldersA(char* buffer, int size) {
  FoldersA("GetSystemFoldersA", "STW_SUPPORT_SYSTEM", buffer, size);
}
void WINAPI GetSystemFoldersW(wchar_t* buffer, int size) {
  FoldersW("GetSystemFoldersW", L"STW_SUPPORT_SYSTEM", buffer, size);
}

void WINAPI GetInstallFolders(char* buffer, int size) {
  FoldersA("GetInstallFolders", "STW_SUPPORT_INSTALL", buffer, size);
}
void WINAPI GetInstallFoldersA(char* buffer, int size) {
  FoldersA("GetInstallFoldersA", "STW_SUPPORT_INSTALL", buffer, size);
}
void WINAPI GetInstallFoldersW(wchar_t* buffer, int size) {
  FoldersW("GetInstallFoldersW", L"STW_SUPPORT_INSTALL", buffer, size);
}

void WINAPI GetComponentSelection(const char* name, BOOL* optional, BOOL* selected, BOOL previouslyInstalled) {
  Selection("GetComponentSelection", name, AnsiToUtf8(name), optional, selected, previouslyInstalled);
}
void WINAPI GetComponentSelectionA(const char* name, BOOL* optional, BOOL* selected, BOOL previouslyInstalled) {
  Selection("GetComponentSelectionA", name, AnsiToUtf8(name), optional, selected, previouslyInstalled);
}
void WINAPI GetComponentSelectionW(const wchar_t* name, BOOL* optional, BOOL* selected, BOOL previouslyInstalled) {
  Selection("GetComponentSelectionW", Utf8(name), Utf8(name), optional, selected, previouslyInstalled);
}

void WINAPI FinishDeployment(const char* path) {
  Record(std::string("FinishDeployment path=") + path);
  MaybeFail("FinishDeployment");
}
void WINAPI FinishDeploymentA(const char* path) {
  Record(std::string("FinishDeploymentA path=") + path);
  MaybeFail("FinishDeploymentA");
}
void WINAPI FinishDeploymentW(const wchar_t* path) {
  Record("FinishDeploymentW path=" + Utf8(path));
  MaybeFail("FinishDeploymentW");
}

}  // extern "C"
