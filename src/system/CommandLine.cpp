#include "system/CommandLine.h"

#include "base/Text.h"

namespace stw {

bool HasSwitch(const Arguments& args, std::string_view name) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!a.empty() && (a[0] == '-' || a[0] == '/') && EqualsIgnoreAsciiCase(std::string_view(a).substr(1), name))
      return true;
  }
  return false;
}

std::optional<std::string> SlashArgument(const Arguments& args, std::string_view name) {
  std::string wanted = "/";
  wanted += name;
  for (size_t i = 1; i < args.size(); ++i) {
    if (!EqualsIgnoreAsciiCase(args[i], wanted)) continue;
    return i + 1 < args.size() ? args[i + 1] : std::string();
  }
  return std::nullopt;
}

std::string ChooseTempFolder(const Arguments& args, const std::string& systemTemp, const std::string& programFolder) {
  std::string folder;
  const bool lastIsTemp = args.size() >= 2 && EqualsIgnoreAsciiCase(args.back(), "/temp");
  if (!lastIsTemp) {
    folder = systemTemp.empty() ? programFolder : systemTemp;
    // Downwards, so that the pair nearest the front is taken last and wins.
    for (size_t i = args.size() >= 2 ? args.size() - 2 : 0; i >= 1; --i)
      if (EqualsIgnoreAsciiCase(args[i], "/temp")) folder = args[i + 1];
  }
  if (folder.empty()) folder = programFolder;
  return WithTrailingBackslash(folder);
}

std::string RelaunchParameters(const std::string& universalSetupFile, const std::string& instanceSwitch, int action,
                               const Arguments& args) {
  std::string p = "\"" + universalSetupFile + "\" /" + instanceSwitch;
  switch (action) {
    case 2: p += " /components"; break;
    case 3: p += " /advanced"; break;
    case 4: p += " /usercurrent"; break;
    case 5: p += " /userall"; break;
    default: break;
  }
  for (size_t i = 2; i < args.size(); ++i) {
    if (EqualsIgnoreAsciiCase(args[i], "/noadmin")) continue;
    if (args[i].find(' ') != std::string::npos)
      p += " \"" + args[i] + "\"";
    else
      p += " " + args[i];
  }
  return p;
}

int StartActionFromSwitches(const Arguments& args) {
  if (HasSwitch(args, "userall")) return 5;
  if (HasSwitch(args, "usercurrent")) return 4;
  if (HasSwitch(args, "advanced")) return 3;
  if (HasSwitch(args, "components")) return 2;
  return 1;
}

void PrepareFolderVariables(const Arguments& args, FolderVariableList& folderVariables, uint8_t userType,
                            const std::function<std::string(const std::string&)>& expand,
                            const std::function<bool(const std::string&)>& driveExists) {
  for (auto& [name, folder] : folderVariables) {
    if (expand) SetPathFor(folder, userType, expand(PathFor(folder, userType)));
    // "%APPFOLDER%" is given as "/APPFOLDER".
    if (name.size() < 2) continue;
    std::string wanted = "/";
    wanted.append(name, 1, name.size() - 2);
    for (size_t i = 1; i + 1 < args.size(); ++i) {
      if (!SameTextIgnoreCase(args[i], wanted)) continue;
      std::string value = args[i + 1];
      if (!value.empty() && value.back() == '\\') value.pop_back();
      const std::string result = expand ? expand(value) : value;
      const std::string drive = DriveOfPath(result);
      if (!drive.empty() && driveExists && driveExists(drive + "\\")) SetPathFor(folder, userType, result);
      break;
    }
  }
}

}  // namespace stw
