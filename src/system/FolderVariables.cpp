#include "system/FolderVariables.h"

#include "base/Text.h"
#include "package/SafeName.h"

namespace stw {

namespace {

const char kCurrentVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char kShellFoldersKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// Folders are kept without their trailing backslash so that a variable
// followed by "\name" never yields a doubled separator.
std::string WithoutTrailingBackslash(std::string s) {
  if (!s.empty() && s.back() == '\\') s.pop_back();
  return s;
}

// A registry value counts only when it was read and is not empty; it is
// then stored without its trailing backslash.
std::optional<std::string> Query(const SystemFacts& facts, bool localMachine, const char* key, const char* value) {
  if (!facts.readRegistry) return std::nullopt;
  std::optional<std::string> v = facts.readRegistry(localMachine, key, value);
  if (!v || v->empty()) return std::nullopt;
  return WithoutTrailingBackslash(std::move(*v));
}

bool IsAsciiAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

const SystemFolders& EmptyTable() {
  static const SystemFolders table;
  return table;
}

// A value that contains its own variable ("%APPFOLDER%" standing for
// "x%APPFOLDER%") would make ExpandVariables rescan and grow forever, since
// it advances by one character after each replacement so that variables
// inside a value are found too. Real texts hold a handful of variables, so
// these bounds cut off only such loops; what is left is returned unexpanded.
constexpr int kMaxExpansions = 256;
constexpr size_t kMaxExpandedLength = 256 * 1024;

}  // namespace

std::string DriveOfPath(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    // "\\server\share": up to, not including, the separator after the share.
    const size_t server = path.find('\\', 2);
    if (server == std::string_view::npos) return std::string(path);
    const size_t share = path.find('\\', server + 1);
    return std::string(share == std::string_view::npos ? path : path.substr(0, share));
  }
  return std::string();
}

SystemFolders LoadSystemFolders(const SystemFacts& facts) {
  SystemFolders f;
  f.Windows = WithoutTrailingBackslash(facts.windowsFolder);
  if (f.Windows.empty()) f.Windows = "C:\\Windows";
  f.SystemDrive = DriveOfPath(f.Windows);
  if (f.SystemDrive.empty()) f.SystemDrive = "C:";
  f.System = WithoutTrailingBackslash(facts.systemFolder);
  if (f.System.empty()) f.System = f.Windows + "\\System";
  f.Fonts = f.Windows + "\\Fonts";

  f.ProgramFiles = "C:\\Program Files";
  if (auto v = Query(facts, true, kCurrentVersionKey, "ProgramFilesDir")) f.ProgramFiles = *v;
  // Without its own value the common files folder follows the program files
  // folder, wherever that turned out to be.
  if (auto v = Query(facts, true, kCurrentVersionKey, "CommonFilesDir"))
    f.CommonFiles = *v;
  else
    f.CommonFiles = f.ProgramFiles + "\\Common Files";

  // Fallbacks of the shell folders, for systems that lack the values.
  f.StartMenuAllUsers = f.Windows + "\\Start Menu";
  f.ProgramsAllUsers = f.StartMenuAllUsers + "\\Programs";
  f.StartupAllUsers = f.ProgramsAllUsers + "\\StartUp";
  f.DesktopAllUsers = f.Windows + "\\Desktop";
  f.StartMenuCurrentUser = f.StartMenuAllUsers;
  f.ProgramsCurrentUser = f.ProgramsAllUsers;
  f.StartupCurrentUser = f.StartupAllUsers;
  f.DesktopCurrentUser = f.DesktopAllUsers;
  f.SendTo = f.Windows + "\\SendTo";
  f.Documents = f.SystemDrive + "\\My Documents";
  f.CommonDocuments = f.Documents;
  f.AppData = f.Windows + "\\Application Data";
  f.LocalAppData = f.AppData;
  f.CommonAppData = f.AppData;

  // The user's own shell folders also stand in for the all-users ones until
  // the machine-wide values below replace them, so that a system without
  // those values installs for everybody where the user sees it.
  if (auto v = Query(facts, false, kShellFoldersKey, "Start Menu")) {
    f.StartMenuCurrentUser = *v;
    f.StartMenuAllUsers = *v;
  }
  if (auto v = Query(facts, false, kShellFoldersKey, "Programs"))
    f.ProgramsCurrentUser = *v;
  else
    f.ProgramsCurrentUser = f.StartMenuCurrentUser + "\\Programs";
  f.ProgramsAllUsers = f.ProgramsCurrentUser;
  if (auto v = Query(facts, false, kShellFoldersKey, "Startup"))
    f.StartupCurrentUser = *v;
  else
    f.StartupCurrentUser = f.ProgramsCurrentUser + "\\StartUp";
  f.StartupAllUsers = f.StartupCurrentUser;
  if (auto v = Query(facts, false, kShellFoldersKey, "Desktop")) {
    f.DesktopCurrentUser = *v;
    f.DesktopAllUsers = *v;
  }
  if (auto v = Query(facts, false, kShellFoldersKey, "SendTo")) f.SendTo = *v;
  if (auto v = Query(facts, false, kShellFoldersKey, "Personal")) f.Documents = *v;
  if (auto v = Query(facts, false, kShellFoldersKey, "AppData")) {
    f.AppData = *v;
    f.CommonAppData = *v;
  }
  if (auto v = Query(facts, false, kShellFoldersKey, "Local AppData")) f.LocalAppData = *v;

  if (facts.ntFamily) {
    // A machine-wide value can outlive its folder (a profile moved or
    // removed); installing there would create a folder nobody sees.
    const std::pair<const char*, std::string*> common[] = {
        {"Common Start Menu", &f.StartMenuAllUsers}, {"Common Programs", &f.ProgramsAllUsers},
        {"Common Startup", &f.StartupAllUsers},      {"Common Desktop", &f.DesktopAllUsers},
        {"Common Documents", &f.CommonDocuments},    {"Common AppData", &f.CommonAppData},
    };
    for (const auto& [name, target] : common) {
      auto v = Query(facts, true, kShellFoldersKey, name);
      if (v && facts.folderExists && facts.folderExists(*v)) *target = *v;
    }
  }
  return f;
}

