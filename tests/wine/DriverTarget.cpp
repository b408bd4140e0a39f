// DriverTarget.exe: a small window for checking WizardDriver.exe by hand
// under wine64 + Xvfb. It makes a StowaSetupForm window whose controls carry
// the "StowaName" property as the setup's do:
//
//   LblTitle      STATIC, two lines; post-message 5 N sets it to "message 5 N"
//   LblStatus     STATIC, says what happened last
//   LinkSite      STATIC + SS_NOTIFY; a click sets LblStatus to "link clicked"
//   CheckAgree    check box; checked, it enables BtnNext
//   BtnNext       push button (disabled at first); a click removes LinkSite
//                 and sets the title to "Target - next"
//   BtnBox        opens a Yes/No message box "Question" / "Go on?"; the
//                 answer goes to LblStatus ("answer yes" / "answer no")
//   BtnHide       hides and shows CheckAgree
//   BtnBrowse     opens a modal StowaSetupForm dialog "Folder" with EditPath
//                 and BtnOk; OK copies EditPath into EditFolder1
//   BtnClose      closes the window (the process ends)
//   EditFolder1   EDIT; each change is counted in LblStatus ("changed N")
//   TreeComponents SysTreeView32 with a state image list of 5 pictures:
//                 "Main" (state 2, two children), "Extras" (1, one child),
//                 "Docs" (2); a click on a state icon or Space swaps 1 and 2
//   ListFiles     SysListView32, report view, 3 rows x 2 columns
//   RichLicence   RICHEDIT50W holding RTF
//   ProgressCopy  msctls_progress32 at 40 of 0..100
// and a system-menu item 0x110 "About" that opens an OK box "About". Every
// key message its message loops take is printed on stdout.
//
// Self-test (the lines beginning with "//| " below are a driver script):
//   sed -n 's,^//| \?,,p' tests/wine/DriverTarget.cpp > /tmp/driver.txt
//   wine64 DriverTarget.exe &  wine64 WizardDriver.exe /tmp/driver.txt Z:\\tmp\\shots
//
//| window
//| title Target
//| client 500 360
//| caption LblTitle Driver\ntarget
//| bounds BtnNext 400 320 88 26
//| disabled BtnNext
//| check CheckAgree 0
//| toggle CheckAgree
//| check CheckAgree 1
//| enabled BtnNext
//| click BtnHide
//| hidden CheckAgree
//| click BtnHide
//| visible CheckAgree
//| click LinkSite
//| caption LblStatus link clicked
//| type EditFolder1 C:\new folder
//| caption EditFolder1 C:\new folder
//| contains LblStatus changed 1
//| type EditFolder1
//| caption EditFolder1
//| tree-count TreeComponents 3
//| tree-text TreeComponents 1 Extras
//| tree-text TreeComponents 0.1 Main part two
//| tree-state TreeComponents 0 2
//| tree-click TreeComponents 0
//| tree-state TreeComponents 0 1
//| tree-children TreeComponents 0 2
//| tree-select TreeComponents 2
//| focus TreeComponents
//| key TreeComponents space
//| tree-state TreeComponents 2 1
//| list-count ListFiles 3
//| list-text ListFiles 2 1 30 KB
//| contains RichLicence licence
//| progress ProgressCopy 40
//| focus TreeComponents
//| key * tab
//| focus ListFiles
//| key ListFiles shift-tab
//| focus TreeComponents
//| nobox 300
//| post-click BtnBox
//| shot box
//| box no Go on?
//| caption LblStatus answer no
//| post-click BtnBox
//| box yes
//| caption LblStatus answer yes
//| sysmenu 0x110
//| box ok
//| post-message 5 42
//| caption LblTitle message 5 42
//| post-click BtnBrowse
//| dialog
//| title Folder
//| type EditPath D:\Apps
//| click BtnOk
//| main
//| caption EditFolder1 D:\Apps
//| click BtnNext
//| missing LinkSite
//| title Target - next
//| shot main
//| click BtnClose
//| gone

#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <cstdio>
#include <string>

