// The shell and the registration services on real Windows: shell links,
// fonts, type libraries, started programs, access lists of folders.
//
// Only kernel32, user32, advapi32 and shell32 are static imports of the
// setup. COM (ole32), OLE automation (oleaut32) and GDI (gdi32) are loaded
// from the system folder by their full path when first needed, so that a
// copy planted beside the setup is never the one that runs. The few GUIDs
// are defined here rather than taken from libuuid.
#include "platform/Factory.h"
#include "platform/Platform.h"

#include "platform/win32/Windows.h"
#include "platform/win32/Win32Common.h"

#include <aclapi.h>
#include <objbase.h>
#include <oleauto.h>
#include <propsys.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace stw {
namespace {

using win32::Narrow;
using win32::SystemMessage;
using win32::SystemRoutine;
using win32::Wide;

struct Routines {
  decltype(&::CoInitializeEx) coInitializeEx = SystemRoutine<decltype(coInitializeEx)>(L"ole32.dll", "CoInitializeEx");
  decltype(&::CoUninitialize) coUninitialize = SystemRoutine<decltype(coUninitialize)>(L"ole32.dll", "CoUninitialize");
  decltype(&::CoCreateInstance) coCreateInstance =
      SystemRoutine<decltype(coCreateInstance)>(L"ole32.dll", "CoCreateInstance");
  decltype(&::LoadTypeLibEx) loadTypeLibEx = SystemRoutine<decltype(loadTypeLibEx)>(L"oleaut32.dll", "LoadTypeLibEx");
  decltype(&::RegisterTypeLib) registerTypeLib =
      SystemRoutine<decltype(registerTypeLib)>(L"oleaut32.dll", "RegisterTypeLib");
  decltype(&::UnRegisterTypeLib) unregisterTypeLib =
      SystemRoutine<decltype(unregisterTypeLib)>(L"oleaut32.dll", "UnRegisterTypeLib");
  decltype(&::AddFontResourceW) addFontResource =
      SystemRoutine<decltype(addFontResource)>(L"gdi32.dll", "AddFontResourceW");
  // Windows Vista and later; looked up so that its absence is an answer.
  decltype(&::SHGetPropertyStoreFromParsingName) propertyStoreFromName =
      SystemRoutine<decltype(propertyStoreFromName)>(L"shell32.dll", "SHGetPropertyStoreFromParsingName");
};
// Loaded once, by whichever thread asks first; the libraries stay loaded.
const Routines& System() {
  static const Routines routines;
  return routines;
}

constexpr GUID kClsidShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kIidShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kIidPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kIidPropertyStore = {0x886D8EEB, 0x8CF2, 0x4446, {0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99}};
// The shell's start-pin option of a shortcut (Windows 8 and later).
constexpr PROPERTYKEY kStartPinOption = {{0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}},
                                         12};

// COM for the calling thread for as long as this object lives. A thread
// without COM gets a single-threaded apartment, as the shell's objects
// expect, and loses it again afterwards. A thread that has one keeps it:
// S_FALSE counts as one more initialisation and is undone as such, and
// RPC_E_CHANGED_MODE means the thread is in the multithreaded apartment,
// where the shell link works as well, with nothing to undo.
class ComApartment {
 public:
  ComApartment() {
    const Routines& r = System();
    if (!r.coInitializeEx || !r.coUninitialize) return;
    const HRESULT hr = r.coInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    usable_ = SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
    owned_ = SUCCEEDED(hr);
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (owned_) System().coUninitialize();
  }
  bool Usable() const { return usable_; }

 private:
  bool usable_ = false;
  bool owned_ = false;
};

// Owns one reference to a COM interface. Declared after the apartment it
// lives in, so it is released first.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() {
    if (p_) p_->Release();
  }
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  T** Put() { return &p_; }
  void** Out() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

// The real version of the system: unlike GetVersionEx, RtlGetVersion is not
// told the version named in the program's manifest.
bool IsAtLeastWindows(DWORD major, DWORD minor) {
  static const OSVERSIONINFOW version = [] {
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    if (const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
      const auto fn =
          reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
      if (fn && fn(&v) == 0) return v;
    }
    return OSVERSIONINFOW{};
  }();
  return version.dwMajorVersion > major || (version.dwMajorVersion == major && version.dwMinorVersion >= minor);
}

class Win32Process : public IProcess {
 public:
  explicit Win32Process(HANDLE process) : process_(process) {}
  Win32Process(const Win32Process&) = delete;
  Win32Process& operator=(const Win32Process&) = delete;
  ~Win32Process() override { CloseHandle(process_); }

