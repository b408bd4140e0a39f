// File associations: program types, their icons and shell verbs, with the
// values they replace logged beside them for the uninstaller to restore.
#include "base/Text.h"
#include "engine/Install.h"

namespace stw {

namespace {

// Where the installation's classes live: the machine's for all users, the
// user's own Software\Classes otherwise.
struct ClassesKey {
  RegRoot root;
  std::string prefix;
  std::string operator()(const std::string& key) const { return prefix + key; }
};

// An extension or verb names one key; a backslash would reach any other
// key of the classes root (a COM server's, say).
bool NamesOneKey(const std::string& name) { return !name.empty() && name.find('\\') == std::string::npos; }

}  // namespace

void TInstaller::LogCarriedFileType(const TFileType& type) {
  log_.push_back(type.PreviousRecord);
  for (const TFileTypeAction& a : type.Actions)
    if (a.FromPreviousLog) log_.push_back(a.PreviousRecord);
  log_.push_back("%");
}

void TInstaller::RegisterFileTypes() {
  fileTypesLogged_ = true;
  auto& types = s_.Def.FileTypes;
  if (types.empty()) return;
  progress_.Stage(IInstallProgress::StageKind::Other, s_.IString(kStrFileTypes), types.size());
  bool changed = false;
  for (auto& [display, type] : types) {
    const size_t before = log_.size();
    try {
      RegisterFileType(type);
    } catch (const std::exception& e) {
      // What this type logged so far is dropped: the uninstaller reads a
      // record whole or not at all.
      log_.resize(before);
      if (type.FromPreviousLog) LogCarriedFileType(type);
      ReportError(e.what(), false);
    }
    changed = true;
    progress_.Advance(1);
  }
  progress_.Complete();
  if (changed) s_.P.Shell.NotifyAssociationsChanged();
}

void TInstaller::RegisterFileType(TFileType& type) {
  if (type.PreviousOnly || (!type.Install && type.FromPreviousLog)) {
    LogCarriedFileType(type);
    return;
  }
  if (!type.Install) return;
  const std::vector<std::string>& installed = pkg_.Tables.InstalledPaths;
  auto installedPath = [&](uint16_t index) -> std::string {
    return index < installed.size() ? installed[index] : std::string();
  };
  bool anyTarget = false;
  for (const TFileTypeAction& a : type.Actions) anyTarget |= !installedPath(a.Target).empty();
  if (!anyTarget) return;
  if (type.Extension.size() < 2 || type.Extension[0] != '.' || !NamesOneKey(type.Extension)) {
    if (type.FromPreviousLog) LogCarriedFileType(type);
    return;
  }

  IRegistry& reg = s_.P.Reg;
  const ClassesKey classes = s_.Def.UserType == 1 ? ClassesKey{RegRoot::ClassesRoot, ""}
                                                  : ClassesKey{RegRoot::CurrentUser, "Software\\Classes\\"};
  // The default value of a key, as at most 260 characters can hold it.
  auto defaultOf = [&](const std::string& key) -> std::string {
    const std::optional<std::string> v = reg.ReadString(classes.root, classes(key), "");
    if (!v || Utf8ToUtf16(*v).size() > 260) return {};
    return *v;
  };
  std::string progType = defaultOf(type.Extension);
  if (progType.empty() || !NamesOneKey(progType)) {
    progType = type.Extension.substr(1) + "file";
    if (!reg.WriteString(classes.root, classes(type.Extension), "", progType)) {
      if (type.FromPreviousLog) LogCarriedFileType(type);
      return;
    }
  }
  if (!reg.CreateKey(classes.root, classes(progType))) {
    if (type.FromPreviousLog) LogCarriedFileType(type);
    return;
  }
  log_.push_back(type.Extension);
  log_.push_back(type.FromPreviousLog ? type.PreviousDescription : defaultOf(progType));
  reg.WriteString(classes.root, classes(progType), "", type.Description);
  log_.push_back(type.Description);

  const std::string iconFile = type.IconFile == kNoIndex ? std::string() : installedPath(type.IconFile);
  if (!iconFile.empty()) {
    const std::string icon = iconFile + "," + std::to_string(type.IconIndex);
    const std::string iconKey = progType + "\\DefaultIcon";
    log_.push_back(type.FromPreviousLog ? type.PreviousIcon : defaultOf(iconKey));
    log_.push_back(icon);
    reg.WriteString(classes.root, classes(iconKey), "", icon);
  } else {
    log_.push_back(type.PreviousIcon);
    log_.push_back(type.PreviousIcon);
  }

  for (const TFileTypeAction& a : type.Actions) {
    const std::string target = installedPath(a.Target);
    const std::string commandKey = progType + "\\shell\\" + a.Verb + "\\command";
    if (!a.PreviousOnly && !target.empty() && NamesOneKey(a.Verb) && reg.CreateKey(classes.root, classes(commandKey))) {
      log_.push_back(a.Verb);
      log_.push_back(a.FromPreviousLog ? a.PreviousCommand : defaultOf(commandKey));
      const std::string command = "\"" + target + "\" " + a.Parameters;
      reg.WriteString(classes.root, classes(commandKey), "", command);
      log_.push_back(command);
    } else if (a.FromPreviousLog) {
      log_.push_back(a.PreviousRecord);
    }
  }
  log_.push_back("%");
}

}  // namespace stw
