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

bool WriteLinesWhole(IFileSystem& fs, const std::string& path, const std::vector<std::string>& lines,
                     std::string& error) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  const std::string temp = fs.CreateTempFileIn(ExtractFileDir(path), "stw");
  std::unique_ptr<IWriteFile> f = temp.empty() ? nullptr : fs.Create(temp, error);
  bool ok = f && f->Write(text.data(), text.size());
  if (f) ok = f->Close() && ok;
  if (ok) ok = fs.MoveReplace(temp, path, error);
  if (!ok && !temp.empty()) fs.DeleteFile(temp);
  return ok;
}

}  // namespace stw
