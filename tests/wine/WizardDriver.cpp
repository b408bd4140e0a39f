// WizardDriver.exe SCRIPT [OUTDIR]: works the setup's wizard window from
// another process, for the end-to-end tests under wine64 + Xvfb.
//
// SCRIPT holds one command per line (UTF-8, with or without a BOM, or
// UTF-16LE with a BOM; CR LF or LF). Blank lines and lines whose first
// non-blank character is # are ignored. Arguments are separated by spaces;
// for a command that takes TEXT, TEXT is the rest of the line after the
// single space that follows the last fixed argument (it may be empty and
// may contain spaces). The whole script is checked first: an unknown
// command or a wrong argument fails before any window is touched.
//
// Commands run in order. The first failure prints
//   line N: <the command as written>: <what was expected and what was found>
// on stderr and ends the run with exit code 1; 0 when every command passed,
// 2 for a usage error (no script, unreadable script). Each command is traced
// on stdout ("N: command", then what it saw).
//
// Every command that waits polls every 20 ms for at most the time-out
// (10 s unless `timeout` changed it); a check passes as soon as it holds.
// The target is the window that commands address: `window` makes the main
// window the target, `dialog` a dialog of it, `main` the main window again.
// If the target window is destroyed, a waiting command fails at once.
//
// Controls are found among all descendants of the target window by their
// window property "StowaName" (an ATOM; its global atom name is the
// control's name; names compare without regard to case, as atoms do). When
// several controls share a name, the first visible one is taken.
//
// TEXT comparisons: a window's text is read with WM_GETTEXT (a rich edit
// gives its parsed text); in the text read, every line break (CR LF, CR or
// LF) becomes the two characters \n and every tab \t, and the result is
// compared with TEXT exactly as written (so a label of two lines reads
// "first\nsecond", and a path C:\new stays as it is).
//
// Windows
//   window               wait for a visible top-level StowaSetupForm window
//                        without owner; it becomes the main window and the
//                        target
//   dialog               wait for a visible StowaSetupForm window owned by the
//                        main window (e.g. the folder dialog); it becomes the
//                        target
//   main                 target the main window again
//   gone                 wait until the main window no longer exists (the
//                        setup ended; before `window`: until no unowned
//                        StowaSetupForm window is visible)
//   backdrop             wait for a visible top-level StowaSetupBorderless
//                        window (the setup's backdrop); it becomes the
//                        target (`main` goes back to the main window)
//   nobackdrop           wait until no StowaSetupBorderless window exists
//   screen               the target's window rectangle is the whole primary
//                        screen (0,0 and SM_CXSCREEN x SM_CYSCREEN)
//   front                wait until the main window is the foreground window
//                        and, when `backdrop` found one, lies above the
//                        backdrop among the top-level windows
//   mouse X Y            a real click (SendInput: left button down and up)
//                        at X,Y of the target's client area, as a user's
//                        click, activation included
//   pixel X Y RGB        wait until the screen shows the colour RGB (0xRRGGBB)
//                        at X,Y of the target's client area
//   title TEXT           the target's own caption equals TEXT
//   client W H           the target's client area is W x H pixels
//   sysmenu ID           posts WM_SYSCOMMAND ID to the target (a system-menu
//                        item; GetSystemMenu of another process gives
//                        nothing). Posted, so that an item that opens a modal
//                        box does not block the driver
//   post-message MSG WPARAM  PostMessage(target, WM_USER + MSG, WPARAM, 0)
//   shot NAME            screenshot of the target's window rectangle (frame
//                        included; with a message box of it open, the union
//                        of both rectangles, clipped to the screen) as
//                        OUTDIR\NAME.bmp, 24 bits; waits until the window's
//                        thread is idle (WM_NULL), 150 ms, and idle again
//                        first, so that pending paints are done
//
// Controls (NAME is a StowaName; a missing control counts as hidden)
//   visible NAME / hidden NAME / enabled NAME / disabled NAME
//                        wait until that holds (enabled/disabled: the window's
//                        own WS_DISABLED; the control must exist)
//   missing NAME         wait until no control has that name
//   caption NAME TEXT    wait until the control's text equals TEXT
//   contains NAME TEXT   wait until the control's text contains TEXT
//   bounds NAME L T W H  wait until the control's window rectangle, in the
//                        target's client coordinates, is L,T and W x H
//   click NAME           wait until usable, then: a BUTTON gets BM_CLICK by
//                        SendMessage (it fails when the click does not return
//                        within the time-out: use post-click for a button that
//                        opens a modal box or dialog); any other control (a
//                        link label: STATIC + SS_NOTIFY) gets a posted
//                        WM_LBUTTONDOWN + WM_LBUTTONUP at its centre.
//                        "Usable" (here and below): visible, enabled, and its
//                        top-level window enabled (no modal window of it open)
//   post-click NAME      the same, but BM_CLICK is posted
//   check NAME 0|1|2     wait until BM_GETCHECK equals the value
//   toggle NAME          wait until usable, then BM_CLICK (sent) on a check box
//   type NAME [TEXT]     wait until usable, then WM_SETTEXT TEXT
//                        (the edit sends EN_CHANGE); TEXT may be empty
//   focus NAME           wait until the control has the keyboard focus
//                        (GetGUIThreadInfo of the window's thread: hwndFocus)
//   alt NAME LETTER      wait until usable, then post WM_SYSCHAR of LETTER
//                        (with the Alt bit) to the control, as Alt and
//                        that letter would arrive
//   key NAME KEY         wait until usable, then send KEY: space, enter,
//                        escape, tab are posted to the control as WM_KEYDOWN,
//                        WM_CHAR, WM_KEYUP. A posted message does not change
//                        the key state (GetKeyState(VK_SHIFT) stays up), and a
//                        message loop that calls TranslateMessage makes a
//                        second WM_CHAR of the posted WM_KEYDOWN (an EDIT
//                        then gets the character twice: use `type` for
//                        text). shift-tab is real input instead: the
//                        control's top-level window is brought to the
//                        foreground, the control is given the focus if it has
//                        not got it (AttachThreadInput + SetFocus), and
//                        SendInput types Shift down, Tab down, Tab up,
//                        Shift up. NAME * stands for the control that has the
//                        focus in the target's thread
//   progress NAME [MIN]  print the progress bar's PBM_GETPOS and PBM_GETRANGE;
//                        with MIN, wait first until the position is >= MIN
//
// Message boxes (a #32770 dialog with a text STATIC of id 0xFFFF, owned by
// the target or by the main window; before any `window` command, one
// without an owner)
//   box ANSWER [TEXT]    wait for a message box, check that its text contains
//                        TEXT when given, print its title and text, click the
//                        answer's button (ok, cancel, retry, yes, no) and wait
//                        until the box is gone
//   nobox MS             fails if a message box is open or opens within MS
//                        milliseconds
//
// Trees (SysTreeView32). ITEM is the 0-based index of a top-level item;
// "I.J" (and deeper) addresses child J of top-level item I.
//   tree-count NAME N    wait until the tree has N top-level items
//   tree-text NAME ITEM TEXT   wait until the item's text equals TEXT
//   tree-state NAME ITEM S     wait until the item's state image index
//                        (bits 12-15 of its state) is S
//   tree-click NAME ITEM wait until the tree is usable; the item is scrolled
//                        into view, its state icon is found by TVM_HITTEST
//                        left of its text rectangle, and WM_LBUTTONDOWN +
//                        WM_LBUTTONUP are posted at the icon's centre
//   tree-select NAME ITEM      TVM_SELECTITEM TVGN_CARET
//   tree-children NAME ITEM N  expands the item (TVM_EXPAND) and waits until
//                        it has N children
//
// List views (SysListView32)
//   list-count NAME N    wait until the list has N rows
//   list-text NAME ROW COL TEXT  wait until the cell's text equals TEXT
//
// Others
//   sleep MS             wait MS milliseconds
//   echo [TEXT]          print TEXT
//   run TEXT             runs the command line TEXT (e.g. reg.exe add ...)
//                        and waits for it; fails unless it exits with 0
//   add-printer TEXT     installs a PostScript printer (Wine's driver) on
//                        the port TEXT (under Wine a Linux path is a file
//                        the printed documents go to) and makes it the
//                        default printer
//   timeout [MS]         the time-out of the following commands (without MS:
//                        back to 10000)
//
// Numbers are decimal or 0x hexadecimal. OUTDIR (default: the current
// folder; created when missing) is a Windows path (Z:\tmp\shots); under
// Wine an absolute Linux path also works while the current folder is on Z:.
// Tree item and list cell texts, item rectangles and hit tests go through a
// buffer allocated in the setup's process, so for those commands the driver
// must have the setup's bitness (it says so when it has not).

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "HelperArgs.h"
#include "TestPrinter.h"