namespace {

constexpr wchar_t kClass[] = L"StowaSetupForm";
constexpr UINT kAboutItem = 0x110;
HWND g_main, g_title, g_status, g_link, g_check, g_next, g_edit, g_tree, g_list, g_folderDialog, g_editPath;
HFONT g_font;
int g_changes;
bool g_dialogDone;

enum Id { kLink = 100, kCheck, kNext, kBox, kHide, kBrowse, kClose, kEdit, kTree, kList, kRich, kProgress, kOk, kPath };

HWND Make(HWND parent, const wchar_t* cls, const wchar_t* name, const wchar_t* text, DWORD style, int x, int y, int w,
          int h, int id) {
  HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  SetPropW(c, L"StowaName", reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(GlobalAddAtomW(name))));
  SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
  return c;
}

void Status(const std::wstring& s) { SetWindowTextW(g_status, s.c_str()); }

// A picture of the state image list: 0 empty, 1 unchecked, 2 checked, 3 and
// 4 other frames.
HIMAGELIST StateImages() {
  HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 5, 0);
  HDC screen = GetDC(nullptr);
  for (int i = 0; i < 5; ++i) {
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, 16, 16);
    HGDIOBJ old = SelectObject(dc, bmp);
    RECT all{0, 0, 16, 16};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (i > 0) {
      Rectangle(dc, 2, 2, 14, 14);
      if (i >= 2) {
        MoveToEx(dc, 4, 8, nullptr);
        LineTo(dc, 7, 11);
        LineTo(dc, 12, 4);
      }
    }
    SelectObject(dc, old);
    ImageList_AddMasked(list, bmp, RGB(255, 0, 255));
    DeleteObject(bmp);
    DeleteDC(dc);
  }
  ReleaseDC(nullptr, screen);
  return list;
}

HTREEITEM AddItem(HTREEITEM parent, const wchar_t* text, int state) {
  TVINSERTSTRUCTW ins{};
  ins.hParent = parent;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT | TVIF_STATE;
  ins.item.pszText = const_cast<wchar_t*>(text);
  ins.item.state = INDEXTOSTATEIMAGEMASK(state);
  ins.item.stateMask = TVIS_STATEIMAGEMASK;
  return reinterpret_cast<HTREEITEM>(SendMessageW(g_tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&ins)));
}

void Swap(HTREEITEM item) {
  const UINT s = (static_cast<UINT>(SendMessageW(g_tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item),
                                                  TVIS_STATEIMAGEMASK)) >> 12) == 2 ? 1 : 2;
  TVITEMW tv{};
  tv.mask = TVIF_STATE | TVIF_HANDLE;
  tv.hItem = item;
  tv.state = INDEXTOSTATEIMAGEMASK(s);
  tv.stateMask = TVIS_STATEIMAGEMASK;
  SendMessageW(g_tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
  Status(L"item state " + std::to_wstring(s));
}

