// The installation log (read by the uninstaller and by later setups) and
// the uninstall entry in the system's list of installed programs.
#include <cmath>
#include <cstdio>

#include "base/Text.h"
#include "engine/Install.h"
#include "system/FolderVariables.h"

namespace stw {

namespace {

bool IsDecimal(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && static_cast<unsigned char>(s[a]) <= ' ') ++a;
  while (b > a && static_cast<unsigned char>(s[b - 1]) <= ' ') --b;
  return s.substr(a, b - a);
}

}  // namespace

bool ParseVersionParts(const std::string& version, std::string& major, std::string& minor) {
  std::string v = Trim(version);
  if (StartsWith(v, "v.")) v.erase(0, 2);
  const size_t p = v.find('.');
  if (p == std::string::npos || p == 0 || p + 1 >= v.size()) return false;
  major = v.substr(0, p);
  const size_t q = v.find('.', p + 1);
  minor = v.substr(p + 1, q == std::string::npos ? std::string::npos : q - p - 1);
  return true;
}

void TInstaller::WriteLogHeader() {
  const TSetupDefinition& d = s_.Def;
  log_.push_back("; Pakvestor Installation Log");
  log_.push_back("; Please do not delete or alter this file.");
  log_.push_back(FormatPattern("; It is needed whenever you want to update or uninstall %s", {d.AppName}));
  log_.push_back("; It lists the files, registry values, file types and registrations");
  log_.push_back("; that this installation made, for the uninstaller and later setups.");
  log_.push_back("4");
  log_.push_back(d.UserType == 2 ? "CURRENT" : d.UserType == 6 ? "ADMIN" : "ALL");
  log_.push_back(d.AppName);
  int y, m, day;
  DateFromDayNumber(d.ReleaseDate, y, m, day);
  log_.push_back(std::to_string(y));
  log_.push_back(std::to_string(m));
  log_.push_back(std::to_string(day));
  log_.push_back(d.Publisher);
  log_.push_back(d.ProductKey);
  log_.push_back(d.Version);
  for (int i = 0; i < 7; ++i) log_.push_back(s_.IString(kStrUninstallerFirst + i));
  std::string launch;
  if (d.FinishExeIndex < pkg_.Tables.InstalledPaths.size() && !pkg_.Tables.InstalledPaths[d.FinishExeIndex].empty()) {
    launch = QuotedIfSpaced(pkg_.Tables.InstalledPaths[d.FinishExeIndex]);
    if (!d.FinishParams.empty()) launch += " " + d.FinishParams;
  }
  log_.push_back(launch);
  log_.push_back(std::to_string(d.FolderVariables.size()));
  for (const auto& [name, f] : d.FolderVariables) {
    log_.push_back(name);
    log_.push_back(f.Description);
    log_.push_back((f.Shared ? "*" : "") + (d.UserType == 1 ? f.AllUsersPath : f.CurrentUserPath));
  }
  log_.push_back(std::to_string(d.Components.size()));
  for (const TComponentData& c : d.Components) {
    log_.push_back(c.Name);
    log_.push_back(std::string(c.Selected ? "S" : "") + (c.Required ? "R" : ""));
  }
}

void TInstaller::LogRegistryValue(const std::string& key, const std::string& name) {
  registryLog_.Add(s_.RootPrefix() + key + "\t" + name);
}

void TInstaller::RegisterUninstall() {
  uninstallRegistered_ = true;
  const TSetupDefinition& d = s_.Def;
  IRegistry& reg = s_.P.Reg;
  const RegRoot root = s_.AutoRoot();
  // Failed registry calls are not errors of the installation: the value is
  // logged all the same, so the uninstaller removes whatever was written.
  reg.WriteString(root, kHandshakeKey, d.ProductKey, s_.LogPath);
  LogRegistryValue(kHandshakeKey, d.ProductKey);

  const std::string key = kUninstallKey + d.ProductKey;
  // Only the 32-bit view holds the entry; a copy in the 64-bit view would
  // list the product twice.
  if (root == RegRoot::LocalMachine && s_.P.Sys.Is64BitSystem()) reg.DeleteKey(root, key, RegView::View64);
  auto str = [&](const std::string& name, const std::string& value) {
    reg.WriteString(root, key, name, value);
    LogRegistryValue(key, name);
  };
  auto dword = [&](const std::string& name, uint32_t value) {
    reg.WriteDword(root, key, name, value);
    LogRegistryValue(key, name);
  };
  str("DisplayName", d.UninstallDisplayName);
  std::string icon;
  const auto& installed = pkg_.Tables.InstalledPaths;
  if (d.UninstallLinkedFile < installed.size() && !installed[d.UninstallLinkedFile].empty())
    icon = installed[d.UninstallLinkedFile];
  // Without an icon file, the icon of the shortcut on the desktop.
  const TShortcutData* main = mainShortcut_;
  if (icon.empty() && main && main->Target < installed.size() && !installed[main->Target].empty()) {
    if (main->IconFile == kNoIndex)
      icon = installed[main->Target] + "," + std::to_string(main->IconIndex);
    else if (main->IconFile < installed.size() && !installed[main->IconFile].empty())
      icon = installed[main->IconFile] + "," + std::to_string(main->IconIndex);
  }
  if (!icon.empty()) str("DisplayIcon", icon);
  const std::string uninstall = QuotedIfSpaced(uninstaller_.DestPath) + " " + QuotedIfSpaced(s_.LogPath);
  str("UninstallString", uninstall);
  // What deployment tools run to remove the product unattended.
  str("QuietUninstallString", uninstall + " /silent");
  dword("NoModify", 1);
  dword("NoRepair", 1);
  dword("EstimatedSize", static_cast<uint32_t>(std::min<uint64_t>(s_.BytesTotal / 1024, UINT32_MAX)));
  int y, m, day;
  DateFromDayNumber(static_cast<int64_t>(std::floor(s_.P.Sys.LocalNow())), y, m, day);
  char date[16];
  std::snprintf(date, sizeof date, "%04d%02d%02d", y, m, day);
  str("InstallDate", date);
  str("InstallLocation", s_.AppFolder);
  if (!d.Version.empty()) str("DisplayVersion", d.Version);
  std::string major, minor;
  // Windows and deployment tools read the two version parts as numbers.
  if (ParseVersionParts(d.Version, major, minor) && IsDecimal(major) && IsDecimal(minor)) {
    dword("VersionMajor", static_cast<uint32_t>(std::stoul(major)));
    dword("VersionMinor", static_cast<uint32_t>(std::stoul(minor)));
  }
  if (!d.Publisher.empty()) str("Publisher", d.Publisher);
  const std::string help = !d.SupportAddress.empty() ? d.SupportAddress : d.WebAddress;
  if (!help.empty()) {
    str("HelpLink", help);
    str("URLInfoUpdate", help);
    str("URLUpdateInfo", help);  // the name Windows itself reads
  }
  if (!d.WebAddress.empty()) str("URLInfoAbout", d.WebAddress);
}

void TInstaller::SaveLog() {
  // Written beside the log and renamed over it, so that an earlier log is
  // replaced whole or not at all.
  std::string error;
  if (!WriteLinesWhole(s_.P.Fs, s_.LogPath, log_, error)) {
    throw ESetupException(FormatPattern(s_.IString(kStrCreateError), {s_.LogPath}) +
                          (error.empty() ? "" : "  (" + error + ")"));
  }
}

}  // namespace stw