const std::string& PathFor(const TSpecialFolder& folder, uint8_t userType) {
  return userType == 1 ? folder.AllUsersPath : folder.CurrentUserPath;
}

void SetPathFor(TSpecialFolder& folder, uint8_t userType, std::string path) {
  (userType == 1 ? folder.AllUsersPath : folder.CurrentUserPath) = std::move(path);
}

TSpecialFolder* FindFolderVariable(FolderVariableList& variables, std::string_view name) {
  for (auto& [key, folder] : variables)
    if (SameTextIgnoreCase(key, name)) return &folder;
  return nullptr;
}

const TSpecialFolder* FindFolderVariable(const FolderVariableList& variables, std::string_view name) {
  for (const auto& [key, folder] : variables)
    if (SameTextIgnoreCase(key, name)) return &folder;
  return nullptr;
}

std::string ExpandFolderPath(const std::string& path, const FolderContext& ctx, bool& shared, bool& font) {
  if (path.empty() || path[0] != '%') return path;
  size_t end = 1;
  while (end < path.size() && IsAsciiAlnum(path[end])) ++end;
  if (end >= path.size() || path[end] != '%') return path;
  const std::string variable = AsciiUpper(std::string_view(path).substr(0, end + 1));
  const std::string rest = path.substr(end + 1);

  if (ctx.portableInstall) {
    // A portable installation keeps everything in one folder: the
    // application folder keeps its subfolders, any other variable (a menu,
    // the desktop) means the portable folder itself.
    if (variable == "%APPFOLDER%") return ctx.portableFolder + rest;
    return ctx.portableFolder;
  }

  if (ctx.variables) {
    if (const TSpecialFolder* v = FindFolderVariable(*ctx.variables, variable)) {
      shared = v->Shared;
      return PathFor(*v, ctx.userType) + rest;
    }
  }

  const SystemFolders& sys = ctx.system ? *ctx.system : EmptyTable();
  const bool allUsers = ctx.userType == 1;
  if (variable == "%PROGRAMFILES%") return sys.ProgramFiles + rest;
  if (variable == "%COMMONFILES%") {
    shared = true;
    return sys.CommonFiles + rest;
  }
  if (variable == "%STARTMENU%") return (allUsers ? sys.StartMenuAllUsers : sys.StartMenuCurrentUser) + rest;
  if (variable == "%PROGRAMSMENU%") return (allUsers ? sys.ProgramsAllUsers : sys.ProgramsCurrentUser) + rest;
  if (variable == "%DESKTOP%") return (allUsers ? sys.DesktopAllUsers : sys.DesktopCurrentUser) + rest;
  if (variable == "%STARTUP%") return (allUsers ? sys.StartupAllUsers : sys.StartupCurrentUser) + rest;
  if (variable == "%SENDTO%") return sys.SendTo + rest;
  if (variable == "%MYDOCUMENTS%") return sys.Documents + rest;
  if (variable == "%COMMONDOCUMENTS%") return sys.CommonDocuments + rest;
  if (variable == "%APPDATAROOT%") return sys.AppData + rest;
  if (variable == "%LOCALAPPDATAROOT%") return sys.LocalAppData + rest;
  if (variable == "%COMMONAPPDATAROOT%") return sys.CommonAppData + rest;
  if (variable == "%WINDOWS%" || variable == "%SYSTEM%") {
    // Files in the system folders belong to every program that uses them.
    shared = true;
    return (variable == "%WINDOWS%" ? sys.Windows : sys.System) + rest;
  }
  if (variable == "%FONTS%") {
    font = true;
    return sys.Fonts + rest;
  }
  if (variable == "%SYSTEMDRIVE%") return sys.SystemDrive + rest;
  if (variable == "%SETUPFOLDER%") return ExtractFilePath(ctx.setupFile) + rest;
  if (variable == "%SETUPDRIVE%") return DriveOfPath(ctx.setupFile) + rest;

  // The support DLL's variables, found by name in its text; the folder is
  // taken from the text as given (same positions: upper-casing ASCII keeps
  // the length).
  const size_t at = AsciiUpper(ctx.supportFolderText).find(variable);
  if (at != std::string::npos) {
    size_t start = at + variable.size();
    if (start < ctx.supportFolderText.size() && ctx.supportFolderText[start] == '*') {
      shared = true;
      ++start;
    }
    const size_t stop = ctx.supportFolderText.find('%', start);
    return ctx.supportFolderText.substr(start, stop == std::string::npos ? std::string::npos : stop - start) +
           rest;
  }
  return path;
}

