// SelfRegTest.dll: a self-registering DLL for the end-to-end tests, loaded
// by regsvr32 or by the setup itself (LoadLibrary + DllRegisterServer).
//
// DllRegisterServer writes, under HKEY_CURRENT_USER\Software\StwTest\SelfReg,
// the REG_SZ value "Registered" holding the full path of this DLL, and adds
// one to the REG_DWORD value "Count". When the environment variable
// STW_SELFREG_SLEEP_MS holds a number, it first sleeps that many
// milliseconds (a registration that takes too long).
// DllUnregisterServer deletes "Registered" ("Count" stays, so a test can
// tell how often the DLL was registered); a missing value is no error.
//
// Only Win32 calls, no C or C++ runtime functions: the DLL needs nothing but
// KERNEL32 and ADVAPI32 (and the msvcrt.dll every MinGW program imports).
// The exports are undecorated on both x86_64 and i686 (SelfRegTest.def).
#include <windows.h>

namespace {

HMODULE g_module = nullptr;

constexpr wchar_t kKey[] = L"Software\\StwTest\\SelfReg";

// The value of STW_SELFREG_SLEEP_MS as a number of milliseconds, or 0 when
// it is unset or not a decimal number.
DWORD SleepMilliseconds() {
  wchar_t text[16];
  const DWORD n = GetEnvironmentVariableW(L"STW_SELFREG_SLEEP_MS", text, 16);
  if (n == 0 || n >= 16) return 0;
  DWORD ms = 0;
  for (DWORD i = 0; i < n; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return 0;
    const DWORD digit = static_cast<DWORD>(text[i] - L'0');
    if (ms > (0xFFFFFFFFu - digit) / 10) return 0;
    ms = ms * 10 + digit;
  }
  return ms;
}

HRESULT FromWin32(LONG error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  if (const DWORD ms = SleepMilliseconds()) Sleep(ms);

  // The full path, however long: grow the buffer until it fits.
  DWORD size = MAX_PATH;
  wchar_t* path = nullptr;
  DWORD length = 0;
  for (;;) {
    path = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, size * sizeof(wchar_t)));
    if (!path) return E_OUTOFMEMORY;
    length = GetModuleFileNameW(g_module, path, size);
    if (length == 0) {
      const DWORD error = GetLastError();
      HeapFree(GetProcessHeap(), 0, path);
      return HRESULT_FROM_WIN32(error);
    }
    if (length < size) break;
    HeapFree(GetProcessHeap(), 0, path);
    if (size >= 32768) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    size *= 2;
  }

  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key, L"Registered", 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                        (length + 1) * sizeof(wchar_t));
  }
  HeapFree(GetProcessHeap(), 0, path);
  if (rc == ERROR_SUCCESS) {
    DWORD count = 0;
    DWORD type = 0;
    DWORD bytes = sizeof(count);
    if (RegQueryValueExW(key, L"Count", nullptr, &type, reinterpret_cast<BYTE*>(&count), &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(count)) {
      count = 0;
    }
    ++count;
    rc = RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
  }
  if (key) RegCloseKey(key);
  return rc == ERROR_SUCCESS ? S_OK : FromWin32(rc);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return FromWin32(rc);
  rc = RegDeleteValueW(key, L"Registered");
  RegCloseKey(key);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(rc);
}
