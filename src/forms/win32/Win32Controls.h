// What the parts of the Win32 backend share: the common controls library
// and the rich edit library, both loaded from the system folder (neither
// is a static import of the setup, see win32::SystemRoutine), and the
// name of the window property that links a control's window to its state.
#pragma once
#include "platform/win32/Windows.h"

#include <commctrl.h>

namespace stw::forms::win32ui {

// The routines of comctl32 that the backend calls; every pointer is null
// when the library or the routine is missing.
struct CommonControls {
  decltype(&::ImageList_Create) imageListCreate = nullptr;
  decltype(&::ImageList_Add) imageListAdd = nullptr;
  decltype(&::ImageList_Destroy) imageListDestroy = nullptr;
  decltype(&::ImageList_GetImageCount) imageListCount = nullptr;
  // The window classes of the progress bar, the tree and the report list
  // are registered.
  bool classesReady = false;
};
// Loaded and initialised by the first caller; the library stays loaded.
const CommonControls& Comctl();

// A system DLL by its full path in the system folder, loaded once and
// kept; nullptr when it cannot be loaded.
HMODULE SystemModule(const wchar_t* dll);

}  // namespace stw::forms::win32ui
