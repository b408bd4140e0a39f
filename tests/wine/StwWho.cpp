// StwWho.exe: appends one line to the file that the environment variable
// STW_WHO_LOG names: "instance=<STW_INSTANCE> args=<its command line after
// the program>", in UTF-8, ended by CR LF. It stands for a program that a
// setup starts (which setup instance started it, and with what), and for
// PowerShell (the command a setup hands it). Exit code 0, or 101 when the
// line could not be written (no STW_WHO_LOG, say).
//
// With STW_WHO_DEFENDER=1 it also does what the Defender preference
// command it was given says: "Add-MpPreference" or "Remove-MpPreference"
// with the path in single quotes (doubled quotes inside) adds the path to
// the allowed applications of Controlled Folder Access or removes it (the
// 64-bit registry view), as PowerShell would.
#include <windows.h>

#include <string>

#include "HelperArgs.h"

using stwtest::Env;
using stwtest::Utf8;

namespace {

// The command line without its first word (the program, perhaps quoted).
std::wstring Arguments() {
  const wchar_t* p = GetCommandLineW();
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}


void ApplyDefenderCommand(const std::wstring& args) {
  const bool add = args.find(L"Add-MpPreference") != std::wstring::npos;
  if (!add && args.find(L"Remove-MpPreference") == std::wstring::npos) return;
  const size_t open = args.find(L'\''), close = args.rfind(L'\'');
  if (open == std::wstring::npos || close <= open) return;
  std::wstring path;
  for (size_t i = open + 1; i < close; ++i) {
    path += args[i];
    if ((args[i] == L'\'' || args[i] == L'"') && i + 1 < close && args[i + 1] == args[i]) ++i;
  }
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                      L"Software\\Microsoft\\Windows Defender\\Windows Defender Exploit Guard\\Controlled Folder Access\\"
                      L"AllowedApplications",
                      0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  if (add) {
    const DWORD zero = 0;
    RegSetValueExW(key, path.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
  } else {
    RegDeleteValueW(key, path.c_str());
  }
  RegCloseKey(key);
}

}  // namespace

int wmain() {
  if (Env(L"STW_WHO_DEFENDER") == L"1") ApplyDefenderCommand(Arguments());
  const std::wstring log = Env(L"STW_WHO_LOG");
  if (log.empty()) return 101;
  const std::string line = "instance=" + Utf8(Env(L"STW_INSTANCE")) + " args=" + Utf8(Arguments()) + "\r\n";
  const HANDLE h = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 101;
  DWORD written = 0;
  const bool ok = WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
  CloseHandle(h);
  return ok ? 0 : 101;
}