namespace {

constexpr wchar_t kFormClass[] = L"StowaSetupForm";
constexpr wchar_t kBorderlessClass[] = L"StowaSetupBorderless";
constexpr wchar_t kNameProperty[] = L"StowaName";
constexpr DWORD kDefaultTimeoutMs = 10000;
constexpr DWORD kPollMs = 20;
constexpr UINT kQueryTimeoutMs = 2000;  // one sent query message

// A failed command; `what` says what was expected and what was found.
struct Failure {
  std::wstring what;
};

[[noreturn]] void Fail(std::wstring what) { throw Failure{std::move(what)}; }

std::wstring Num(long long n);


// ---------------------------------------------------------------- output

void WriteUtf8(FILE* f, const std::wstring& text) {
  if (!text.empty()) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
  }
  fputc('\n', f);
  fflush(f);
}

void Trace(const std::wstring& text) { WriteUtf8(stdout, text); }

std::wstring Num(long long n) { return std::to_wstring(n); }

std::wstring Hex(UINT_PTR n) {
  wchar_t buf[32];
  swprintf(buf, 32, L"0x%llx", static_cast<unsigned long long>(n));
  return buf;
}

std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }

// Line breaks as \n and tabs as \t, so that a text compares with one line
// of a script.
std::wstring Flatten(const std::wstring& s) {
  std::wstring out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const wchar_t c = s[i];
    if (c == L'\r') {
      if (i + 1 < s.size() && s[i + 1] == L'\n') ++i;
      out += L"\\n";
    } else if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\t') {
      out += L"\\t";
    } else {
      out += c;
    }
  }
  return out;
}

// ---------------------------------------------------------------- state

DWORD g_timeoutMs = kDefaultTimeoutMs;
HWND g_main = nullptr;
HWND g_target = nullptr;
HWND g_backdrop = nullptr;
std::wstring g_outDir = L".";

// Polls `test` until it returns true; `test` describes in `found` what it
// saw. On time-out: "expected <expected>, found <found>".
template <class Test>
void WaitFor(const std::wstring& expected, Test&& test, DWORD timeoutMs = 0) {
  if (timeoutMs == 0) timeoutMs = g_timeoutMs;
  const ULONGLONG start = GetTickCount64();
  std::wstring found;
  for (;;) {
    found.clear();
    if (test(found)) return;
    const ULONGLONG elapsed = GetTickCount64() - start;
    if (elapsed >= timeoutMs) {
      Fail(L"expected " + expected + L", found " + (found.empty() ? L"nothing" : found) + L" (waited " +
           Num(static_cast<long long>(elapsed)) + L" ms)");
    }
    Sleep(kPollMs);
  }
}

bool ClassIs(HWND h, const wchar_t* name) {
  wchar_t cls[64];
  if (!GetClassNameW(h, cls, 64)) return false;
  return _wcsicmp(cls, name) == 0;
}

std::wstring ClassOf(HWND h) {
  wchar_t cls[64];
  if (!GetClassNameW(h, cls, 64)) return L"?";
  return cls;
}

void RequireTarget() {
  if (!g_target) Fail(L"no target window: `window` must come first");
  if (!IsWindow(g_target)) Fail(L"the target window no longer exists");
}

// A sent message with a time-out, so that a busy or ended setup cannot hang
// the driver. Returns false when the window did not answer.
bool Query(HWND h, UINT msg, WPARAM w, LPARAM l, LRESULT& result, UINT timeoutMs = kQueryTimeoutMs) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(h, msg, w, l, SMTO_NORMAL, timeoutMs, &r)) return false;
  result = static_cast<LRESULT>(r);
  return true;
}

LRESULT MustQuery(HWND h, UINT msg, WPARAM w, LPARAM l, const wchar_t* what) {
  LRESULT r = 0;
  if (!Query(h, msg, w, l, r)) Fail(std::wstring(what) + L": the window did not answer (error " + Num(GetLastError()) + L")");
  return r;
}

// The text of a window by WM_GETTEXT (works across processes, also for a
// rich edit, whose GetWindowText gives nothing there).
bool ReadText(HWND h, std::wstring& text) {
  LRESULT len = 0;
  if (!Query(h, WM_GETTEXTLENGTH, 0, 0, len)) return false;
  size_t size = static_cast<size_t>(len) * 2 + 64;
  for (;;) {
    std::vector<wchar_t> buf(size, L'\0');
    LRESULT got = 0;
    if (!Query(h, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buf.data()), got)) return false;
    if (static_cast<size_t>(got) + 1 < size) {
      text.assign(buf.data(), static_cast<size_t>(got));
      return true;
    }
    size *= 2;
  }
}

std::wstring NameOf(HWND h) {
  const ATOM atom = static_cast<ATOM>(reinterpret_cast<UINT_PTR>(GetPropW(h, kNameProperty)));
  if (!atom) return L"";
  wchar_t buf[256];
  const UINT n = GlobalGetAtomNameW(atom, buf, 256);
  return std::wstring(buf, n);
}

// How a window is shown in a message: its StowaName, else its class.
std::wstring Describe(HWND h) {
  if (!h) return L"no window";
  const std::wstring name = NameOf(h);
  if (!name.empty()) return name;
  return L"a " + ClassOf(h) + L" window " + Hex(reinterpret_cast<UINT_PTR>(h));
}

struct FindContext {
  const std::wstring* name;
  HWND first = nullptr;
  HWND firstVisible = nullptr;
};

BOOL CALLBACK FindChild(HWND h, LPARAM lp) {
  auto* ctx = reinterpret_cast<FindContext*>(lp);
  const ATOM atom = static_cast<ATOM>(reinterpret_cast<UINT_PTR>(GetPropW(h, kNameProperty)));
  if (!atom) return TRUE;
  wchar_t buf[256];
  const UINT n = GlobalGetAtomNameW(atom, buf, 256);
  if (n == 0 || _wcsicmp(buf, ctx->name->c_str()) != 0) return TRUE;
  if (!ctx->first) ctx->first = h;
  if (IsWindowVisible(h)) {
    ctx->firstVisible = h;
    return FALSE;
  }
  return TRUE;
}

HWND FocusOf(HWND h) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  const DWORD tid = GetWindowThreadProcessId(h, nullptr);
  if (!tid || !GetGUIThreadInfo(tid, &info)) return nullptr;
  return info.hwndFocus;
}

// The control of that name in the target window, or null. "*" is the
// control that has the focus in the target's thread.
HWND FindControl(const std::wstring& name) {
  RequireTarget();
  if (name == L"*") return FocusOf(g_target);
  FindContext ctx{&name};
  EnumChildWindows(g_target, FindChild, reinterpret_cast<LPARAM>(&ctx));
  return ctx.firstVisible ? ctx.firstVisible : ctx.first;
}

// Waits until the control exists, is visible and (if asked) enabled.
HWND WaitUsable(const std::wstring& name, bool enabled) {
  HWND h = nullptr;
  WaitFor(name + (enabled ? L" visible and enabled" : L" visible"), [&](std::wstring& found) {
    h = FindControl(name);
    if (!h) {
      found = L"no such control";
      return false;
    }
    if (!IsWindowVisible(h)) {
      found = L"hidden";
      return false;
    }
    if (enabled && !IsWindowEnabled(h)) {
      found = L"disabled";
      return false;
    }
    // A disabled top-level window (a modal box or dialog of it is open)
    // takes no input from a user either.
    if (enabled && !IsWindowEnabled(GetAncestor(h, GA_ROOT))) {
      found = L"enabled, but its window is disabled (a modal window is open?)";
      return false;
    }
    return true;
  });
  return h;
}

// ---------------------------------------------------------------- top-level windows

