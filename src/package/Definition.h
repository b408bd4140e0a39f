// The setup definition: every section of the package but the file data,
// read once, front to back, in its fixed order, into plain records.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "package/DataStream.h"
#include "package/Package.h"

namespace stw {

constexpr uint16_t kNoIndex = 0xFFFF;

// Interface strings with a meaning while the definition is read.
enum : int { kStrFolderCaptionFirst = 32 };

struct TFontRecord {
  std::string Name;  // at most 31 single-byte characters
  int32_t Color = 0;  // red in the low byte
  uint8_t Size = 0;  // points
  uint8_t Style = 0;  // bit 0 bold, 1 italic, 2 underline, 3 strike-out
  uint8_t Charset = 0;
};
constexpr size_t kFontRecordSize = 39;
TFontRecord ParseFontRecord(const std::string& bytes39);
// Older systems lack "Segoe UI": below version 6.0 it becomes "Tahoma", a
// size of 9 points or more one point smaller.
void ApplyFontFallback(TFontRecord& font, int windowsMajorVersion);

struct TBackgroundSettings {
  int32_t TopColor = 0, BottomColor = 0, TopShadowColor = 0, BottomShadowColor = 0;
  uint8_t ImageTransparent = 0, TopShadow = 0, BottomShadow = 0;
  TFontRecord TopFont, BottomFont;
};
constexpr size_t kBackgroundSettingsSize = 97;

struct TURLData {
  std::string Url, Name;
  uint8_t IconIndex = 0;
  uint16_t IconFile = kNoIndex;
  std::string LinkPath;  // filled during the installation
};

struct TShortcutData {
  uint16_t Target = kNoIndex;
  std::string Name, Description, Arguments;
  uint8_t IconIndex = 0;
  uint16_t IconFile = kNoIndex;
  uint8_t StartPinOption = 0;
  std::string LinkPath;  // filled during the installation
};

struct TFileData {
  uint8_t OverwriteMode = 0;  // 0 always, 1 when newer, else never
  bool Permanent = false, SelfRegister = false;
  bool RunAfter = false, RunQueueFlag = false, RunPathFlag = false;
  uint16_t DataIndex = kNoIndex;
  std::string RunParams;
  // Filled during the installation.
  std::string DestPath;
  bool Shared = false, Font = false;
  // Another entry of this installation may have the same destination (it
  // then finds this one's file there).
  bool RepeatedDest = false;
};

struct TComponentFolder {
  std::string Name;
  bool GrantUsers = false;  // grant the Users group full control
  std::vector<std::unique_ptr<TComponentFolder>> Folders;
  std::vector<TFileData> Files;
  std::vector<TShortcutData> Shortcuts;
  std::vector<TURLData> Urls;
};

struct TComponentData {
  std::string Name, Description;
  bool Optional = false, Selected = false;
  std::vector<uint8_t> Dependencies;  // positions in Components
  std::unique_ptr<TComponentFolder> RootFolder;
  // Run-time flags.
  bool Required = false, PreviouslyInstalled = false;
};

struct TFileTypeAction {
  std::string Verb;  // lower case
  uint16_t Target = kNoIndex;
  std::string Parameters;
  // From an earlier installation's log.
  bool PreviousOnly = false, FromPreviousLog = false;
  std::string PreviousCommand, PreviousRecord;
};

struct TFileType {
  bool Install = false;
  std::string Description, Extension;
  uint16_t IconFile = kNoIndex;
  uint8_t IconIndex = 0;
  std::vector<TFileTypeAction> Actions;  // in package order; unique verbs
  // From an earlier installation's log.
  bool PreviousOnly = false, FromPreviousLog = false;
  std::string PreviousDescription, PreviousIcon, PreviousRecord;
};

struct T3rdParty {
  std::string Name, DownloadUrl, FileName, Parameters;
  std::string ConditionKey, ConditionValue, ConditionData, ConditionFile;
  bool HasCondition = false;
  int64_t Position = 0;  // 0: not carried in the package
  int64_t Size = 0;
};

// A folder variable declared by the setup ("%APPFOLDER%" and the others).
struct TSpecialFolder {
  std::string Description;
  std::string AllUsersPath;
  std::string CurrentUserPath;
  bool Shared = false;
  // Added by the earlier installation's log, not by this setup: such a
  // variable does not vouch for the files an earlier log names.
  bool FromEarlierLog = false;
};

struct TSetupDefinition {
  // Section 2 and its reading position (UTF-16 code units, as the fields
  // are counted in characters).
  std::u16string DefinitionText;
  size_t DefinitionPos = 0;
  // Section 3.
  uint8_t CfaOptions = 0;
  std::string CfaMessage;
  // Section 5.
  uint8_t PortableMode = 0, RemovableMarkerMode = 0, ShowAllDrivesOption = 0;
  std::string PortableFolder;
  // Section 7 to 9.
  uint8_t ShowAdvanced = 0, PaintGradient = 0;
  TFontRecord FormFont;
  uint8_t BackgroundEnabled = 0;
  TBackgroundSettings BackgroundSettings;
  // Definition fields 1 to 11.
  std::string Publisher, WebAddress, ProductKey, SupportAddress, Version;
  int32_t ReleaseDate = 0;  // days since 1899-12-30
  std::string WelcomeLine, ReadmeName, LicenseName, SupportDllName, ExtraFileName;
  bool LicenseStarred = false, HasReadme = false;
  int32_t ReadmeIndex = -1, LicenseIndex = -1, BackgroundImageIndex = -1, SupportDllIndex = -1;
  // Derived texts.
  std::string PublisherWithAddress, UninstallDisplayName, AppName;
  // The user type character and the folder defaults.
  uint8_t UserType = 0;
  bool NoDesktop = false;
  std::vector<std::pair<std::string, TSpecialFolder>> FolderVariables;
  // Background fields.
  std::string BackgroundImage, BackgroundTopText, BackgroundBottomText;
  // Sections 11 to 15.
  std::vector<TComponentData> Components;
  std::vector<std::string> PackageFileNames;
  bool HasOptionalComponents = false;
  std::string RegistryData;
  std::vector<std::pair<std::string, TFileType>> FileTypes;  // display text, type
  // Section 16.
  uint8_t DotNetVersions = 0, DotNetLevel = 0;
  std::string DotNetFile, DotNetUrl;
  int64_t DotNetPosition = 0, DotNetSize = 0;
  std::vector<std::pair<std::string, T3rdParty>> ThirdPartyList;
  // Sections 17 to 19.
  uint8_t FinishFlags = 0;
  uint16_t FinishExeIndex = kNoIndex;
  std::string FinishParams;
  uint16_t MainExecutable = kNoIndex, MainExtra = kNoIndex;
  std::string MainParameters;
  uint8_t UninstallShortcut = 0;
  uint16_t UninstallLinkedFile = kNoIndex;
  uint8_t SetupOptionBits = 0;
  uint16_t MinimumPreviousDate = 0;
  std::vector<std::string> UpgradeMessages, WindowClasses, WindowTitles;
  bool UpgradeOnly() const { return (SetupOptionBits & 2) != 0; }
};

// Splits a window class or title list: ";" separates entries, an entry in
// double quotes runs to the closing quote ("" inside stands for one). For
// classes, every character up to and including the space also separates.
std::vector<std::string> SplitWindowList(const std::string& text, bool classes);

// The readers, one per section or startup step, each continuing at the
// current package position. They raise ESetupException on damaged data.
class TSetupReader {
 public:
  TSetupReader(TSetupPackage& package, TSetupDefinition& def) : pkg_(package), def_(def) {}