WNDPROC g_treeProc;
LRESULT CALLBACK TreeProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_LBUTTONDOWN) {
    TVHITTESTINFO hit{};
    hit.pt = POINT{static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
    SendMessageW(h, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
    if (hit.hItem && (hit.flags & TVHT_ONITEMSTATEICON)) {
      SetFocus(h);
      Swap(hit.hItem);
      return 0;
    }
  } else if (msg == WM_KEYDOWN && w == VK_SPACE) {
    if (auto item = reinterpret_cast<HTREEITEM>(SendMessageW(h, TVM_GETNEXTITEM, TVGN_CARET, 0))) Swap(item);
    return 0;
  } else if (msg == WM_CHAR && w == L' ') {
    return 0;
  }
  return CallWindowProcW(g_treeProc, h, msg, w, l);
}

void Fill(HWND w) {
  g_title = Make(w, L"STATIC", L"LblTitle", L"Driver\r\ntarget", 0, 10, 10, 200, 30, -1);
  g_status = Make(w, L"STATIC", L"LblStatus", L"ready", 0, 220, 10, 270, 16, -1);
  g_link = Make(w, L"STATIC", L"LinkSite", L"www.example.test", SS_NOTIFY, 220, 28, 150, 16, kLink);
  g_check = Make(w, L"BUTTON", L"CheckAgree", L"I agree", BS_AUTOCHECKBOX | WS_TABSTOP, 10, 50, 120, 20, kCheck);
  g_edit = Make(w, L"EDIT", L"EditFolder1", L"", WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP, 140, 50, 250, 22, kEdit);
  Make(w, L"BUTTON", L"BtnBrowse", L"Browse...", BS_PUSHBUTTON | WS_TABSTOP, 400, 48, 88, 26, kBrowse);
  g_tree = Make(w, WC_TREEVIEWW, L"TreeComponents", L"",
                WS_BORDER | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS, 10, 84,
                230, 130, kTree);
  SendMessageW(g_tree, TVM_SETIMAGELIST, TVSIL_STATE, reinterpret_cast<LPARAM>(StateImages()));
  HTREEITEM main = AddItem(TVI_ROOT, L"Main", 2);
  AddItem(main, L"Main part one", 2);
  AddItem(main, L"Main part two", 2);
  HTREEITEM extras = AddItem(TVI_ROOT, L"Extras", 1);
  AddItem(extras, L"Extra sounds", 1);
  AddItem(TVI_ROOT, L"Docs", 2);
  g_treeProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(g_tree, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TreeProc)));
  g_list = Make(w, WC_LISTVIEWW, L"ListFiles", L"", WS_BORDER | WS_TABSTOP | LVS_REPORT, 250, 84, 240, 130, kList);
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.cx = 150;
  col.pszText = const_cast<wchar_t*>(L"File");
  SendMessageW(g_list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&col));
  col.cx = 80;
  col.pszText = const_cast<wchar_t*>(L"Size");
  SendMessageW(g_list, LVM_INSERTCOLUMNW, 1, reinterpret_cast<LPARAM>(&col));
  const wchar_t* rows[3][2] = {{L"app.exe", L"10 KB"}, {L"readme.txt", L"20 KB"}, {L"data.bin", L"30 KB"}};
  for (int r = 0; r < 3; ++r) {
    LVITEMW it{};
    it.mask = LVIF_TEXT;
    it.iItem = r;
    it.pszText = const_cast<wchar_t*>(rows[r][0]);
    SendMessageW(g_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&it));
    it.iSubItem = 1;
    it.pszText = const_cast<wchar_t*>(rows[r][1]);
    SendMessageW(g_list, LVM_SETITEMTEXTW, r, reinterpret_cast<LPARAM>(&it));
  }
  HWND rich = Make(w, L"RICHEDIT50W", L"RichLicence", L"", WS_BORDER | ES_MULTILINE | ES_READONLY | WS_VSCROLL, 10,
                   222, 480, 60, kRich);
  SETTEXTEX st{ST_DEFAULT, CP_ACP};
  SendMessageW(rich, EM_SETTEXTEX, reinterpret_cast<WPARAM>(&st),
               reinterpret_cast<LPARAM>("{\\rtf1\\ansi{\\b Terms}\\par Read this licence.\\par}"));
  HWND bar = Make(w, PROGRESS_CLASSW, L"ProgressCopy", L"", 0, 10, 290, 480, 18, kProgress);
  SendMessageW(bar, PBM_SETRANGE32, 0, 100);
  SendMessageW(bar, PBM_SETPOS, 40, 0);
  Make(w, L"BUTTON", L"BtnBox", L"Ask", BS_PUSHBUTTON | WS_TABSTOP, 10, 320, 88, 26, kBox);
  Make(w, L"BUTTON", L"BtnHide", L"Hide", BS_PUSHBUTTON | WS_TABSTOP, 106, 320, 88, 26, kHide);
  Make(w, L"BUTTON", L"BtnClose", L"Close", BS_PUSHBUTTON | WS_TABSTOP, 302, 320, 88, 26, kClose);
  g_next = Make(w, L"BUTTON", L"BtnNext", L"&Next >", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_DISABLED, 400, 320, 88, 26,
                kNext);
}

// Every key message the loops take, on stdout: "WM_KEYDOWN 0x9 shift
// to TreeComponents".
void LogKey(const MSG& m) {
  const wchar_t* what = m.message == WM_KEYDOWN ? L"WM_KEYDOWN"
                        : m.message == WM_KEYUP ? L"WM_KEYUP"
                        : m.message == WM_CHAR  ? L"WM_CHAR"
                                                : nullptr;
  if (!what) return;
  wchar_t name[64] = L"";
  if (auto atom = static_cast<ATOM>(reinterpret_cast<UINT_PTR>(GetPropW(m.hwnd, L"StowaName"))))
    GlobalGetAtomNameW(atom, name, 64);
  wprintf(L"%ls 0x%llx%ls to %ls\n", what, static_cast<unsigned long long>(m.wParam),
          GetKeyState(VK_SHIFT) < 0 ? L" shift" : L"", name);
  fflush(stdout);
}

