// The package builder: writes an installer file (the front program with
// the package appended) and, with a volume size, its volume files, in
// exactly the layout that the setup reads.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/Definition.h"
#include "package/Lzma.h"

namespace stw {

// Where the bytes of a file come from: a file on disk or inline content.
struct BuildSource {
  std::string name;  // the name the package gives it
  std::string path;  // read from disk when `content` is empty and this is set
  std::optional<std::string> content;
  bool compress = true;  // compressed when that saves bytes
  std::string Load() const;
  uint64_t Size() const;
};

struct BuildFile : BuildSource {
  double time = 0;  // local date-time; 0 = the source file's time, or now
  uint64_t version = ~0ull;  // low half all ones: no version
  bool external = false;  // not carried: offset all ones in the tables
};

struct BuildItem {
  enum Kind { File, Shortcut, Url, Other } kind = File;
  TFileData file;
  bool keep = true;  // bit 0 of the file entry's second byte
  TShortcutData shortcut;
  TURLData url;
  uint8_t otherByte = 0;  // an item byte that carries nothing
};

struct BuildFolder {
  std::string name;
  bool grantUsers = false;
  std::vector<BuildFolder> folders;
  bool withItems = true;  // false: the body ends without an item list
  std::vector<BuildItem> items;
};

struct BuildComponent {
  std::string name, description;
  bool optional = false, selected = true;
  std::vector<uint8_t> dependencies;
  BuildFolder root;
};

struct BuildPrerequisite {
  std::vector<std::string> lines;  // the record's text lines
  BuildSource installer;  // carried in the package when it has a name
  int64_t position = 0, size = 0;  // used when nothing is carried
};

enum class BlockMode { Auto, Stored, Compressed };

struct PackageManifest {
  std::vector<std::string> interfaceStrings;
  // Definition fields.
  std::string publisher, webAddress, productKey, supportAddress, version;
  int32_t releaseDate = 0;
  std::string welcomeLine;
  std::optional<BuildSource> readme, licence, supportDll, extraFile;
  bool licenceStarred = false;
  uint8_t userType = 3;
  // Defaults of %APPFOLDER%, %APPCOMMONFOLDER%, %APPMENU%, %USERDATA%:
  // all users, current user.
  std::string folderDefaults[4][2];
  std::string backgroundTopText, backgroundBottomText;
  std::optional<BuildSource> backgroundImage;
  // Sections 3 to 9.
  uint8_t cfaOptions = 0;
  std::string cfaMessage;
  uint8_t section4Flags = 0;
  std::string section4Text;
  int32_t section4Tables[2] = {0, 0};
  uint8_t portableMode = 0, removableMarkerMode = 0, showAllDrivesOption = 0;
  std::string portableFolder;
  uint8_t showAdvanced = 1, paintGradient = 1;
  TFontRecord formFont{"Segoe UI", 0, 9, 0, 1};
  bool backgroundEnabled = false;
  TBackgroundSettings backgroundSettings;
  // Sections 11 to 19.
  std::vector<BuildComponent> components;
  std::vector<BuildFile> files;  // the installable files, in data-index order
  std::string registryData;
  std::vector<TFileType> fileTypes;
  uint8_t dotNetVersions = 0, dotNetLevel = 0;
  std::string dotNetFile, dotNetUrl;
  BuildSource dotNetInstaller;
  std::vector<BuildPrerequisite> prerequisites;
  uint8_t finishFlags = 0;
  uint16_t finishExeIndex = kNoIndex, finishUnused = 0;
  std::string finishParams;
  uint16_t mainExecutable = kNoIndex, mainExtra = kNoIndex;
  std::string mainParameters;
  uint8_t uninstallShortcut = 0;
  uint16_t uninstallLinkedFile = kNoIndex;
  uint8_t setupOptionBits = 0;
  uint16_t minimumPreviousDate = 0;
  std::string upgradeMessages, windowClasses, windowTitles;

  // How it is written.
  uint32_t volumeSize = 0;
  LzmaEncoderOptions lzma;
  BlockMode blocks = BlockMode::Auto;
  unsigned threads = 0;  // 0 = one per processor
  // The program in front of the package: the bytes of a Windows program
  // (src/front), which the builder makes room for the locator in
  // (builder/FrontImage.h). Empty: a placeholder of `frontSize` bytes that
  // carries the locator and nothing else; such a file cannot run by
  // itself, only be named to a setup.exe started by hand (as the tests do).
  std::string front;
  size_t frontSize = 512;  // placeholder front; at least 152 bytes
};

// Per data index, what was written (for tests and the tool's report).
struct BuildReport {
  uint64_t packageSize = 0;  // all volumes together
  uint64_t frontSize = 0;  // bytes before the package header
  int volumes = 1;
  std::vector<int64_t> offsets, sizes, storedSizes;
  std::vector<uint32_t> checksums;
  size_t supportFiles = 0;
  int64_t tablePosition = 0;  // package position of the file tables (offsets first)
};

// Data index of an installable file by its name (support files first).
int FindDataIndex(const PackageManifest& m, const std::string& name);

// Writes the package; throws ESetupException with what is wrong.
BuildReport BuildPackage(const PackageManifest& m, const std::string& outPath);

// The standard English interface strings (enough for every index in use).
std::vector<std::string> DefaultInterfaceStrings();

}  // namespace stw
