#include "engine/SetupState.h"

#include "base/Text.h"

namespace stw {

std::string TSetupState::WindowCaption() const {
  return Def.AppName.empty() ? std::string() : FormatPattern(Package.IString(0), {Def.AppName});
}

std::string TSetupState::FileNameOf(uint16_t index) const {
  const size_t t = Package.TempFileNames.size();
  if (index < t) return Package.TempFileNames[index];
  const size_t k = index - t;
  return k < Def.PackageFileNames.size() ? Def.PackageFileNames[k] : std::string();
}

FolderContext TSetupState::Folder() {
  FolderContext c;
  c.system = &Folders;
  c.variables = &Def.FolderVariables;
  c.userType = Def.UserType;
  c.portableInstall = PortableInstall;
  c.portableFolder = Def.PortableFolder;
  c.setupFile = SetupFile;
  c.supportFolderText = SupportFolderText;
  c.silent = Silent;
  return c;
}

}  // namespace stw