struct TopContext {
  const wchar_t* cls;
  HWND owner;        // wanted owner (null: none)
  bool anyOwner;     // ignore the owner
  bool needVisible;
  HWND found = nullptr;
};

BOOL CALLBACK FindTop(HWND h, LPARAM lp) {
  auto* ctx = reinterpret_cast<TopContext*>(lp);
  if (!ClassIs(h, ctx->cls)) return TRUE;
  if (ctx->needVisible && !IsWindowVisible(h)) return TRUE;
  if (!ctx->anyOwner && GetWindow(h, GW_OWNER) != ctx->owner) return TRUE;
  ctx->found = h;
  return FALSE;
}

HWND FindTopLevel(const wchar_t* cls, HWND owner, bool visible = true) {
  TopContext ctx{cls, owner, false, visible};
  EnumWindows(FindTop, reinterpret_cast<LPARAM>(&ctx));
  return ctx.found;
}

// A message box: a visible #32770 dialog with the text STATIC 0xFFFF.
struct BoxContext {
  HWND owners[2];
  HWND found = nullptr;
};

BOOL CALLBACK FindBoxProc(HWND h, LPARAM lp) {
  auto* ctx = reinterpret_cast<BoxContext*>(lp);
  if (!ClassIs(h, L"#32770") || !IsWindowVisible(h)) return TRUE;
  // Before any `window` both owners are null: a box of a program that has
  // no window of its own (the uninstaller's questions) is owned by nobody.
  const HWND owner = GetWindow(h, GW_OWNER);
  if (owner != ctx->owners[0] && owner != ctx->owners[1]) return TRUE;
  if (!GetDlgItem(h, 0xFFFF)) return TRUE;
  ctx->found = h;
  return FALSE;
}

HWND FindBox() {
  BoxContext ctx{{g_target, g_main}};
  EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&ctx));
  return ctx.found;
}

std::wstring WindowCaption(HWND h) {
  wchar_t buf[1024];
  const int n = GetWindowTextW(h, buf, 1024);
  return std::wstring(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::wstring BoxText(HWND box) {
  std::wstring text;
  if (HWND s = GetDlgItem(box, 0xFFFF)) ReadText(s, text);
  return text;
}

std::wstring BoxSummary(HWND box) {
  return L"box " + Quote(WindowCaption(box)) + L": " + Quote(Flatten(BoxText(box)));
}

// ---------------------------------------------------------------- memory in the target process

class Remote {
 public:
  Remote(HWND h, size_t size) : size_(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                           FALSE, pid);
    if (!process_) Fail(L"OpenProcess of the setup failed (error " + Num(GetLastError()) + L")");
    BOOL mine = FALSE, theirs = FALSE;
    IsWow64Process(GetCurrentProcess(), &mine);
    IsWow64Process(process_, &theirs);
    if (mine != theirs) {
      CloseHandle(process_);
      Fail(L"the setup and this driver differ in bitness: use the driver built for the setup's target");
    }
    memory_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!memory_) {
      const DWORD e = GetLastError();
      CloseHandle(process_);
      Fail(L"VirtualAllocEx in the setup failed (error " + Num(e) + L")");
    }
  }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;
  ~Remote() {
    VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    CloseHandle(process_);
  }
  // The address of `offset` in the target process.
  LPARAM At(size_t offset) const { return reinterpret_cast<LPARAM>(static_cast<char*>(memory_) + offset); }
  void Write(size_t offset, const void* data, size_t n) {
    SIZE_T done = 0;
    if (offset + n > size_ || !WriteProcessMemory(process_, static_cast<char*>(memory_) + offset, data, n, &done) ||
        done != n)
      Fail(L"WriteProcessMemory failed (error " + Num(GetLastError()) + L")");
  }
  void Read(size_t offset, void* data, size_t n) {
    SIZE_T done = 0;
    if (offset + n > size_ || !ReadProcessMemory(process_, static_cast<char*>(memory_) + offset, data, n, &done) ||
        done != n)
      Fail(L"ReadProcessMemory failed (error " + Num(GetLastError()) + L")");
  }
  std::wstring ReadString(size_t offset, size_t maxChars) {
    std::vector<wchar_t> buf(maxChars + 1, L'\0');
    Read(offset, buf.data(), maxChars * sizeof(wchar_t));
    buf[maxChars] = L'\0';
    return buf.data();
  }

 private:
  HANDLE process_ = nullptr;
  void* memory_ = nullptr;
  size_t size_;
};

constexpr size_t kTextChars = 2048;
constexpr size_t kTextOffset = 256;  // after the structure, aligned
constexpr size_t kRemoteSize = kTextOffset + kTextChars * sizeof(wchar_t);

// ---------------------------------------------------------------- trees

// "I" or "I.J...": 0-based indexes of a top-level item and its descendants.
bool ParseItemPath(const std::wstring& text, std::vector<DWORD>& path) {
  path.clear();
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find(L'.', start);
    const std::wstring part = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
    DWORD n = 0;
    if (part.empty() || part[0] == L'-' || !stwtest::ParseDword(part.c_str(), n)) return false;
    path.push_back(n);
    if (dot == std::wstring::npos) return true;
    start = dot + 1;
  }
}

HTREEITEM NextItem(HWND tree, HTREEITEM item, UINT code) {
  LRESULT r = 0;
  if (!Query(tree, TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item), r)) return nullptr;
  return reinterpret_cast<HTREEITEM>(r);
}

int CountSiblings(HWND tree, HTREEITEM first) {
  int n = 0;
  for (HTREEITEM i = first; i; i = NextItem(tree, i, TVGN_NEXT)) ++n;
  return n;
}

// The item at `path`, or null with `found` saying where the path ended.
HTREEITEM ResolveItem(HWND tree, const std::vector<DWORD>& path, std::wstring& found) {
  HTREEITEM item = NextItem(tree, nullptr, TVGN_ROOT);
  std::wstring where = L"top level";
  for (size_t level = 0; level < path.size(); ++level) {
    if (level > 0) item = NextItem(tree, item, TVGN_CHILD);
    HTREEITEM first = item;
    for (DWORD k = 0; k < path[level] && item; ++k) item = NextItem(tree, item, TVGN_NEXT);
    if (!item) {
      found = Num(CountSiblings(tree, first)) + L" items at " + where;
      return nullptr;
    }
    where = L"item " + std::to_wstring(path[0]);
    for (size_t k = 1; k <= level; ++k) where += L"." + std::to_wstring(path[k]);
  }
  return item;
}

std::wstring TreeItemText(HWND tree, HTREEITEM item) {
  Remote mem(tree, kRemoteSize);
  TVITEMW tv{};
  tv.mask = TVIF_TEXT | TVIF_HANDLE;
  tv.hItem = item;
  tv.pszText = reinterpret_cast<wchar_t*>(mem.At(kTextOffset));
  tv.cchTextMax = static_cast<int>(kTextChars);
  mem.Write(0, &tv, sizeof tv);
  const wchar_t zero = 0;
  mem.Write(kTextOffset, &zero, sizeof zero);
  if (!MustQuery(tree, TVM_GETITEMW, 0, mem.At(0), L"TVM_GETITEM")) Fail(L"TVM_GETITEM failed");
  // The control may point pszText at its own copy.
  mem.Read(0, &tv, sizeof tv);
  if (reinterpret_cast<LPARAM>(tv.pszText) != mem.At(kTextOffset)) {
    Fail(L"TVM_GETITEM returned the text at another address");
  }
  return mem.ReadString(kTextOffset, kTextChars - 1);
}

int StateImage(HWND tree, HTREEITEM item) {
  const LRESULT s = MustQuery(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK,
                              L"TVM_GETITEMSTATE");
  return static_cast<int>((static_cast<UINT>(s) & TVIS_STATEIMAGEMASK) >> 12);
}

bool ItemRect(Remote& mem, HWND tree, HTREEITEM item, bool textOnly, RECT& rect) {
  RECT r{};
  static_assert(sizeof(HTREEITEM) <= sizeof(RECT));
  std::memcpy(&r, &item, sizeof item);
  mem.Write(0, &r, sizeof r);
  if (!MustQuery(tree, TVM_GETITEMRECT, textOnly ? TRUE : FALSE, mem.At(0), L"TVM_GETITEMRECT")) return false;
  mem.Read(0, &rect, sizeof rect);
  return true;
}