  // Sections 1 to 9 (`params` are the command-line parameters after the
  // installer file, for the portable request).
  void ReadFirstSections(const std::vector<std::string>& params);
  // Fields 1 to 11 and their support files; `silent` skips readme and
  // licence as a silent run does.
  void ReadWelcomeInformation(bool silent);
  // The user type character and fields 12 to 19.
  void RegisterFolderDefaults(bool noDesktop);
  // Background fields and image; the image is skipped when `silent` (no
  // window) or `skipImage`.
  void ReadBackground(bool skipImage);
  void ReadComponents();
  void ReadFileTable();
  void ReadFolderTrees();
  void ReadRegistryData();
  void ReadFileTypes();
  void ReadPrerequisites();
  void ReadFinishOptions();
  void ReadUninstallOptions();
  void ReadSetupOptions();

  std::string NextField();
  uint8_t ReadUserTypeCharacter();

  struct Options {
    bool silent = false;
    bool noDesktop = false;
    std::vector<std::string> params;
  };
  // The whole definition in startup order, with no user interface: for the
  // tools, the fuzzers and the tests.
  void ReadWholeDefinition(const Options& opt);

 private:
  void ReadFolderBody(TDataStream& s, TComponentFolder& folder, int depth);
  TSetupPackage& pkg_;
  TSetupDefinition& def_;
};

}  // namespace stw
