// The portable installation: the product's files in a folder of their own
// (typically on a removable drive), and nothing on the computer itself.
#include "base/Text.h"
#include "engine/Install.h"
#include "system/FolderVariables.h"

namespace stw {

void TInstaller::InstallPortable() {
  installed_.Clear();
  log_.clear();
  ApplyComponents();
  InstallFiles<TThreadInstallFilesPortable>();
  WriteRemovableMarker();
  RunCommands();
}

void TInstaller::WriteRemovableMarker() {
  const uint8_t mode = s_.Def.RemovableMarkerMode;
  const std::string& folder = s_.Def.PortableFolder;
  if (mode != 1 && mode != 2) return;
  if (mode == 1) {
    const std::string drive = DriveOfPath(folder);
    if (drive.size() == 2 && drive[1] == ':' && s_.P.Shell.IsRemovableDrive(drive + "\\")) return;
  }
  const std::string marker = WithoutTrailingBackslashes(folder) + "\\RemovableDrive.sys";
  if (s_.P.Fs.FileExists(marker)) return;
  std::string error;
  // A marker that cannot be written costs nothing but the hint it gives.
  WriteLinesWhole(s_.P.Fs, marker,
                  {"The existence of this file forces portable applications installed by Pakvestor in this folder "
                   "to treat the drive as removable even if it is fixed."},
                  error);
}

}  // namespace stw
