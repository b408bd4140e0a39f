// The desktop services of the wizard window on Windows.
#include "base/Text.h"
#include "platform/Factory.h"
#include "platform/Printer.h"
#include "platform/win32/Win32Common.h"
#include "platform/win32/Windows.h"

#include <shellapi.h>
#include <winnetwk.h>

namespace stw {

using win32::Wide;

namespace {

class Win32Desktop : public IDesktop {
 public:
  IPrinter& Printer() override {
    if (!printer_) printer_ = CreateNativePrinter();
    return *printer_;
  }

  bool WindowExists(const std::string& title, const std::string& windowClass) override {
    const std::wstring t = Wide(title), c = Wide(windowClass);
    return FindWindowW(c.empty() ? nullptr : c.c_str(), t.empty() ? nullptr : t.c_str()) != nullptr;
  }

  bool ShellOpen(const std::string& file, const std::string& verb, const std::string& parameters,
                    const std::string& folder, int show) override {
    const std::wstring f = Wide(file), v = Wide(verb), p = Wide(parameters), d = Wide(folder);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = v.empty() ? nullptr : v.c_str();
    info.lpFile = f.c_str();
    info.lpParameters = p.empty() ? nullptr : p.c_str();
    info.lpDirectory = d.empty() ? nullptr : d.c_str();
    info.nShow = show;
    return ShellExecuteExW(&info) != FALSE;
  }

  bool RestartSystem() override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool named = LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &tp.Privileges[0].Luid) != FALSE;
    const bool enabled =
        named && AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    if (!enabled) return false;
    return ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_FLAG_PLANNED) != FALSE;
  }

  std::vector<std::string> LogicalDrives() override {
    wchar_t buffer[512];
    const DWORD n = GetLogicalDriveStringsW(static_cast<DWORD>(std::size(buffer)), buffer);
    std::vector<std::string> roots;
    if (n == 0 || n >= std::size(buffer)) return roots;
    for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1) roots.push_back(win32::Narrow(p));
    return roots;
  }

  bool IsNetworkDrive(const std::string& root) override { return GetDriveTypeW(Wide(root).c_str()) == DRIVE_REMOTE; }

  std::optional<std::string> UniversalName(const std::string& root) override {
    // mpr.dll is loaded from the system folder only when asked.
    using Get = DWORD(WINAPI*)(LPCWSTR, DWORD, LPVOID, LPDWORD);
    const Get get = win32::SystemRoutine<Get>(L"mpr.dll", "WNetGetUniversalNameW");
    if (!get) return std::nullopt;
    alignas(UNIVERSAL_NAME_INFOW) unsigned char buffer[1000];
    DWORD size = sizeof buffer;
    if (get(Wide(root).c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer, &size) != NO_ERROR) return std::nullopt;
    const auto* info = reinterpret_cast<const UNIVERSAL_NAME_INFOW*>(buffer);
    if (!info->lpUniversalName) return std::nullopt;
    return win32::Narrow(info->lpUniversalName);
  }

  std::optional<std::string> VolumeLabel(const std::string& root) override {
    wchar_t label[64] = {};
    if (!GetVolumeInformationW(Wide(root).c_str(), label, 63, nullptr, nullptr, nullptr, nullptr, 0))
      return std::nullopt;
    return win32::Narrow(label);
  }

  std::string FormatShortDate(int32_t dayNumber) override {
    int y = 0, m = 0, d = 0;
    DateFromDayNumber(dayNumber, y, m, d);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    wchar_t text[128];
    if (!GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, text, static_cast<int>(std::size(text))))
      return std::to_string(y) + "-" + std::to_string(m) + "-" + std::to_string(d);
    return win32::Narrow(text);
  }

 private:
  std::unique_ptr<IPrinter> printer_;
};

}  // namespace

std::unique_ptr<IDesktop> CreateNativeDesktop() { return std::make_unique<Win32Desktop>(); }

}  // namespace stw