bool HitTest(Remote& mem, HWND tree, POINT pt, UINT& flags, HTREEITEM& item) {
  TVHITTESTINFO info{};
  info.pt = pt;
  mem.Write(0, &info, sizeof info);
  LRESULT r = 0;
  if (!Query(tree, TVM_HITTEST, 0, mem.At(0), r)) return false;
  mem.Read(0, &info, sizeof info);
  flags = info.flags;
  item = info.hItem;
  return true;
}

// ---------------------------------------------------------------- list views

std::wstring ListCellText(HWND list, int row, int col) {
  Remote mem(list, kRemoteSize);
  LVITEMW lv{};
  lv.iSubItem = col;
  lv.pszText = reinterpret_cast<wchar_t*>(mem.At(kTextOffset));
  lv.cchTextMax = static_cast<int>(kTextChars);
  mem.Write(0, &lv, sizeof lv);
  const wchar_t zero = 0;
  mem.Write(kTextOffset, &zero, sizeof zero);
  const LRESULT n = MustQuery(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), mem.At(0), L"LVM_GETITEMTEXT");
  std::wstring text = mem.ReadString(kTextOffset, kTextChars - 1);
  if (static_cast<size_t>(n) < text.size()) text.resize(static_cast<size_t>(n));
  return text;
}

// ---------------------------------------------------------------- input

void PostClickAt(HWND h, int x, int y) {
  const LPARAM at = MAKELPARAM(x, y);
  if (!PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, at) || !PostMessageW(h, WM_LBUTTONUP, 0, at))
    Fail(L"PostMessage failed (error " + Num(GetLastError()) + L")");
}