// The modal folder dialog: a second StowaSetupForm window owned by the main one.
void RunFolderDialog() {
  g_dialogDone = false;
  RECT r{};
  GetWindowRect(g_main, &r);
  g_folderDialog = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kClass, L"Folder",
                                   WS_POPUP | WS_CAPTION | WS_SYSMENU, r.left + 40, r.top + 60, 300, 130, g_main,
                                   nullptr, GetModuleHandleW(nullptr), nullptr);
  g_editPath = Make(g_folderDialog, L"EDIT", L"EditPath", L"C:\\", WS_BORDER | WS_TABSTOP, 10, 10, 270, 22, kPath);
  Make(g_folderDialog, L"BUTTON", L"BtnOk", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 190, 50, 88, 26, kOk);
  EnableWindow(g_main, FALSE);
  ShowWindow(g_folderDialog, SW_SHOW);
  MSG m;
  while (!g_dialogDone && GetMessageW(&m, nullptr, 0, 0) > 0) {
    LogKey(m);
    if (IsDialogMessageW(g_folderDialog, &m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  EnableWindow(g_main, TRUE);
  DestroyWindow(g_folderDialog);
  g_folderDialog = nullptr;
  SetActiveWindow(g_main);
}

LRESULT CALLBACK FormProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  switch (msg) {
    case WM_COMMAND: {
      const int id = LOWORD(w);
      const int code = HIWORD(w);
      if (id == kLink && code == STN_CLICKED) Status(L"link clicked");
      if (id == kCheck && code == BN_CLICKED) EnableWindow(g_next, SendMessageW(g_check, BM_GETCHECK, 0, 0) == BST_CHECKED);
      if (id == kNext && code == BN_CLICKED) {
        DestroyWindow(g_link);
        SetWindowTextW(g_main, L"Target - next");
      }
      if (id == kBox && code == BN_CLICKED) {
        const int a = MessageBoxW(g_main, L"Go on?\nThe second line.", L"Question", MB_YESNO | MB_ICONQUESTION);
        Status(a == IDYES ? L"answer yes" : L"answer no");
      }
      if (id == kHide && code == BN_CLICKED) ShowWindow(g_check, IsWindowVisible(g_check) ? SW_HIDE : SW_SHOW);
      if (id == kBrowse && code == BN_CLICKED) RunFolderDialog();
      if (id == kClose && code == BN_CLICKED) DestroyWindow(g_main);
      if (id == kEdit && code == EN_CHANGE) Status(L"changed " + std::to_wstring(++g_changes));
      if (id == kOk && code == BN_CLICKED) {
        wchar_t buf[260];
        GetWindowTextW(g_editPath, buf, 260);
        SetWindowTextW(g_edit, buf);
        g_dialogDone = true;
      }
      return 0;
    }
    case WM_SYSCOMMAND:
      if ((w & 0xFFF0) == kAboutItem) {
        MessageBoxW(h, L"Driver target 1.0", L"About", MB_OK);
        return 0;
      }
      break;
    case WM_CLOSE:
      if (h == g_folderDialog) {
        g_dialogDone = true;
        return 0;
      }
      break;
    case WM_DESTROY:
      if (h == g_main) PostQuitMessage(0);
      return 0;
    default:
      if (msg >= WM_USER && msg < 0x8000) {
        SetWindowTextW(g_title, (L"message " + std::to_wstring(msg - WM_USER) + L" " + std::to_wstring(w)).c_str());
        return 0;
      }
  }
  return DefWindowProcW(h, msg, w, l);
}

}  // namespace

int wmain() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  LoadLibraryW(L"msftedit.dll");
  g_font = CreateFontW(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma");
  WNDCLASSW wc{};
  wc.lpfnWndProc = FormProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClass;
  RegisterClassW(&wc);
  RECT r{0, 0, 500, 360};
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  AdjustWindowRectEx(&r, style, FALSE, WS_EX_CONTROLPARENT);
  g_main = CreateWindowExW(WS_EX_CONTROLPARENT, kClass, L"Target", style, 100, 80, r.right - r.left, r.bottom - r.top,
                           nullptr, nullptr, wc.hInstance, nullptr);
  Fill(g_main);
  AppendMenuW(GetSystemMenu(g_main, FALSE), MF_STRING, kAboutItem, L"About");
  ShowWindow(g_main, SW_SHOW);
  SetFocus(g_check);
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    LogKey(m);
    if (IsDialogMessageW(g_main, &m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  return 0;
}
