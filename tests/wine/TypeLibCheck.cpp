// TypeLibCheck.exe [--unregister] TLB
//
// Loads the type library TLB with LoadTypeLibEx (REGKIND_NONE) and
// registers it with RegisterTypeLib (help folder: none), or with
// --unregister removes its registration with UnRegisterTypeLib. Prints one
// line per call with its HRESULT, and the library's LIBID, version, LCID
// and SYSKIND, e.g.
//   LoadTypeLibEx 0x00000000
//   library {7BEC42B9-4563-4D5C-AFCC-C6B91E1F0884} 1.0 lcid 0 syskind win64
//   RegisterTypeLib 0x00000000
// Exit codes: 0 every call succeeded, 1 a call failed, 5 usage.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>

namespace {

const wchar_t* SysKindName(SYSKIND kind) {
  switch (kind) {
    case SYS_WIN16: return L"win16";
    case SYS_WIN32: return L"win32";
    case SYS_MAC: return L"mac";
    case SYS_WIN64: return L"win64";
  }
  return L"?";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool unregister = false;
  int first = 1;
  if (argc > 1 && std::wcscmp(argv[1], L"--unregister") == 0) {
    unregister = true;
    first = 2;
  }
  if (argc != first + 1) {
    std::fwprintf(stderr, L"usage: TypeLibCheck [--unregister] TLB\n");
    return 5;
  }
  const wchar_t* path = argv[first];

  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const bool uninit = SUCCEEDED(hr);

  ITypeLib* lib = nullptr;
  hr = LoadTypeLibEx(path, REGKIND_NONE, &lib);
  std::wprintf(L"LoadTypeLibEx 0x%08lX\n", static_cast<unsigned long>(hr));
  int code = 1;
  if (SUCCEEDED(hr)) {
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) {
      std::wprintf(L"GetLibAttr 0x%08lX\n", static_cast<unsigned long>(hr));
    } else {
      wchar_t guid[40] = L"";
      StringFromGUID2(attr->guid, guid, 40);
      std::wprintf(L"library %ls %u.%u lcid %lu syskind %ls\n", guid, attr->wMajorVerNum, attr->wMinorVerNum,
                   static_cast<unsigned long>(attr->lcid), SysKindName(attr->syskind));
      if (unregister) {
        hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        std::wprintf(L"UnRegisterTypeLib 0x%08lX\n", static_cast<unsigned long>(hr));
      } else {
        // RegisterTypeLib wants a full path, as the setup passes it (and a
        // writable one: MinGW declares the parameter OLECHAR*).
        wchar_t full[MAX_PATH * 4];
        const DWORD n = GetFullPathNameW(path, MAX_PATH * 4, full, nullptr);
        if (n == 0 || n >= MAX_PATH * 4) lstrcpynW(full, path, MAX_PATH * 4);
        hr = RegisterTypeLib(lib, full, nullptr);
        std::wprintf(L"RegisterTypeLib 0x%08lX\n", static_cast<unsigned long>(hr));
      }
      if (SUCCEEDED(hr)) code = 0;
      lib->ReleaseTLibAttr(attr);
    }
    lib->Release();
  }
  if (uninit) CoUninitialize();
  return code;
}