void PostClickCentre(HWND h) {
  RECT r{};
  GetClientRect(h, &r);
  PostClickAt(h, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

struct Key {
  const wchar_t* name;
  UINT vk;
  wchar_t ch;
};
constexpr Key kKeys[] = {
    {L"space", VK_SPACE, L' '}, {L"enter", VK_RETURN, L'\r'}, {L"escape", VK_ESCAPE, 0x1B}, {L"tab", VK_TAB, L'\t'},
    {L"shift-tab", VK_TAB, 0},
};

const Key* FindKey(const std::wstring& name) {
  for (const Key& k : kKeys)
    if (_wcsicmp(k.name, name.c_str()) == 0) return &k;
  return nullptr;
}

void PostKey(HWND h, const Key& key) {
  const UINT scan = MapVirtualKeyW(key.vk, MAPVK_VK_TO_VSC);
  const LPARAM down = static_cast<LPARAM>(1 | (scan << 16));
  const LPARAM up = static_cast<LPARAM>(1 | (scan << 16) | (1u << 30) | (1u << 31));
  bool ok = PostMessageW(h, WM_KEYDOWN, key.vk, down);
  if (key.ch) ok = ok && PostMessageW(h, WM_CHAR, key.ch, down);
  ok = ok && PostMessageW(h, WM_KEYUP, key.vk, up);
  if (!ok) Fail(L"PostMessage failed (error " + Num(GetLastError()) + L")");
}

INPUT KeyInput(WORD vk, bool up) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  return in;
}

// Shift+Tab as real input to `h`: activation, focus, SendInput.
void SendShiftTab(HWND h) {
  HWND root = GetAncestor(h, GA_ROOT);
  if (GetForegroundWindow() != root) {
    SetForegroundWindow(root);
    WaitFor(Describe(root) + L" in the foreground", [&](std::wstring& found) {
      HWND fg = GetForegroundWindow();
      if (fg == root) return true;
      found = Describe(fg);
      return false;
    }, 3000);
  }
  if (FocusOf(h) != h) {
    const DWORD mine = GetCurrentThreadId();
    const DWORD theirs = GetWindowThreadProcessId(h, nullptr);
    AttachThreadInput(mine, theirs, TRUE);
    SetFocus(h);
    AttachThreadInput(mine, theirs, FALSE);
    WaitFor(L"the focus on " + Describe(h), [&](std::wstring& found) {
      HWND f = FocusOf(h);
      if (f == h) return true;
      found = L"the focus on " + Describe(f);
      return false;
    }, 3000);
  }
  INPUT in[4] = {KeyInput(VK_SHIFT, false), KeyInput(VK_TAB, false), KeyInput(VK_TAB, true), KeyInput(VK_SHIFT, true)};
  if (SendInput(4, in, sizeof(INPUT)) != 4) Fail(L"SendInput failed (error " + Num(GetLastError()) + L")");
}

// ---------------------------------------------------------------- screenshots

// Waits until the window's thread has handled its queue (WM_NULL).
void WaitIdle(HWND h) {
  LRESULT r = 0;
  if (!Query(h, WM_NULL, 0, 0, r, g_timeoutMs)) Fail(L"the window's thread did not become idle");
}

void CreateFolders(const std::wstring& path) {
  if (path.empty() || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  const size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0 && path[slash - 1] != L':') CreateFolders(path.substr(0, slash));
  CreateDirectoryW(path.c_str(), nullptr);
}

std::wstring SaveShot(const std::wstring& name) {
  RequireTarget();
  WaitIdle(g_target);
  Sleep(150);
  WaitIdle(g_target);
  RECT rect{};
  GetWindowRect(g_target, &rect);
  if (HWND box = FindBox(); box && GetWindow(box, GW_OWNER) == g_target) {
    RECT b{};
    GetWindowRect(box, &b);
    UnionRect(&rect, &rect, &b);
  }
  const RECT screen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                    GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                    GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  IntersectRect(&rect, &rect, &screen);
  const int w = rect.right - rect.left;
  const int h = rect.bottom - rect.top;
  if (w <= 0 || h <= 0) Fail(L"the window lies outside the screen");

  HDC screenDc = GetDC(nullptr);
  HDC memDc = CreateCompatibleDC(screenDc);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;  // bottom-up, as a BMP file stores its rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screenDc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = bmp != nullptr;
  if (ok) {
    HGDIOBJ old = SelectObject(memDc, bmp);
    ok = BitBlt(memDc, 0, 0, w, h, screenDc, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    SelectObject(memDc, old);
  }
  DeleteDC(memDc);
  ReleaseDC(nullptr, screenDc);
  if (!ok) {
    if (bmp) DeleteObject(bmp);
    Fail(L"capturing the screen failed");
  }

  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  const DWORD imageSize = stride * static_cast<DWORD>(h);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;  // "BM"
  fh.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  fh.bfSize = fh.bfOffBits + imageSize;
  bi.bmiHeader.biSizeImage = imageSize;

  CreateFolders(g_outDir);
  const std::wstring path = g_outDir + L"\\" + name + L".bmp";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD done = 0;
  ok = f != INVALID_HANDLE_VALUE && WriteFile(f, &fh, sizeof fh, &done, nullptr) &&
       WriteFile(f, &bi.bmiHeader, sizeof bi.bmiHeader, &done, nullptr) &&
       WriteFile(f, bits, imageSize, &done, nullptr) && done == imageSize;
  const DWORD error = GetLastError();
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
  DeleteObject(bmp);
  if (!ok) Fail(L"writing " + path + L" failed (error " + Num(error) + L")");
  return path + L" (" + Num(w) + L" x " + Num(h) + L" at " + Num(rect.left) + L"," + Num(rect.top) + L")";
}

// ---------------------------------------------------------------- script

struct Command {
  int line = 0;
  std::wstring source;            // the line as written (trimmed)
  std::wstring name;
  std::vector<std::wstring> args;  // fixed arguments
  std::wstring text;              // the rest of the line, for commands with text
  bool hasText = false;           // TEXT was given (box, progress)
};

// How many fixed arguments a command takes and whether TEXT follows.
struct Syntax {
  const wchar_t* name;
  int minArgs;
  int maxArgs;
  bool text;  // the rest of the line after the fixed arguments
};
constexpr Syntax kSyntax[] = {
    {L"window", 0, 0, false},       {L"dialog", 0, 0, false},      {L"main", 0, 0, false},
    {L"gone", 0, 0, false},         {L"visible", 1, 1, false},     {L"hidden", 1, 1, false},
    {L"enabled", 1, 1, false},      {L"disabled", 1, 1, false},    {L"missing", 1, 1, false},
    {L"caption", 1, 1, true},       {L"contains", 1, 1, true},     {L"title", 0, 0, true},
    {L"click", 1, 1, false},        {L"post-click", 1, 1, false},  {L"check", 2, 2, false},
    {L"toggle", 1, 1, false},       {L"type", 1, 1, true},         {L"focus", 1, 1, false},
    {L"key", 2, 2, false},          {L"alt", 2, 2, false},         {L"box", 1, 1, true},          {L"nobox", 1, 1, false},
    {L"tree-count", 2, 2, false},   {L"tree-text", 2, 2, true},    {L"tree-state", 3, 3, false},
    {L"tree-click", 2, 2, false},   {L"tree-select", 2, 2, false}, {L"tree-children", 3, 3, false},
    {L"list-count", 2, 2, false},   {L"list-text", 3, 3, true},    {L"bounds", 5, 5, false},
    {L"client", 2, 2, false},       {L"progress", 1, 2, false},    {L"sysmenu", 1, 1, false},
    {L"shot", 1, 1, false},         {L"sleep", 1, 1, false},       {L"echo", 0, 0, true},
    {L"post-message", 2, 2, false}, {L"timeout", 0, 1, false},    {L"backdrop", 0, 0, false},
    {L"nobackdrop", 0, 0, false},   {L"screen", 0, 0, false},      {L"front", 0, 0, false},
    {L"mouse", 2, 2, false},        {L"pixel", 3, 3, false},       {L"run", 0, 0, true},
    {L"add-printer", 0, 0, true},
};

const Syntax* FindSyntax(const std::wstring& name) {
  for (const Syntax& s : kSyntax)
    if (name == s.name) return &s;
  return nullptr;
}

// Splits one line; returns an error text, empty when the line is well formed.
std::wstring ParseLine(const std::wstring& line, Command& cmd) {
  size_t pos = 0;
  auto skipSpaces = [&] {
    while (pos < line.size() && line[pos] == L' ') ++pos;
  };
  auto word = [&] {
    const size_t start = pos;
    while (pos < line.size() && line[pos] != L' ') ++pos;
    return line.substr(start, pos - start);
  };
  cmd.name = word();
  const Syntax* syntax = FindSyntax(cmd.name);
  if (!syntax) return L"unknown command";
  for (int i = 0; i < syntax->maxArgs; ++i) {
    skipSpaces();
    if (pos >= line.size()) break;
    cmd.args.push_back(word());
  }
  if (static_cast<int>(cmd.args.size()) < syntax->minArgs)
    return L"expected " + Num(syntax->minArgs) + L" argument(s), found " + Num(static_cast<long long>(cmd.args.size()));
  if (syntax->text) {
    if (pos < line.size()) {
      ++pos;  // the one space before TEXT
      cmd.hasText = true;
    }
    cmd.text = line.substr(pos);
  } else {
    skipSpaces();
    if (pos < line.size()) return L"too many arguments (expected at most " + Num(syntax->maxArgs) + L")";
  }
  return L"";
}

DWORD NumberArg(const std::wstring& text, const wchar_t* what) {
  DWORD n = 0;
  if (!stwtest::ParseDword(text.c_str(), n)) Fail(std::wstring(what) + L" must be a number, found " + Quote(text));
  return n;
}

int IntArg(const std::wstring& text, const wchar_t* what) {
  if (!text.empty() && text[0] == L'-') Fail(std::wstring(what) + L" must not be negative, found " + Quote(text));
  const DWORD n = NumberArg(text, what);
  if (n > 0x7FFFFFFF) Fail(std::wstring(what) + L" is too large: " + text);
  return static_cast<int>(n);
}

std::vector<DWORD> ItemArg(const std::wstring& text) {
  std::vector<DWORD> path;
  if (!ParseItemPath(text, path)) Fail(L"ITEM must be an index or a path like 2.0, found " + Quote(text));
  return path;
}

int AnswerId(const std::wstring& answer) {
  static const std::pair<const wchar_t*, int> answers[] = {
      {L"ok", IDOK}, {L"cancel", IDCANCEL}, {L"retry", IDRETRY}, {L"yes", IDYES}, {L"no", IDNO}};
  for (const auto& [name, id] : answers)
    if (_wcsicmp(name, answer.c_str()) == 0) return id;
  return 0;
}

// The argument checks that need no window, shared by the first pass and
// the run.
void CheckArguments(const Command& c) {
  const std::wstring& n = c.name;
  if (n == L"check") {
    const int v = IntArg(c.args[1], L"the check state");
    if (v > 2) Fail(L"the check state must be 0, 1 or 2");
  } else if (n == L"alt") {
    if (c.args[1].size() != 1) Fail(L"alt takes one letter, not " + Quote(c.args[1]));
  } else if (n == L"key") {
    if (!FindKey(c.args[1])) Fail(L"unknown key " + Quote(c.args[1]) + L" (space, enter, escape, tab, shift-tab)");
  } else if (n == L"box") {
    if (!AnswerId(c.args[0])) Fail(L"unknown answer " + Quote(c.args[0]) + L" (ok, cancel, retry, yes, no)");
  } else if (n == L"nobox" || n == L"sleep") {
    IntArg(c.args[0], L"MS");
  } else if (n == L"timeout") {
    if (!c.args.empty() && IntArg(c.args[0], L"MS") == 0) Fail(L"the time-out must be more than 0");
  } else if (n == L"tree-count" || n == L"list-count") {
    IntArg(c.args[1], L"N");
  } else if (n == L"tree-text" || n == L"tree-click" || n == L"tree-select") {
    ItemArg(c.args[1]);
  } else if (n == L"tree-state") {
    ItemArg(c.args[1]);
    if (IntArg(c.args[2], L"S") > 15) Fail(L"a state image index lies in 0..15");
  } else if (n == L"tree-children") {
    ItemArg(c.args[1]);
    IntArg(c.args[2], L"N");
  } else if (n == L"list-text") {
    IntArg(c.args[1], L"ROW");
    IntArg(c.args[2], L"COL");
  } else if (n == L"bounds") {
    for (size_t i = 1; i < 5; ++i) NumberArg(c.args[i], L"a coordinate");
  } else if (n == L"client") {
    IntArg(c.args[0], L"W");
    IntArg(c.args[1], L"H");
  } else if (n == L"progress") {
    if (c.args.size() > 1) NumberArg(c.args[1], L"MIN");
  } else if (n == L"sysmenu") {
    NumberArg(c.args[0], L"ID");
  } else if (n == L"post-message") {
    NumberArg(c.args[0], L"MSG");
    NumberArg(c.args[1], L"WPARAM");
  } else if (n == L"mouse") {
    NumberArg(c.args[0], L"X");
    NumberArg(c.args[1], L"Y");
  } else if (n == L"pixel") {
    NumberArg(c.args[0], L"X");
    NumberArg(c.args[1], L"Y");
    if (NumberArg(c.args[2], L"RGB") > 0xFFFFFF) Fail(L"RGB must lie in 0..0xFFFFFF");
  } else if (n == L"shot") {
    if (c.args[0].find_first_of(L"\\/:*?\"<>|") != std::wstring::npos) Fail(L"NAME must be a plain file name");
  }
}

int SignedArg(const std::wstring& text, const wchar_t* what) { return static_cast<int>(NumberArg(text, what)); }

// ---------------------------------------------------------------- the commands

void WaitText(const Command& c, bool whole) {
  const std::wstring& name = c.args[0];
  WaitFor(name + (whole ? L" reading " : L" containing ") + Quote(c.text), [&](std::wstring& found) {
    HWND h = FindControl(name);
    if (!h) {
      found = L"no such control";
      return false;
    }
    std::wstring text;
    if (!ReadText(h, text)) {
      found = L"no answer to WM_GETTEXT";
      return false;
    }
    text = Flatten(text);
    found = Quote(text);
    return whole ? text == c.text : text.find(c.text) != std::wstring::npos;
  });
}

// The control of that name if it exists (else null, `found` says so); it
// fails at once when the control is of another class.
HWND FindOfClass(const std::wstring& name, const wchar_t* cls, std::wstring& found) {
  HWND h = FindControl(name);
  if (!h) {
    found = L"no control named " + name;
    return nullptr;
  }
  if (!ClassIs(h, cls)) Fail(name + L" is a " + ClassOf(h) + L", not a " + cls);
  return h;
}

// Waits until the control of that name exists; it must be of class `cls`.
HWND WaitClass(const std::wstring& name, const wchar_t* cls) {
  HWND h = nullptr;
  WaitFor(L"a " + std::wstring(cls) + L" named " + name, [&](std::wstring& found) {
    h = FindOfClass(name, cls, found);
    return h != nullptr;
  });
  return h;
}

// Runs one command; throws Failure.
void Run(const Command& c) {
  const std::wstring& n = c.name;
  CheckArguments(c);

  if (n == L"window") {
    HWND found = nullptr;
    WaitFor(L"a visible StowaSetupForm window without owner", [&](std::wstring& f) {
      found = FindTopLevel(kFormClass, nullptr);
      if (!found) f = L"none";
      return found != nullptr;
    });
    g_main = g_target = found;
    Trace(L"   main window " + Hex(reinterpret_cast<UINT_PTR>(found)) + L" " + Quote(WindowCaption(found)));
  } else if (n == L"dialog") {
    if (!g_main) Fail(L"no main window: `window` must come first");
    HWND found = nullptr;
    WaitFor(L"a visible StowaSetupForm window owned by the main window", [&](std::wstring& f) {
      if (!IsWindow(g_main)) Fail(L"the main window no longer exists");
      found = FindTopLevel(kFormClass, g_main);
      if (!found) f = L"none";
      return found != nullptr;
    });
    g_target = found;
    Trace(L"   dialog " + Hex(reinterpret_cast<UINT_PTR>(found)) + L" " + Quote(WindowCaption(found)));
  } else if (n == L"backdrop") {
    HWND found = nullptr;
    WaitFor(L"a visible StowaSetupBorderless window", [&](std::wstring& f) {
      TopContext ctx{kBorderlessClass, nullptr, true, true};
      EnumWindows(FindTop, reinterpret_cast<LPARAM>(&ctx));
      found = ctx.found;
      if (!found) f = L"none";
      return found != nullptr;
    });
    g_backdrop = g_target = found;
    Trace(L"   backdrop " + Hex(reinterpret_cast<UINT_PTR>(found)));
  } else if (n == L"nobackdrop") {
    WaitFor(L"no StowaSetupBorderless window", [&](std::wstring& f) {
      TopContext ctx{kBorderlessClass, nullptr, true, false};
      EnumWindows(FindTop, reinterpret_cast<LPARAM>(&ctx));
      if (ctx.found) f = L"window " + Hex(reinterpret_cast<UINT_PTR>(ctx.found)) +
                         (IsWindowVisible(ctx.found) ? L"" : L" (hidden)");
      return ctx.found == nullptr;
    });
  } else if (n == L"screen") {
    RequireTarget();
    RECT r{};
    GetWindowRect(g_target, &r);
    const int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    if (r.left != 0 || r.top != 0 || r.right != cx || r.bottom != cy)
      Fail(L"expected the window at 0,0 of " + Num(cx) + L" x " + Num(cy) + L", found " + Num(r.left) + L"," +
           Num(r.top) + L" of " + Num(r.right - r.left) + L" x " + Num(r.bottom - r.top));
    Trace(L"   " + Num(cx) + L" x " + Num(cy));
  } else if (n == L"front") {
    if (!g_main) Fail(L"no main window: `window` must come first");
    WaitFor(L"the main window in the foreground and above the backdrop", [&](std::wstring& f) {
      if (!IsWindow(g_main)) Fail(L"the main window no longer exists");
      const HWND fg = GetForegroundWindow();
      bool above = true;
      if (g_backdrop && IsWindow(g_backdrop)) {
        above = false;
        for (HWND h = GetWindow(g_main, GW_HWNDNEXT); h; h = GetWindow(h, GW_HWNDNEXT))
          if (h == g_backdrop) above = true;
      }
      f = L"the foreground window " + (fg == g_main ? std::wstring(L"the main window") : Describe(fg)) +
          (above ? L"" : L", and the backdrop above the main window");
      return fg == g_main && above;
    });
  } else if (n == L"mouse") {
    RequireTarget();
    POINT at{SignedArg(c.args[0], L"X"), SignedArg(c.args[1], L"Y")};
    ClientToScreen(g_target, &at);
    const int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    INPUT in[2]{};
    for (INPUT& i : in) {
      i.type = INPUT_MOUSE;
      i.mi.dx = static_cast<LONG>(MulDiv(at.x, 65535, cx > 1 ? cx - 1 : 1));
      i.mi.dy = static_cast<LONG>(MulDiv(at.y, 65535, cy > 1 ? cy - 1 : 1));
    }
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN;
    in[1].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP;
    if (SendInput(2, in, sizeof(INPUT)) != 2) Fail(L"SendInput failed (error " + Num(GetLastError()) + L")");
    Trace(L"   clicked at " + Num(at.x) + L"," + Num(at.y) + L" of the screen");
  } else if (n == L"pixel") {
    RequireTarget();
    const POINT client{SignedArg(c.args[0], L"X"), SignedArg(c.args[1], L"Y")};
    const DWORD want = NumberArg(c.args[2], L"RGB");
    WaitFor(L"the colour " + Hex(want) + L" at " + c.args[0] + L"," + c.args[1], [&](std::wstring& f) {
      RequireTarget();
      POINT at = client;
      ClientToScreen(g_target, &at);
      const HDC dc = GetDC(nullptr);
      const COLORREF p = GetPixel(dc, at.x, at.y);
      ReleaseDC(nullptr, dc);
      const DWORD rgb = (GetRValue(p) << 16) | (GetGValue(p) << 8) | GetBValue(p);
      f = p == CLR_INVALID ? L"no pixel there" : Hex(rgb);
      return p != CLR_INVALID && rgb == want;
    });
  } else if (n == L"main") {
    if (!g_main) Fail(L"no main window: `window` must come first");
    if (!IsWindow(g_main)) Fail(L"the main window no longer exists");
    g_target = g_main;
  } else if (n == L"gone") {
    WaitFor(L"the setup window gone", [&](std::wstring& f) {
      HWND w = g_main ? (IsWindow(g_main) ? g_main : nullptr) : FindTopLevel(kFormClass, nullptr);
      if (w) f = L"window " + Hex(reinterpret_cast<UINT_PTR>(w)) + L" " + Quote(WindowCaption(w)) +
                 (IsWindowVisible(w) ? L"" : L" (hidden)");
      return w == nullptr;
    });
  } else if (n == L"visible" || n == L"hidden" || n == L"enabled" || n == L"disabled") {
    const std::wstring& name = c.args[0];
    WaitFor(name + L" " + n, [&](std::wstring& f) {
      HWND h = FindControl(name);
      if (!h) {
        f = L"no such control";
        return n == L"hidden";
      }
      const bool visible = IsWindowVisible(h) != FALSE;
      const bool enabled = IsWindowEnabled(h) != FALSE;
      f = std::wstring(visible ? L"visible" : L"hidden") + L" and " + (enabled ? L"enabled" : L"disabled");
      if (n == L"visible") return visible;
      if (n == L"hidden") return !visible;
      if (n == L"enabled") return enabled;
      return !enabled;
    });
  } else if (n == L"missing") {
    const std::wstring& name = c.args[0];
    WaitFor(L"no control named " + name, [&](std::wstring& f) {
      HWND h = FindControl(name);
      if (h) f = L"a " + ClassOf(h) + (IsWindowVisible(h) ? L" (visible)" : L" (hidden)");
      return h == nullptr;
    });
  } else if (n == L"caption" || n == L"contains") {
    WaitText(c, n == L"caption");
  } else if (n == L"title") {
    WaitFor(L"the title " + Quote(c.text), [&](std::wstring& f) {
      RequireTarget();
      const std::wstring t = Flatten(WindowCaption(g_target));
      f = Quote(t);
      return t == c.text;
    });
  } else if (n == L"click" || n == L"post-click") {
    HWND h = WaitUsable(c.args[0], true);
    if (ClassIs(h, L"Button")) {
      if (n == L"post-click") {
        if (!PostMessageW(h, BM_CLICK, 0, 0)) Fail(L"PostMessage failed (error " + Num(GetLastError()) + L")");
      } else {
        LRESULT r = 0;
        if (!Query(h, BM_CLICK, 0, 0, r, g_timeoutMs))
          Fail(L"BM_CLICK did not return within " + Num(g_timeoutMs) +
               L" ms (a button that opens a modal window needs post-click)");
      }
    } else {
      PostClickCentre(h);
    }
  } else if (n == L"check") {
    const std::wstring& name = c.args[0];
    const int want = IntArg(c.args[1], L"the check state");
    WaitFor(name + L" with check state " + Num(want), [&](std::wstring& f) {
      HWND h = FindControl(name);
      if (!h) {
        f = L"no such control";
        return false;
      }
      LRESULT r = 0;
      if (!Query(h, BM_GETCHECK, 0, 0, r)) {
        f = L"no answer to BM_GETCHECK";
        return false;
      }
      f = L"check state " + Num(r);
      return r == want;
    });
  } else if (n == L"toggle") {
    HWND h = WaitUsable(c.args[0], true);
    if (!ClassIs(h, L"Button")) Fail(c.args[0] + L" is a " + ClassOf(h) + L", not a check box");
    LRESULT r = 0;
    if (!Query(h, BM_CLICK, 0, 0, r, g_timeoutMs)) Fail(L"BM_CLICK did not return within " + Num(g_timeoutMs) + L" ms");
  } else if (n == L"type") {
    HWND h = WaitUsable(c.args[0], true);
    LRESULT r = 0;
    if (!Query(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(c.text.c_str()), r, g_timeoutMs))
      Fail(L"WM_SETTEXT did not return within " + Num(g_timeoutMs) + L" ms");
    if (!r) Fail(L"WM_SETTEXT was refused");
  } else if (n == L"focus") {
    const std::wstring& name = c.args[0];
    WaitFor(L"the focus on " + name, [&](std::wstring& f) {
      HWND h = FindControl(name);
      HWND focus = FocusOf(g_target);
      f = L"the focus on " + Describe(focus);
      if (!h) f += L"; no control named " + name;
      return h && focus == h;
    });
  } else if (n == L"alt") {
    HWND h = WaitUsable(c.args[0], true);
    PostMessageW(h, WM_SYSCHAR, static_cast<WPARAM>(c.args[1][0]), static_cast<LPARAM>(1u << 29 | 1u));
  } else if (n == L"key") {
    const Key* key = FindKey(c.args[1]);
    HWND h = WaitUsable(c.args[0], true);
    if (key->vk == VK_TAB && key->ch == 0) {
      SendShiftTab(h);
    } else {
      PostKey(h, *key);
    }
  } else if (n == L"box") {
    const int id = AnswerId(c.args[0]);
    HWND box = nullptr;
    WaitFor(L"a message box", [&](std::wstring& f) {
      if (g_main && !IsWindow(g_main)) Fail(L"the main window no longer exists");
      box = FindBox();
      if (!box) f = L"none";
      return box != nullptr;
    });
    const std::wstring text = Flatten(BoxText(box));
    Trace(L"   box " + Quote(WindowCaption(box)) + L": " + Quote(text));
    if (c.hasText && text.find(c.text) == std::wstring::npos)
      Fail(L"expected a message box containing " + Quote(c.text) + L", found " + Quote(text));
    HWND button = GetDlgItem(box, id);
    if (!button || !IsWindowVisible(button)) {
      std::wstring buttons;
      for (HWND b = GetWindow(box, GW_CHILD); b; b = GetWindow(b, GW_HWNDNEXT)) {
        if (!ClassIs(b, L"Button") || !IsWindowVisible(b)) continue;
        std::wstring label;
        ReadText(b, label);
        buttons += (buttons.empty() ? L"" : L", ") + Quote(label) + L" (id " + Num(GetDlgCtrlID(b)) + L")";
      }
      Fail(L"the box has no " + c.args[0] + L" button; its buttons: " + buttons);
    }
    LRESULT r = 0;
    if (!Query(button, BM_CLICK, 0, 0, r, g_timeoutMs)) Fail(L"BM_CLICK on the box's button did not return");
    WaitFor(L"the message box closed", [&](std::wstring& f) {
      const bool open = IsWindow(box) && IsWindowVisible(box);
      if (open) f = L"still open";
      return !open;
    });
  } else if (n == L"nobox") {
    const DWORD ms = static_cast<DWORD>(IntArg(c.args[0], L"MS"));
    const ULONGLONG start = GetTickCount64();
    for (;;) {
      if (HWND box = FindBox()) Fail(L"no message box, found " + BoxSummary(box));
      if (GetTickCount64() - start >= ms) break;
      Sleep(kPollMs);
    }
  } else if (n == L"tree-count") {
    const int want = IntArg(c.args[1], L"N");
    WaitFor(c.args[0] + L" with " + Num(want) + L" top-level items", [&](std::wstring& f) {
      HWND tree = FindOfClass(c.args[0], WC_TREEVIEWW, f);
      if (!tree) return false;
      const int count = CountSiblings(tree, NextItem(tree, nullptr, TVGN_ROOT));
      f = Num(count);
      return count == want;
    });
  } else if (n == L"tree-text" || n == L"tree-state") {
    const std::vector<DWORD> path = ItemArg(c.args[1]);
    const bool text = n == L"tree-text";
    const int state = text ? 0 : IntArg(c.args[2], L"S");
    WaitFor(L"item " + c.args[1] + (text ? L" reading " + Quote(c.text) : L" with state image " + Num(state)),
            [&](std::wstring& f) {
              HWND tree = FindOfClass(c.args[0], WC_TREEVIEWW, f);
              if (!tree) return false;
              HTREEITEM item = ResolveItem(tree, path, f);
              if (!item) return false;
              if (text) {
                const std::wstring t = Flatten(TreeItemText(tree, item));
                f = Quote(t);
                return t == c.text;
              }
              const int s = StateImage(tree, item);
              f = L"state image " + Num(s);
              return s == state;
            });
  } else if (n == L"tree-click" || n == L"tree-select" || n == L"tree-children") {
    const std::vector<DWORD> path = ItemArg(c.args[1]);
    HTREEITEM item = nullptr;
    HWND tree = nullptr;
    WaitFor(c.args[0] + L" item " + c.args[1], [&](std::wstring& f) {
      tree = FindOfClass(c.args[0], WC_TREEVIEWW, f);
      if (!tree) return false;
      item = ResolveItem(tree, path, f);
      return item != nullptr;
    });
    if (n == L"tree-select") {
      if (!MustQuery(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item), L"TVM_SELECTITEM"))
        Fail(L"TVM_SELECTITEM failed");
    } else if (n == L"tree-children") {
      const int want = IntArg(c.args[2], L"N");
      MustQuery(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item), L"TVM_EXPAND");
      WaitFor(L"item " + c.args[1] + L" with " + Num(want) + L" children", [&](std::wstring& f) {
        RequireTarget();
        if (!IsWindow(tree)) Fail(L"the tree no longer exists");
        const int count = CountSiblings(tree, NextItem(tree, item, TVGN_CHILD));
        f = Num(count);
        return count == want;
      });
    } else {
      WaitUsable(c.args[0], true);
      MustQuery(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item), L"TVM_ENSUREVISIBLE");
      Remote mem(tree, kRemoteSize);
      RECT text{};
      if (!ItemRect(mem, tree, item, true, text)) Fail(L"item " + c.args[1] + L" is not visible in the tree");
      const int y = (text.top + text.bottom) / 2;
      int right = -1, left = -1;
      for (int x = text.left - 1; x >= 0; --x) {
        UINT flags = 0;
        HTREEITEM hit = nullptr;
        if (!HitTest(mem, tree, POINT{x, y}, flags, hit)) Fail(L"no answer to TVM_HITTEST");
        const bool onIcon = (flags & TVHT_ONITEMSTATEICON) && hit == item;
        if (onIcon) {
          if (right < 0) right = x;
          left = x;
        } else if (right >= 0) {
          break;
        }
      }
      if (right < 0) Fail(L"item " + c.args[1] + L" shows no state icon left of its text");
      const int x = (left + right) / 2;
      Trace(L"   state icon x " + Num(left) + L".." + Num(right) + L", clicked at " + Num(x) + L"," + Num(y));
      PostClickAt(tree, x, y);
    }
  } else if (n == L"list-count") {
    const int want = IntArg(c.args[1], L"N");
    WaitFor(c.args[0] + L" with " + Num(want) + L" rows", [&](std::wstring& f) {
      HWND list = FindOfClass(c.args[0], WC_LISTVIEWW, f);
      if (!list) return false;
      LRESULT r = 0;
      if (!Query(list, LVM_GETITEMCOUNT, 0, 0, r)) {
        f = L"no answer to LVM_GETITEMCOUNT";
        return false;
      }
      f = Num(r);
      return r == want;
    });
  } else if (n == L"list-text") {
    const int row = IntArg(c.args[1], L"ROW");
    const int col = IntArg(c.args[2], L"COL");
    WaitFor(L"row " + Num(row) + L" column " + Num(col) + L" reading " + Quote(c.text), [&](std::wstring& f) {
      HWND list = FindOfClass(c.args[0], WC_LISTVIEWW, f);
      if (!list) return false;
      LRESULT count = 0;
      if (!Query(list, LVM_GETITEMCOUNT, 0, 0, count)) {
        f = L"no answer to LVM_GETITEMCOUNT";
        return false;
      }
      if (row >= count) {
        f = Num(count) + L" rows";
        return false;
      }
      const std::wstring t = Flatten(ListCellText(list, row, col));
      f = Quote(t);
      return t == c.text;
    });
  } else if (n == L"bounds") {
    const int l = SignedArg(c.args[1], L"L"), t = SignedArg(c.args[2], L"T");
    const int w = SignedArg(c.args[3], L"W"), h = SignedArg(c.args[4], L"H");
    WaitFor(c.args[0] + L" at " + Num(l) + L" " + Num(t) + L" " + Num(w) + L" " + Num(h), [&](std::wstring& f) {
      HWND ctl = FindControl(c.args[0]);
      if (!ctl) {
        f = L"no such control";
        return false;
      }
      RECT r{};
      GetWindowRect(ctl, &r);
      MapWindowPoints(HWND_DESKTOP, g_target, reinterpret_cast<POINT*>(&r), 2);
      f = Num(r.left) + L" " + Num(r.top) + L" " + Num(r.right - r.left) + L" " + Num(r.bottom - r.top);
      return r.left == l && r.top == t && r.right - r.left == w && r.bottom - r.top == h;
    });
  } else if (n == L"client") {
    const int w = IntArg(c.args[0], L"W"), h = IntArg(c.args[1], L"H");
    WaitFor(L"a client area of " + Num(w) + L" x " + Num(h), [&](std::wstring& f) {
      RequireTarget();
      RECT r{};
      GetClientRect(g_target, &r);
      f = Num(r.right) + L" x " + Num(r.bottom);
      return r.right == w && r.bottom == h;
    });
  } else if (n == L"progress") {
    HWND bar = WaitClass(c.args[0], PROGRESS_CLASSW);
    if (c.args.size() > 1) {
      const int min = SignedArg(c.args[1], L"MIN");
      WaitFor(c.args[0] + L" at " + Num(min) + L" or more", [&](std::wstring& f) {
        RequireTarget();
        LRESULT pos = 0;
        if (!Query(bar, PBM_GETPOS, 0, 0, pos)) {
          f = L"no answer to PBM_GETPOS";
          return false;
        }
        f = Num(static_cast<int>(pos));
        return static_cast<int>(pos) >= min;
      });
    }
    const LRESULT pos = MustQuery(bar, PBM_GETPOS, 0, 0, L"PBM_GETPOS");
    const LRESULT low = MustQuery(bar, PBM_GETRANGE, TRUE, 0, L"PBM_GETRANGE");
    const LRESULT high = MustQuery(bar, PBM_GETRANGE, FALSE, 0, L"PBM_GETRANGE");
    Trace(L"   progress " + Num(static_cast<int>(pos)) + L" in " + Num(static_cast<int>(low)) + L".." +
          Num(static_cast<int>(high)));
  } else if (n == L"sysmenu") {
    RequireTarget();
    if (!PostMessageW(g_target, WM_SYSCOMMAND, NumberArg(c.args[0], L"ID"), 0))
      Fail(L"PostMessage failed (error " + Num(GetLastError()) + L")");
  } else if (n == L"post-message") {
    RequireTarget();
    const DWORD msg = NumberArg(c.args[0], L"MSG");
    if (msg > 0x7FFF - WM_USER) Fail(L"MSG must lie in 0.." + Num(0x7FFF - WM_USER));
    const WPARAM wp = static_cast<WPARAM>(NumberArg(c.args[1], L"WPARAM"));
    if (!PostMessageW(g_target, WM_USER + msg, wp, 0)) Fail(L"PostMessage failed (error " + Num(GetLastError()) + L")");
  } else if (n == L"shot") {
    Trace(L"   saved " + SaveShot(c.args[0]));
  } else if (n == L"sleep") {
    Sleep(static_cast<DWORD>(IntArg(c.args[0], L"MS")));
  } else if (n == L"echo") {
    Trace(c.text);
  } else if (n == L"add-printer") {
    if (const std::wstring failure = stwtest::InstallPostScriptPrinter(L"Stw Test Printer", c.text); !failure.empty())
      Fail(failure);
  } else if (n == L"run") {
    std::wstring line = c.text;  // CreateProcessW may write into it
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
      Fail(L"cannot start it (error " + Num(GetLastError()) + L")");
    CloseHandle(pi.hThread);
    const DWORD waited = WaitForSingleObject(pi.hProcess, g_timeoutMs);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (waited != WAIT_OBJECT_0) Fail(L"it did not end within the time-out");
    if (code != 0) Fail(L"it exited with " + Num(code));
  } else if (n == L"timeout") {
    g_timeoutMs = c.args.empty() ? kDefaultTimeoutMs : static_cast<DWORD>(IntArg(c.args[0], L"MS"));
  } else {
    Fail(L"unknown command");
  }
}

