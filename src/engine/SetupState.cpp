#include "engine/SetupState.h"

#include "base/Text.h"

namespace stw {

std::string TSetupState::WindowCaption() const {
  return Def.AppName.empty() ? std::string() : FormatPattern(Package.IString(0), {Def.AppName});
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