  bool Wait(uint32_t milliseconds) override { return WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0; }

  std::optional<uint32_t> ExitCode() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code)) return std::nullopt;
    // STILL_ACTIVE (259) is also a code a program may end with: only the
    // handle tells the two apart.
    if (code == STILL_ACTIVE && WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return std::nullopt;
    return code;
  }

 private:
  HANDLE process_;
};

// The process of a start that left none (the shell handed the file to a
// program that was running already): it has ended, with success.
class EndedProcess : public IProcess {
 public:
  bool Wait(uint32_t) override { return true; }
  std::optional<uint32_t> ExitCode() override { return 0u; }
};

class Win32Shell : public IShell {
 public:
  bool SaveShellLink(const ShellLinkData& link, const std::string& linkPath, std::string& error) override {
    ComApartment com;
    ComRef<IShellLinkW> shellLink;
    if (!com.Usable() || !System().coCreateInstance ||
        FAILED(System().coCreateInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkW,
                                         shellLink.Out()))) {
      error = "Cannot create IShellLink";
      return false;
    }
    // The setters' own failures are not ours to judge: a target that does
    // not exist yet, for one, is still written into the link.
    shellLink->SetArguments(Wide(link.Arguments).c_str());
    shellLink->SetDescription(Wide(link.Description).c_str());
    shellLink->SetHotkey(link.HotKey);
    shellLink->SetIconLocation(Wide(link.IconPath).c_str(), link.IconIndex);
    shellLink->SetPath(Wide(link.Path).c_str());
    shellLink->SetShowCmd(link.ShowCmd);
    shellLink->SetWorkingDirectory(Wide(link.WorkingDirectory).c_str());
    ComRef<IPersistFile> file;
    if (FAILED(shellLink->QueryInterface(kIidPersistFile, file.Out()))) {
      error = "Cannot create IPersistFile";
      return false;
    }
    if (FAILED(file->Save(Wide(linkPath).c_str(), TRUE))) {
      error = "Cannot save " + linkPath;
      return false;
    }
    return true;
  }

  bool SetStartPinOption(const std::string& linkPath, uint32_t value) override {
    // Windows 7 and earlier know no such option.
    if (!IsAtLeastWindows(6, 2)) return false;
    const Routines& r = System();
    if (!r.propertyStoreFromName) return false;
    ComApartment com;
    if (!com.Usable()) return false;
    ComRef<IPropertyStore> store;
    if (FAILED(r.propertyStoreFromName(Wide(linkPath).c_str(), nullptr, GPS_READWRITE, kIidPropertyStore, store.Out())))
      return false;
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = value;  // a number: nothing to clear afterwards
    return SUCCEEDED(store->SetValue(kStartPinOption, v)) && SUCCEEDED(store->Commit());
  }

  bool AddFontResource(const std::string& path) override {
    const auto add = System().addFontResource;
    return add && add(Wide(path).c_str()) != 0;
  }

  void BroadcastFontChange() override {
    // Posted, not sent: a window that does not answer cannot hold up the
    // installation.
    PostMessageW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0);
  }

  bool RegisterTypeLibrary(const std::string& path, const std::string& helpFolder, std::string& error) override {
    const Routines& r = System();
    if (!r.loadTypeLibEx || !r.registerTypeLib) {
      error = SystemMessage(ERROR_PROC_NOT_FOUND);
      return false;
    }
    ComApartment com;
    std::wstring file = Wide(path), help = Wide(helpFolder);
    ComRef<ITypeLib> library;
    HRESULT hr = r.loadTypeLibEx(file.c_str(), REGKIND_NONE, library.Put());
    if (SUCCEEDED(hr)) hr = r.registerTypeLib(library.Get(), file.data(), help.empty() ? nullptr : help.data());
    if (FAILED(hr)) {
      error = SystemMessage(static_cast<DWORD>(hr));
      return false;
    }
    return true;
  }

  bool UnregisterTypeLibrary(const std::string& path, std::string& error) override {
    const Routines& r = System();
    if (!r.loadTypeLibEx || !r.unregisterTypeLib) {
      error = SystemMessage(ERROR_PROC_NOT_FOUND);
      return false;
    }
    ComApartment com;
    ComRef<ITypeLib> library;
    HRESULT hr = r.loadTypeLibEx(Wide(path).c_str(), REGKIND_NONE, library.Put());
    if (SUCCEEDED(hr)) {
      // The registration is keyed by the library's identity, version,
      // locale and platform, which only the library itself can tell.
      TLIBATTR* attr = nullptr;
      hr = library->GetLibAttr(&attr);
      if (SUCCEEDED(hr)) {
        hr = r.unregisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        library->ReleaseTLibAttr(attr);
      }
    }
    if (FAILED(hr)) {
      error = SystemMessage(static_cast<DWORD>(hr));
      return false;
    }
    return true;
  }

  std::unique_ptr<IProcess> OpenProcess(uint32_t processId) override {
    // Only the rights to wait for it and to read its exit code.
    const HANDLE h = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!h) return nullptr;
    return std::make_unique<Win32Process>(h);
  }

  std::unique_ptr<IProcess> StartProcess(const std::string& program, const std::string& commandLine) override {
    const std::wstring application = Wide(program);
    // CreateProcessW may write into the command line.
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
      return nullptr;
    CloseHandle(info.hThread);
    return std::make_unique<Win32Process>(info.hProcess);
  }

  bool OpenFile(const std::string& file, const std::string& parameters, bool wait) override {
    // The shell may hand the file to an extension that uses COM.
    ComApartment com;
    const std::wstring wideFile = Wide(file), wideParameters = Wide(parameters);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // No box of the shell's own for a file that cannot be opened: a
    // command that cannot start is passed over, and an unattended run must
    // never wait for someone to close a box.
    info.fMask = SEE_MASK_FLAG_NO_UI | (wait ? SEE_MASK_NOCLOSEPROCESS : 0);
    info.lpVerb = L"open";
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.empty() ? nullptr : wideParameters.c_str();
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info)) return false;
    // No process when the file went to a program that was running already.
    if (info.hProcess) {
      WaitForSingleObject(info.hProcess, INFINITE);
      CloseHandle(info.hProcess);
    }
    return true;
  }

  std::unique_ptr<IProcess> ShellStart(const std::string& file, const std::string& verb,
                                       const std::string& parameters, void* owner, int show,
                                       bool& declined) override {
    ComApartment com;
    const std::wstring f = Wide(file), v = Wide(verb), p = Wide(parameters);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // The system's prompt for the rights still shows; its error boxes do
    // not (the caller reports a start that failed, and an unattended run
    // must never wait for someone to close a box).
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = static_cast<HWND>(owner);
    info.lpVerb = v.empty() ? nullptr : v.c_str();
    info.lpFile = f.c_str();
    info.lpParameters = p.empty() ? nullptr : p.c_str();
    info.nShow = show;
    declined = false;
    if (!ShellExecuteExW(&info)) {
      declined = GetLastError() == ERROR_CANCELLED;
      return nullptr;
    }
    // A document handed to a program that was running already leaves no
    // process to wait for: it counts as ended at once.
    if (!info.hProcess) return std::make_unique<EndedProcess>();
    return std::make_unique<Win32Process>(info.hProcess);
  }

  void NotifyAssociationsChanged() override { SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr); }

  bool GrantUsersFullControl(const std::string& folder) override {
    // Opened without sharing, so that nobody swaps the folder while its
    // list is read and written through this one handle.
    const HANDLE h = CreateFileW(Wide(folder).c_str(), READ_CONTROL | WRITE_DAC, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = AddUsersEntry(h);
    CloseHandle(h);
    return ok;
  }

  bool IsRemovableDrive(const std::string& root) override {
    return GetDriveTypeW(Wide(root).c_str()) == DRIVE_REMOVABLE;
  }

 private:
  static bool AddUsersEntry(HANDLE folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS)
      return false;
    BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    bool ok = CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size) != 0;
    PACL updated = nullptr;
    if (ok) {
      EXPLICIT_ACCESSW entry{};
      entry.grfAccessPermissions = GENERIC_ALL;
      entry.grfAccessMode = GRANT_ACCESS;
      entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
      entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
      entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
      entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(users);
      ok = SetEntriesInAclW(1, &entry, dacl, &updated) == ERROR_SUCCESS &&
           SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, updated, nullptr) ==
               ERROR_SUCCESS;
    }
    if (updated) LocalFree(updated);
    LocalFree(descriptor);  // `dacl` points into it
    return ok;
  }
};

}  // namespace

std::unique_ptr<IShell> CreateNativeShell(const std::string&) { return std::make_unique<Win32Shell>(); }

}  // namespace stw
