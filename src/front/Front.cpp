// front.exe: the program at the start of every installer file. The package
// builder appends the package to it; when a user runs the file, this
// program writes the setup program it carries into a private temporary
// folder, starts it with the installer file's path and the user's
// switches, waits for it, removes it again and returns its exit code.
//
// It is deliberately small and self-contained (kernel32, user32 and
// advapi32 only): it runs from download folders, often with administrator
// rights, before any of the setup's own hardening is in place.
#include <windows.h>

#include <sddl.h>

#include <string>

#include "front/FrontCommand.h"

// Declared by <ntsecapi.h> as RtlGenRandom, which drags in half of the
// security headers; the export of advapi32 is all we need.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace {

using stw::front::ArgumentTail;
using stw::front::SetupCommandLine;
using stw::front::WantsNoMessageBox;

constexpr wchar_t kTitle[] = L"Orvane Pakvestor";
constexpr DWORD kExitFailed = 1603;
constexpr int kSetupResource = 1;  // RCDATA 1: the setup program (front.rc)
// The setup names its own private folders the same way and, at start-up,
// clears such folders that nobody holds any more: a folder left by a front
// that was killed is removed by the next installation.
constexpr wchar_t kFolderPrefix[] = L"stw";

bool g_quiet = false;

// The system's text for an error; some texts name the file as "%1",
// which becomes `subject`.
std::wstring SystemMessage(DWORD code, const std::wstring& subject) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring s = n && text ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  for (size_t at; (at = s.find(L"%1")) != std::wstring::npos;) s.replace(at, 2, subject.empty() ? L"the file" : subject);
  while (!s.empty() && (s.back() == L'\r' || s.back() == L'\n' || s.back() == L' ' || s.back() == L'.')) s.pop_back();
  wchar_t number[16];
  wsprintfW(number, L"%lu", static_cast<unsigned long>(code));
  return s.empty() ? L"system error " + std::wstring(number) : s + L" (system error " + number + L")";
}

// Reports a failure (unless the run is unattended) and gives the exit code
// of a failed installation.
DWORD Fail(const std::wstring& what, DWORD error, const std::wstring& subject = {}) {
  if (!g_quiet) {
    const std::wstring text = what + L"\r\n\r\n" + SystemMessage(error, subject) + L".";
    MessageBoxW(nullptr, text.c_str(), kTitle, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  }
  return kExitFailed;
}

// Before anything loads a DLL by name: only from the system folder, never
// from the folder of the installer file (a download folder holds whatever
// a web page put there) nor from the current folder.
void RestrictDllSearch() {
  using SetDirs = BOOL(WINAPI*)(DWORD);
  if (HMODULE k = GetModuleHandleW(L"kernel32.dll"))
    if (auto set = reinterpret_cast<SetDirs>(reinterpret_cast<void*>(GetProcAddress(k, "SetDefaultDllDirectories"))))
      set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
}

// The full path of this program's file, however long.
std::wstring OwnPath(DWORD& error) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) {
      error = GetLastError();
      return {};
    }
    // A cut path fills the buffer (and says so on newer systems).
    if (n < path.size() && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) {
      error = ERROR_FILENAME_EXCED_RANGE;
      return {};
    }
    path.resize(path.size() * 2);
  }
}

std::wstring UserTempFolder(DWORD& error) {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
  if (n == 0 || n > MAX_PATH + 1) {
    error = n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    return {};
  }
  std::wstring s(buffer, n);
  if (s.back() != L'\\') s += L'\\';
  return s;
}

unsigned RandomNumber() {
  unsigned v = 0;
  if (SystemFunction036(&v, sizeof v)) return v;
  // Only for telling names apart: the folder is created new and fails when
  // it exists, so a guessable name is no way in.
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<unsigned>(t.QuadPart) * 2654435761u ^ GetCurrentProcessId() ^ GetTickCount();
}

// A file or folder handle, closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  bool Close() {
    if (!Valid()) return true;
    const bool ok = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }
  void Reset(HANDLE h) {
    Close();
    h_ = h;
  }

 private:
  HANDLE h_;
};

// The private folder: created new with a random name and an access list
// of its own (inheritance from the temporary folder cut): full access for
// the folder's owner, the administrators and the system, nobody else, so
// no other user can read the setup program or put a file beside it. An
// elevated copy of the setup, which runs as an administrator, can still
// start from it.
class PrivateFolder {
 public:
  bool Create(const std::wstring& parent, DWORD& error) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
                                                              SDDL_REVISION_1, &sd, nullptr)) {
      error = GetLastError();
      return false;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 20; ++attempt) {
      wchar_t name[16];
      wsprintfW(name, L"%s%08X", kFolderPrefix, RandomNumber());
      const std::wstring path = parent + name;
      if (!CreateDirectoryW(path.c_str(), &sa)) {
        error = GetLastError();
        // Only a name that is taken is worth another try.
        if (error == ERROR_ALREADY_EXISTS) continue;
        break;
      }
      // Held open without delete sharing while it is in use, which is how
      // the setup's clean-up of leftover folders knows to pass it over.
      hold_.Reset(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      if (!hold_.Valid()) {
        // Gone already (removed by somebody): give that name up.
        error = GetLastError();
        RemoveDirectoryW(path.c_str());
        continue;
      }
      path_ = path;
      break;
    }
    LocalFree(sd);
    return !path_.empty();
  }
  const std::wstring& Path() const { return path_; }
  // Removes the folder when it is empty (what the setup may have left in
  // it stays, and so does the folder; the setup's clean-up of leftover
  // folders takes it at a later run).
  void Remove() {
    if (path_.empty()) return;
    hold_.Close();
    RemoveDirectoryW(path_.c_str());
    path_.clear();
  }
  ~PrivateFolder() { Remove(); }

 private:
  std::wstring path_;
  Handle hold_;
};

