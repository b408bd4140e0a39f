#include <cstdio>

#include "base/Text.h"
#include "builder/Manifest.h"
#include "builder/RegistryDataWriter.h"

namespace stw {

using nlohmann::json;

namespace {

json Font(const TFontRecord& f) {
  return {{"Name", f.Name}, {"Color", f.Color}, {"Size", f.Size}, {"Style", f.Style}, {"Charset", f.Charset}};
}

json Folder(const TComponentFolder& f) {
  json j = {{"Name", f.Name}, {"GrantUsers", f.GrantUsers}};
  json folders = json::array();
  for (const auto& c : f.Folders) folders.push_back(Folder(*c));
  j["Folders"] = folders;
  json files = json::array(), shortcuts = json::array(), urls = json::array();
  for (const auto& d : f.Files)
    files.push_back({{"DataIndex", d.DataIndex},
                     {"OverwriteMode", d.OverwriteMode},
                     {"Permanent", d.Permanent},
                     {"SelfRegister", d.SelfRegister},
                     {"RunAfter", d.RunAfter},
                     {"RunQueueFlag", d.RunQueueFlag},
                     {"RunPathFlag", d.RunPathFlag},
                     {"RunParams", d.RunParams}});
  for (const auto& s : f.Shortcuts)
    shortcuts.push_back({{"Target", s.Target},
                         {"Name", s.Name},
                         {"Description", s.Description},
                         {"Arguments", s.Arguments},
                         {"IconIndex", s.IconIndex},
                         {"IconFile", s.IconFile},
                         {"StartPinOption", s.StartPinOption}});
  for (const auto& u : f.Urls)
    urls.push_back({{"Url", u.Url}, {"Name", u.Name}, {"IconIndex", u.IconIndex}, {"IconFile", u.IconFile}});
  j["Files"] = files;
  j["Shortcuts"] = shortcuts;
  j["Urls"] = urls;
  return j;
}

std::string Hex(const std::string& s) {
  std::string h;
  char b[3];
  for (unsigned char c : s) {
    std::snprintf(b, sizeof b, "%02x", c);
    h += b;
  }
  return h;
}

std::string VersionText(uint64_t v) {
  if ((v & 0xFFFFFFFFull) == 0xFFFFFFFFull) return "";
  char b[64];
  std::snprintf(b, sizeof b, "%u.%u.%u.%u", static_cast<unsigned>(v >> 48), static_cast<unsigned>((v >> 32) & 0xFFFF),
                static_cast<unsigned>((v >> 16) & 0xFFFF), static_cast<unsigned>(v & 0xFFFF));
  return b;
}

// The registry entries in the form of the manifest's "registry", so that
// they read as they were written and can be copied into a manifest.
json RegistryValues(const std::vector<RegistryValueEntry>& values) {
  json list = json::array();
  for (const RegistryValueEntry& v : values) {
    json j = json::object();
    if (v.isDefault)
      j["default"] = true;
    else
      j["name"] = v.name;
    if (v.keepExisting) j["keepExisting"] = true;
    switch (v.type) {
      case RegistryValueEntry::Type::None:
        j["logOnly"] = true;
        break;
      case RegistryValueEntry::Type::String:
        j["string"] = v.text;
        break;
      case RegistryValueEntry::Type::Dword:
        j["dword"] = v.dword;
        break;
      case RegistryValueEntry::Type::Binary:
        j["binary"] = Hex(v.bytes);
        break;
    }
    list.push_back(j);
  }
  return list;
}

// What a root and a key both hold: the whole-key mark, values, subkeys.
template <class Entry>
json RegistryContent(json j, const Entry& e);

json RegistryKeys(const std::vector<RegistryKeyEntry>& keys) {
  json list = json::array();
  for (const RegistryKeyEntry& k : keys) list.push_back(RegistryContent({{"name", k.name}}, k));
  return list;
}

template <class Entry>
json RegistryContent(json j, const Entry& e) {
  if (e.wholeKey) j["wholeKey"] = true;
  if (!e.values.empty()) j["values"] = RegistryValues(e.values);
  if (!e.keys.empty()) j["keys"] = RegistryKeys(e.keys);
  return j;
}

// Damaged data are shown as such: inspecting a package must not fail on
// what only the setup refuses.
json Registry(const std::string& data) {
  std::vector<RegistryRootEntry> roots;
  try {
    roots = DecodeRegistryData(data);
  } catch (const ESetupException& e) {
    return {{"damaged", e.what()}};
  }
  json list = json::array();
  for (const RegistryRootEntry& r : roots) list.push_back(RegistryContent({{"root", r.root}}, r));
  return list;
}

}  // namespace

json DefinitionToJson(const TSetupPackage& pkg, const TSetupDefinition& d) {
  json j;
  j["SetupFile"] = pkg.SetupFile;
  j["VolumeSize"] = pkg.VolumeSize;
  j["LzmaProperties"] = Hex(std::string(pkg.Props.begin(), pkg.Props.end()));
  j["InterfaceStrings"] = pkg.InterfaceStrings;
  j["CfaOptions"] = d.CfaOptions;
  j["CfaMessage"] = d.CfaMessage;
  j["PortableMode"] = d.PortableMode;
  j["RemovableMarkerMode"] = d.RemovableMarkerMode;
  j["ShowAllDrivesOption"] = d.ShowAllDrivesOption;
  j["PortableFolder"] = d.PortableFolder;
  j["ShowAdvanced"] = d.ShowAdvanced;
  j["PaintGradient"] = d.PaintGradient;
  j["FormFont"] = Font(d.FormFont);
  j["BackgroundEnabled"] = d.BackgroundEnabled;
  if (d.BackgroundEnabled) {
    const auto& b = d.BackgroundSettings;
    j["BackgroundSettings"] = {{"TopColor", b.TopColor},
                               {"BottomColor", b.BottomColor},
                               {"TopShadowColor", b.TopShadowColor},
                               {"BottomShadowColor", b.BottomShadowColor},
                               {"ImageTransparent", b.ImageTransparent},
                               {"TopShadow", b.TopShadow},
                               {"BottomShadow", b.BottomShadow},
                               {"TopFont", Font(b.TopFont)},
                               {"BottomFont", Font(b.BottomFont)}};
    j["BackgroundImage"] = d.BackgroundImage;
    j["BackgroundTopText"] = d.BackgroundTopText;
    j["BackgroundBottomText"] = d.BackgroundBottomText;
    j["BackgroundImageIndex"] = d.BackgroundImageIndex;
  }
  j["Publisher"] = d.Publisher;
  j["WebAddress"] = d.WebAddress;
  j["ProductKey"] = d.ProductKey;
  j["SupportAddress"] = d.SupportAddress;
  j["Version"] = d.Version;
  j["ReleaseDate"] = d.ReleaseDate;
  j["ReleaseDateText"] = IsoFromDayNumber(d.ReleaseDate);
  j["WelcomeLine"] = d.WelcomeLine;
  j["Readme"] = d.ReadmeName;
  j["License"] = d.LicenseName;
  j["LicenseStarred"] = d.LicenseStarred;
  j["SupportDll"] = d.SupportDllName;
  j["ExtraFile"] = d.ExtraFileName;
  j["HasReadme"] = d.HasReadme;
  j["ReadmeIndex"] = d.ReadmeIndex;
  j["LicenseIndex"] = d.LicenseIndex;
  j["SupportDllIndex"] = d.SupportDllIndex;
  j["PublisherWithAddress"] = d.PublisherWithAddress;
  j["UninstallDisplayName"] = d.UninstallDisplayName;
  j["AppName"] = d.AppName;
  j["UserType"] = d.UserType;
  json fv = json::array();
  for (const auto& [name, f] : d.FolderVariables)
    fv.push_back({{"Name", name},
                  {"Description", f.Description},
                  {"AllUsersPath", f.AllUsersPath},
                  {"CurrentUserPath", f.CurrentUserPath},
                  {"Shared", f.Shared}});
  j["FolderVariables"] = fv;
  j["TempFileNames"] = pkg.TempFileNames;
  j["TempFilePaths"] = pkg.TempFilePaths;

  json comps = json::array();
  for (const auto& c : d.Components) {
    json cj = {{"Name", c.Name},
               {"Optional", c.Optional},
               {"Selected", c.Selected},
               {"Dependencies", c.Dependencies},
               {"Description", c.Description}};
    if (c.RootFolder) cj["RootFolder"] = Folder(*c.RootFolder);
    comps.push_back(cj);
  }
  j["Components"] = comps;
  j["HasOptionalComponents"] = d.HasOptionalComponents;
  j["PackageFileNames"] = d.PackageFileNames;
  const TFileTables& t = pkg.Tables;
  j["FileOffsets"] = t.FileOffsets;
  j["FileSizes"] = t.FileSizes;
  j["FileStoredSizes"] = t.FileStoredSizes;
  j["FileTimes"] = t.FileTimes;
  json versions = json::array();
  for (uint64_t v : t.FileVersions) versions.push_back(VersionText(v));
  j["FileVersions"] = versions;
  json sums = json::array();
  for (uint32_t c : t.FileChecksums) sums.push_back(HexU32(c));
  j["FileChecksums"] = sums;
  j["FileUsed"] = t.FileUsed;
  j["RegistryData"] = Hex(d.RegistryData);
  j["Registry"] = Registry(d.RegistryData);

  json types = json::array();
  for (const auto& [display, ft] : d.FileTypes) {
    json acts = json::array();
    for (const auto& a : ft.Actions) acts.push_back({{"Verb", a.Verb}, {"Target", a.Target}, {"Parameters", a.Parameters}});
    types.push_back({{"DisplayText", display},
                     {"Install", ft.Install},
                     {"Description", ft.Description},
                     {"Extension", ft.Extension},
                     {"IconFile", ft.IconFile},
                     {"IconIndex", ft.IconIndex},
                     {"Actions", acts}});
  }
  j["FileTypes"] = types;
  j["DotNetVersions"] = d.DotNetVersions;
  if (d.DotNetVersions) {
    j["DotNetLevel"] = d.DotNetLevel;
    j["DotNetFile"] = d.DotNetFile;
    j["DotNetUrl"] = d.DotNetUrl;
    j["DotNetPosition"] = d.DotNetPosition;
    j["DotNetSize"] = d.DotNetSize;
  }
  json third = json::array();
  for (const auto& [name, p] : d.ThirdPartyList)
    third.push_back({{"Name", p.Name},
                     {"DownloadUrl", p.DownloadUrl},
                     {"FileName", p.FileName},
                     {"Parameters", p.Parameters},
                     {"ConditionKey", p.ConditionKey},
                     {"ConditionValue", p.ConditionValue},
                     {"ConditionData", p.ConditionData},
                     {"ConditionFile", p.ConditionFile},
                     {"HasCondition", p.HasCondition},
                     {"Position", p.Position},
                     {"Size", p.Size}});
  j["ThirdPartyList"] = third;
  j["FinishFlags"] = d.FinishFlags;
  j["FinishExeIndex"] = d.FinishExeIndex;
  j["FinishParams"] = d.FinishParams;
  j["MainExecutable"] = d.MainExecutable;
  j["MainParameters"] = d.MainParameters;
  j["UninstallShortcut"] = d.UninstallShortcut;
  j["UninstallLinkedFile"] = d.UninstallLinkedFile;
  j["SetupOptionBits"] = d.SetupOptionBits;
  j["MinimumPreviousDate"] = d.MinimumPreviousDate;
  j["UpgradeOnly"] = d.UpgradeOnly();
  j["UpgradeMessages"] = d.UpgradeMessages;
  j["WindowClasses"] = d.WindowClasses;
  j["WindowTitles"] = d.WindowTitles;
  return j;
}

std::vector<std::string> DefaultInterfaceStrings() {
  std::vector<std::string> s(103);
  s[0] = "%s Setup";
  s[1] = "Welcome to the installation of";
  s[2] = "on this computer.";
  s[3] = "Release date: %s";
  s[4] = "&Install";
  s[5] = "Install %s with the standard settings";
  s[6] = "&Readme";
  s[7] = "Read important information about this product";
  s[8] = "&Components";
  s[9] = "Choose the components to install";
  s[10] = "&Advanced";
  s[11] = "Choose folders and other settings";
  s[12] = "E&xit";
  s[13] = "Leave the setup without installing";
  s[14] = "This product cannot be installed on this computer";
  s[15] = "with the rights of the current user.";
  s[16] = "Please read the licence agreement:";
  s[17] = "I &accept";
  s[18] = "I &decline";
  s[19] = "&Print";
  s[29] = "< &Back";
  s[30] = "&Next >";
  s[31] = "&Cancel";
  s[32] = "Application folder";
  s[33] = "Common files folder";
  s[34] = "Start menu folder";
  s[35] = "User data folder";
  s[36] = "Register these file types:";
  s[37] = "OK";
  s[38] = "Cancel";
  s[39] = "Space needed: %s (%d %% of the free space)";
  s[40] = "Show details";
  s[42] = "Installing %s";
  s[43] = "Creating the shortcut to %s";
  s[44] = "Writing registry entries";
  s[45] = "Registering file types";
  s[46] = "Removing files that are no longer needed";
  s[47] = "%s has been installed.";
  s[48] = "&Done";
  s[49] = "Restart the computer to complete the installation.";
  s[50] = "Restart &now";
  s[51] = "Restart &later";
  s[52] = "Please make volume %d of the installation available, then press OK.";
  s[53] = "%s is installed on this computer.";
  s[54] = "This setup installs a newer release.";
  s[55] = "The installed files will be updated.";
  s[56] = "This setup installs the same release again.";
  s[57] = "You can add or remove components.";
  s[58] = "Use Components to change the installed components.";
  s[59] = "The installed release is newer than this one.";
  s[60] = "Installing this release replaces a newer one.";
  s[61] = "Uninstall %s";
  s[62] = "Do you want to remove %s and all of its components?";
  s[63] = "Removing %s";
  s[64] = "%s was removed from this computer.";
  s[65] = "Some items could not be removed.";
  s[66] = "The uninstallation was cancelled.";
  s[67] = "Restart the computer to finish the removal.";
  s[68] = "Uninstall %s";
  s[69] = "An error occurred during the installation of %s:";
  s[70] = "Do you want to continue the installation?";
  s[71] = "The installation was stopped.";
  s[72] = "%s has been installed, with errors.";
  s[73] = "Some folders could not be created.";
  s[75] = "The file %s could not be read from the installation package. The package may be damaged; please "
          "contact %s.";
  s[76] = "The file %s could not be created.";
  s[77] = "The folder %s could not be created.";
  s[78] = "This folder is not valid. Please enter a complete path on an existing drive.";
  s[79] = "Drive %s does not have enough free space: %s needed, %s free.";
  s[80] = "&Portable";
  s[81] = "Install on a removable drive";
  s[82] = "Please choose a drive:";
  s[83] = "Drive";
  s[84] = "Name";
  s[85] = "Free";
  s[86] = "(not ready)";
  s[87] = "Show all drives";
  s[88] = "Folder on the drive:";
  s[89] = "This product needs the Microsoft .NET Framework %s, which is not installed on this computer.";
  s[90] = "Its installer is running. Press Next when it has finished.";
  s[91] = "You can download it from this address:";
  s[92] = "This product needs %s, which is not installed on this computer.";
  s[93] = "Only a portable installation is possible.";
  s[94] = "%s cannot be installed while it is running.";
  s[95] = "A program of this product is running.";
  s[96] = "The window \"%s\" is open.";
  s[97] = "Close it, then press Retry.";
  s[98] = "&Current user";
  s[99] = "Install %s for yourself only";
  s[100] = "Install %s for yourself only (administrator rights are still needed)";
  s[101] = "&All users";
  s[102] = "Install %s for everybody who uses this computer";
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i].empty()) s[i] = "Text " + std::to_string(i);
  return s;
}

}  // namespace stw