std::string WhyUnsafeRootFolder(const std::string& name, const FolderContext& ctx) {
  size_t end = 1;
  while (end < name.size() && IsAsciiAlnum(name[end])) ++end;
  if (name.empty() || name[0] != '%' || end >= name.size() || name[end] != '%')
    return "it does not begin with a folder variable";
  const std::string variable = name.substr(0, end + 1);
  bool shared = false, font = false;
  if (ExpandFolderPath(variable, ctx, shared, font) == variable)
    return "the folder variable " + variable + " is not known on this computer";
  std::string_view rest = std::string_view(name).substr(end + 1);
  if (rest.empty()) return {};
  if (rest[0] != '\\') return "a name follows the folder variable without a backslash";
  rest.remove_prefix(1);
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);  // "%APPFOLDER%\Sub\"
  while (!rest.empty()) {
    const size_t sep = rest.find('\\');
    const std::string part(rest.substr(0, sep));
    const std::string why = WhyUnsafeName(part);
    if (!why.empty()) return "\"" + part + "\": " + why;
    rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1);
    if (sep != std::string_view::npos && rest.empty()) return "two backslashes follow each other";
  }
  return {};
}

std::string ExpandVariables(const std::string& text, const FolderContext& ctx) {
  std::string s = text;
  size_t p = 0;  // positions are 0-based; "last position" is s.size() - 1
  int expansions = 0;
  while (p + 1 < s.size()) {
    while (p + 1 < s.size() && s[p] != '%') ++p;
    // A "%" in the last position is not the start of a variable.
    if (s[p] != '%' || p + 1 >= s.size()) continue;
    if (EqualsIgnoreAsciiCase(std::string_view(s).substr(p, 8), "%SILENT%")) {
      s.erase(p, 8);
      if (ctx.silent) {
        s.insert(p, "/silent");
        p += 7;
      }
      continue;
    }
    bool shared = false, font = false;
    std::string tail = ExpandFolderPath(s.substr(p), ctx, shared, font);
    if (tail != std::string_view(s).substr(p)) {
      if (++expansions > kMaxExpansions || p + tail.size() > kMaxExpandedLength) break;
      s.replace(p, std::string::npos, tail);
    }
    // One character on, so that a "%" inside the value just inserted is
    // scanned as well.
    ++p;
  }
  return s;
}

ResolvedFolders ResolveFolderVariables(FolderContext& ctx, const std::vector<TComponentData>& components) {
  if (!ctx.portableInstall && ctx.variables) {
    // Each expansion looks the list up, so an entry sees the entries before
    // it already resolved.
    for (auto& [name, folder] : *ctx.variables) {
      bool shared = folder.Shared, font = false;
      std::string resolved = ExpandFolderPath(PathFor(folder, ctx.userType), ctx, shared, font);
      folder.Shared = shared;
      SetPathFor(folder, ctx.userType, std::move(resolved));
    }
  }
  ResolvedFolders out;
  out.resolvedRoots.resize(components.size());
  out.flags.resize(components.size());
  for (size_t c = 0; c < components.size(); ++c) {
    if (!components[c].RootFolder) continue;
    for (const auto& folder : components[c].RootFolder->Folders) {
      if (!folder) {
        out.resolvedRoots[c].emplace_back();
        out.flags[c].emplace_back();
        continue;
      }
      FolderFlags flags;
      out.resolvedRoots[c].push_back(ExpandFolderPath(folder->Name, ctx, flags.shared, flags.font));
      out.flags[c].push_back(flags);
    }
  }
  return out;
}

}  // namespace stw