// Writes the bytes to a new file; false (with the error) when anything of
// it failed, the closing included, and then nothing is left of the file.
bool WriteNewFile(const std::wstring& path, const void* data, DWORD size, DWORD& error) {
  Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Valid()) {
    error = GetLastError();
    return false;
  }
  const char* p = static_cast<const char*>(data);
  DWORD left = size;
  bool ok = true;
  while (ok && left > 0) {
    const DWORD chunk = left < (1u << 20) ? left : (1u << 20);
    DWORD written = 0;
    if (!WriteFile(f.Get(), p, chunk, &written, nullptr)) {
      error = GetLastError();
      ok = false;
    } else if (written == 0) {
      error = ERROR_WRITE_FAULT;
      ok = false;
    }
    p += written;
    left -= written;
  }
  if (!f.Close() && ok) {
    error = GetLastError();
    ok = false;
  }
  if (!ok) DeleteFileW(path.c_str());
  return ok;
}

// A program that has just ended stays mapped for a moment, and a virus
// scanner may still hold it: deletion is tried for up to ten seconds.
void DeleteWhenFree(const std::wstring& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (DeleteFileW(path.c_str())) return;
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return;
    Sleep(100);
  }
  // Still held: at least it goes at the next restart (where this run has
  // the rights for that).
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

DWORD Run() {
  RestrictDllSearch();
  const std::wstring_view tail = ArgumentTail(GetCommandLineW());
  g_quiet = WantsNoMessageBox(tail);

  DWORD error = ERROR_SUCCESS;
  const std::wstring installer = OwnPath(error);
  if (installer.empty()) return Fail(L"The installer cannot find the path of its own file.", error);

  // The setup program this front carries.
  const HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(kSetupResource), RT_RCDATA);
  const HGLOBAL loaded = res ? LoadResource(nullptr, res) : nullptr;
  const void* setupBytes = loaded ? LockResource(loaded) : nullptr;
  const DWORD setupSize = res ? SizeofResource(nullptr, res) : 0;
  if (!setupBytes || setupSize == 0)
    return Fail(L"The installer " + installer + L" is damaged: the setup program is missing from it.",
                res ? GetLastError() : ERROR_RESOURCE_DATA_NOT_FOUND);

  const std::wstring temp = UserTempFolder(error);
  if (temp.empty()) return Fail(L"The installer cannot find the temporary folder of the user.", error);
  PrivateFolder folder;
  if (!folder.Create(temp, error))
    return Fail(L"The installer cannot create a temporary folder in " + temp.substr(0, temp.size() - 1) + L".", error,
                temp);

  const std::wstring setup = folder.Path() + L"\\setup.exe";
  if (!WriteNewFile(setup, setupBytes, setupSize, error)) {
    folder.Remove();
    return Fail(L"The installer cannot write the setup program to " + setup + L".", error, setup);
  }

  std::wstring line = SetupCommandLine(setup, installer, tail);
  STARTUPINFOW own{};
  own.cb = sizeof own;
  GetStartupInfoW(&own);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  // A shortcut set to start the installer minimised or maximised means the
  // setup's window.
  if (own.dwFlags & STARTF_USESHOWWINDOW) {
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = own.wShowWindow;
  }
  // A script that started the installer with its output redirected gets
  // the setup's diagnostics there too: the standard handles go through.
  // This program holds no other inheritable handle.
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE),
               err = GetStdHandle(STD_ERROR_HANDLE);
  const auto usable = [](HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; };
  const bool passHandles = usable(in) || usable(out) || usable(err);
  if (passHandles) {
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
  }
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(setup.c_str(), line.data(), nullptr, nullptr, passHandles ? TRUE : FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    error = GetLastError();
    DeleteWhenFree(setup);
    folder.Remove();
    return Fail(L"The installer cannot start the setup program " + setup + L".", error, setup);
  }
  Handle process(pi.hProcess), thread(pi.hThread);
  thread.Close();
  DWORD code = kExitFailed;
  if (WaitForSingleObject(pi.hProcess, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi.hProcess, &code))
    code = kExitFailed;
  process.Close();
  DeleteWhenFree(setup);
  folder.Remove();
  return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return static_cast<int>(Run()); }
