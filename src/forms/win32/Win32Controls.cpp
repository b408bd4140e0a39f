#include "forms/win32/Win32Controls.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/win32/Win32Common.h"

namespace stw::forms::win32ui {

using win32::SystemRoutine;

HMODULE SystemModule(const wchar_t* dll) {
  static std::mutex lock;
  static std::map<std::wstring, HMODULE> loaded;
  std::lock_guard<std::mutex> g(lock);
  const auto it = loaded.find(dll);
  if (it != loaded.end()) return it->second;
  wchar_t folder[MAX_PATH + 1];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  HMODULE module = nullptr;
  if (n != 0 && n < MAX_PATH) {
    const std::wstring path = std::wstring(folder, n) + L"\\" + dll;
    module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  loaded[dll] = module;
  return module;
}

const CommonControls& Comctl() {
  static const CommonControls cc = [] {
    CommonControls c;
    c.imageListCreate = SystemRoutine<decltype(c.imageListCreate)>(L"comctl32.dll", "ImageList_Create");
    c.imageListAdd = SystemRoutine<decltype(c.imageListAdd)>(L"comctl32.dll", "ImageList_Add");
    c.imageListDestroy = SystemRoutine<decltype(c.imageListDestroy)>(L"comctl32.dll", "ImageList_Destroy");
    c.imageListCount = SystemRoutine<decltype(c.imageListCount)>(L"comctl32.dll", "ImageList_GetImageCount");
    using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    const Init init = SystemRoutine<Init>(L"comctl32.dll", "InitCommonControlsEx");
    if (init) {
      // The standard classes' flag is known to version 6 only; an older
      // library refuses the whole call for it, so it is tried without.
      const DWORD classes = ICC_PROGRESS_CLASS | ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES;
      INITCOMMONCONTROLSEX icc{sizeof icc, classes | ICC_STANDARD_CLASSES};
      c.classesReady = init(&icc) != FALSE;
      if (!c.classesReady) {
        icc.dwICC = classes;
        c.classesReady = init(&icc) != FALSE;
      }
    }
    return c;
  }();
  return cc;
}

}  // namespace stw::forms::win32ui