// The script's lines: UTF-16LE with a BOM, else UTF-8 (BOM optional).
bool ReadLines(const wchar_t* path, std::vector<std::wstring>& lines) {
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
  CloseHandle(f);
  std::wstring text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  } else {
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), nullptr, 0);
    text.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip), text.data(), n);
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) {
    fputs("usage: WizardDriver.exe SCRIPT [OUTDIR]\n", stderr);
    return 2;
  }
  if (argc == 3) g_outDir = argv[2];
  while (g_outDir.size() > 1 && (g_outDir.back() == L'\\' || g_outDir.back() == L'/')) g_outDir.pop_back();

  std::vector<std::wstring> lines;
  if (!ReadLines(argv[1], lines)) {
    WriteUtf8(stderr, L"cannot read the script " + std::wstring(argv[1]) + L" (error " + Num(GetLastError()) + L")");
    return 2;
  }

  // First pass: the whole script must be well formed.
  std::vector<Command> commands;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::wstring line = lines[i];
    const size_t first = line.find_first_not_of(L" \t");
    if (first == std::wstring::npos || line[first] == L'#') continue;
    line.erase(0, first);
    Command cmd;
    cmd.line = static_cast<int>(i + 1);
    cmd.source = line;
    std::wstring error = ParseLine(line, cmd);
    if (error.empty()) {
      try {
        CheckArguments(cmd);
      } catch (const Failure& f) {
        error = f.what;
      }
    }
    if (!error.empty()) {
      WriteUtf8(stderr, L"line " + Num(cmd.line) + L": " + cmd.source + L": " + error);
      return 1;
    }
    commands.push_back(std::move(cmd));
  }

  for (const Command& cmd : commands) {
    Trace(Num(cmd.line) + L": " + cmd.source);
    try {
      Run(cmd);
    } catch (const Failure& f) {
      WriteUtf8(stderr, L"line " + Num(cmd.line) + L": " + cmd.source + L": " + f.what);
      return 1;
    }
  }
  Trace(L"all " + Num(static_cast<long long>(commands.size())) + L" commands passed");
  return 0;
}
