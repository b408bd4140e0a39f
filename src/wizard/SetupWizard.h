// The setup window: one fixed-size form on which every page of the wizard
// is a set of controls shown or hidden, with the start page's column of
// buttons and one row of navigation buttons whose actions are re-assigned
// per page. The wizard sees only the control model (forms/), so the host
// tests drive it headless; setup.exe gives it real windows.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/Install.h"
#include "engine/SetupState.h"
#include "forms/Forms.h"
#include "system/Elevation.h"
#include "ui/TextPrinter.h"
#include "wizard/EarlierInstallation.h"
#include "wizard/Scaling.h"

namespace stw {

class TFormDirSel;

// Interface strings of the wizard.
enum : int {
  kStrWelcome1 = 1,
  kStrWelcome2 = 2,
  kStrWelcomeDate = 3,
  kStrInstall = 4,
  kStrInstallHint = 5,
  kStrReadme = 6,
  kStrReadmeHint = 7,
  kStrComponents = 8,
  kStrComponentsHint = 9,
  kStrAdvanced = 10,
  kStrAdvancedHint = 11,
  kStrExit = 12,
  kStrExitHint = 13,
  kStrLicenseHeading = 16,
  kStrLicenseYes = 17,
  kStrLicenseNo = 18,
  kStrPrint = 19,
  kStrBack = 29,
  kStrProceed = 30,
  kStrAbort = 31,
  kStrFileTypesHeading = 36,
  kStrOk = 37,
  kStrCancel = 38,
  kStrSpaceLine = 39,
  kStrComponentsDetail = 40,
  kStrInstalled = 47,
  kStrDone = 48,
  kStrRestartQuestion = 49,
  kStrRestartNow = 50,
  kStrRestartLater = 51,
  kStrStopped = 71,
  kStrInstalledWithErrors = 72,
  kStrInvalidFolder = 78,
  kStrNoSpace = 79,
  kStrPortable = 80,
  kStrPortableHint = 81,
  kStrChooseDrive = 82,
  kStrDriveColumn = 83,
  kStrNameColumn = 84,
  kStrFreeColumn = 85,
  kStrDriveNotReady = 86,
  kStrAllDrives = 87,
  kStrPortableFolder = 88,
  kStrPortableOnly = 93,
  kStrRunning1 = 94,
  kStrRunningClass = 95,
  kStrRunningTitle = 96,
  kStrRunning2 = 97,
  kStrUserCurrent = 98,
  kStrUserCurrentHint = 99,
  kStrUserCurrentAdminHint = 100,
  kStrUserAll = 101,
  kStrUserAllHint = 102,
};

// The size texts of the space line and the disk space question: the
// value in the unit that `chooser` calls for (above 1 GiB: "GB", above 1
// MiB: "MB", else "kB"), two decimals.
std::string SizeText(uint64_t value, uint64_t chooser);
inline std::string SizeText(uint64_t value) { return SizeText(value, value); }
// The share of the free space that `required` bytes take, in percent:
// rounded to the nearest, ties to even; 100 when it does not fit or the
// free space is unknown.
int SpacePercent(uint64_t required, std::optional<uint64_t> free);
// Removes the characters a folder cannot hold (double quote, "*", "<",
// ">", "?", "|", and ":" anywhere but as the second character), then one
// trailing backslash; `changed` tells whether characters were removed.
std::string CleanFolderText(const std::string& text, bool& changed);
// The bytes the chosen components install (a file of two components
// counts twice).
uint64_t RequiredBytes(const std::vector<TComponentData>& components, const std::vector<int64_t>& fileSizes);
// Whether a component has anything to show in the tree: a file anywhere in
// its folders, or (on the hard disk) a shortcut or internet shortcut.
bool HasSomethingToShow(const TComponentData& c, bool portable);

// How the setup window ended.
enum class WizardEnd { Running, Installed, Stopped, Failed, Exited, Cancelled };

class TSetupWizard {
 public:
  // `desktop` serves the shell and the running-application check;
  // `dialogBackend` makes the backend of the folder browser's own window.
  TSetupWizard(TSetupState& s, forms::IBackend& backend, IDesktop& desktop,
               std::function<std::unique_ptr<forms::IBackend>()> dialogBackend);
  ~TSetupWizard();
  TSetupWizard(const TSetupWizard&) = delete;
  TSetupWizard& operator=(const TSetupWizard&) = delete;

  // The form's controls and their captions, before the start-up sequence.
  void FormCreate();
  // After the start-up sequence: scaling, welcome text, captions and
  // hints, the start page's variant and the earlier installation's notes;
  // then the form is shown with its system menu item.
  void AfterStartup(const TEarlierVerdict& verdict);
  // The process exit code for the way the window ended.
  int ExitCode() const;
  WizardEnd end() const { return end_; }

  TSetupState& S;
  IDesktop& Desktop;
  forms::Form form;
  WindowScale Scale;
  int Ppi = 96;

  // The controls, in tab order.
  forms::Button& BtnInstall;
  forms::Button& BtnReadme;
  forms::Button& BtnComponents;
  forms::Button& BtnAdvanced;
  forms::Button& BtnExit;
  forms::Button& BtnUserCurrent;
  forms::Button& BtnUserAll;
  forms::RichEdit& MemoLicense;
  forms::Tree& TreeComponents;
  forms::Memo& MemoComponent;
  forms::ReportList& ListDrive;
  forms::Edit& EditFolder;
  forms::Button& BtnBack;
  forms::Button& BtnPrint;
  forms::Button& BtnLicenseYes;
  forms::Button& BtnLicenseNo;
  forms::CheckBox& CheckComponentsDetail;
  forms::Button& BtnProceed;
  forms::Button& BtnAbort;
  forms::Button& BtnDone;
  forms::Button& BtnRebootNow;
  forms::Button& BtnRebootLater;
  forms::CheckBox& CheckAllDrives;
  forms::Label& LabelHint;
  forms::Label& LabelIdentity;
  forms::Label& LabelLicense;
  forms::Label& LabelDone;
  forms::Label& LabelReboot;
  forms::Label& LabelDrive;
  forms::Label& LabelFolder;
  forms::LinkLabel& Label3rdPartyURL;
  // Watches the installer of a missing framework or prerequisite and
  // presses Proceed when it has ended.
  forms::Timer& Timer3rdParty;
  // Prints the shown readme or licence (Arial, 13 pixels, margins of an
  // inch), with the window's caption as the application's title. Made when
  // a readme or licence is first shown: asking the system for its printers
  // (network ones too) stays off the start-up.
  std::unique_ptr<TTextPrinter> TextPrinter;

  std::vector<forms::Label*> WelcomeLabels;
  std::vector<forms::Label*> NoteLabels;
  // The notes of a run whose rights allow no installation on the disk.
  std::vector<forms::Label*> RightsNotes;
  bool InstallRunning = false;
  bool ErrorShown = false;
  std::unique_ptr<TInstaller> Installer;

  // Page actions, as the buttons run them.
  void StartPageShow();
  void StartPageHide();
  void ReturnToStartPage();
  void ExitAction();
  // Closes the window once the running handler has finished.
  void PostClose();
  void BtnInstallClick();
  void BtnReadmeClick();
  void BtnComponentsClick();
  void BtnAdvancedClick();
  void BtnUserCurrentClick();
  void BtnUserAllClick();
  void OpenPortablePage();
  // The portable drive page.
  void ShowPortablePage();
  void FillDrives();
  void DriveClick();
  void EditFolderChange();
  void PortableProceed();
  void PortableBack();
  void LeavePortablePath();
  uint8_t SavedUserType = 0;
  // True when the user cancelled (the setup ends).
  bool RunningApplicationCheck();
  void ResolveUserTypeForQuickPath();
  bool DiskSpaceCheck();
  // The support DLL's hooks before a path goes on (allow, folders,
  // components); false when the DLL refused: the window then closes.
  bool PrepareInstallation();
  void BtnDoneClick();
  // A progress stage below the earlier ones: its status label and gauge.
  void AddStage(const std::string& caption, uint64_t maximum);
  void BtnRebootNowClick();
  void BtnPrintClick();
  // The page of a missing framework or prerequisite (what the installation
  // stopped for), and Proceed's tests on it.
  void ShowRequirementPage();
  void RecheckDotNet();
  void RecheckPrerequisite();

  // Components page.
  void BuildTree(bool optionalOnly);
  void ToggleComponent(size_t index);
  void RefreshStates();
  void RefreshSpaceLine();
  void ShowDetail();
  uint64_t RequiredBytesNow() const;
  // The destination drive's letter and colon, "" when it has none.
  std::string DestinationDrive();

  // The folders page's rows, while it is shown.
  struct FolderRow {
    size_t variable;
    forms::Label* label;
    forms::Edit* edit;
    forms::Button* browse;
    std::string shown;  // the value as the page showed it
  };
  std::vector<FolderRow> FolderRows;
  std::vector<forms::CheckBox*> TypeBoxes;
  // The values the user set on the folders page, by variable index.
  std::vector<std::optional<std::string>> FolderOverrides;

  // The second instance of this program (elevation, Controlled Folder
  // Access) and what it asks of the window.
  std::unique_ptr<IInstanceHost> InstanceHost;
  std::unique_ptr<TSecondInstance> Instance;
  // The backdrop, hidden with the window while a second instance runs.
  forms::Form* Backdrop = nullptr;
  // A relaunched instance goes on with the action of the first: the
  // start-page button of `action` is pressed.
  void ReplayStartAction(int action);
  // What Done does: in a relaunched instance the handshake for the first;
  // otherwise the menu folder opened and the program started, from this
  // installation or the one a second instance made.
  void CompletionAction();

  // Testing hooks: the one-second pause after the menu folder is opened,
  // and the installation's progress page.
  std::function<void(int ms)> Sleep;
  struct StageRow {
    forms::Label* label;
    forms::ProgressBar* gauge;
  };
  std::vector<StageRow> Stages;

 private:
  friend class TWizardProgress;
  friend class TWizardInstanceHost;
  int S_(int designed) const { return Scale.Scale(designed, 11); }
  int Margin() const { return TreeComponents.bounds().left; }
  forms::Font FormFont() const;
  void ApplyScaling();
  void BuildWelcome();
  void ApplyButtonTexts();
  void ApplyStartVariant();
  void ApplyVerdict(const TEarlierVerdict& verdict);
  forms::Label& AddNote(const std::string& text);
  void SetBands();
  forms::Colour BandAt(int y) const;
  void HideAll();
  void ShowNavigation(bool back, bool proceed, bool abort);
  // The running-application check, then the installation's beginning for
  // the start-page action (elevation, Controlled Folder Access).
  bool Checks(int action);
  // The quick paths' user type resolution, then the checks.
  bool ResolvedChecks(int action);

  // Folders and file types.
  void ShowFoldersPage();
  void DestroyFolderRows();
  bool ValidateFolders();
  void BrowseFolder(size_t row);
  void FoldersProceed();
  void ShowFileTypesPage();
  void DestroyTypeBoxes();
  void FileTypesProceed();
  void FileTypesBack();
  void GrowTo(int runningTop);
  void RestoreHeight();
  // Puts the folder variables in their final form for the user type: the
  // package's defaults, the command line's folders, the user's own.
  void PrepareFolders();
  std::vector<std::pair<std::string, TSpecialFolder>> PreparedFolders();
  void ShowWelcome(bool show);

  // Components page.
  enum class From { Start, Advanced };
  void EnterComponentsPage(From from, bool optionalOnly);
  void ComponentsBack();
  void ComponentsProceed();
  void AfterAdvancedPages();
  void AddFolderNodes(forms::TreeNode& parent, const TComponentFolder& folder);

  // The folder of the portable page's edit: without blanks around it, its
  // drive part and leading backslashes.
  std::string EditedPortableFolder() const;

  // Readme and licence.
  bool LoadMemo(int32_t index);
  // The print button, when the system has a printer.
  void ShowPrintButton();
  void ShowLicensePage();
  void LicenseOrInstall();

  // The installation and its ending.
  void StartInstallation();
  void InstallationFinished();
  void InstallationStopped();
  void CommonEnd();
  // The requirement is there: its page goes and the installation starts
  // again from its first step.
  void RequirementMet();
  // Gives a word-wrapped label the height of its lines; returns it.
  int FitLines(forms::Label& label);
  // The labels the requirement page grows, back where the design puts them
  // (the completion page uses two of them).
  void RestoreRequirementLabels();
  std::vector<forms::Bounds> requirementDesign_;

  std::function<std::unique_ptr<forms::IBackend>()> dialogBackend_;
  std::unique_ptr<forms::IBackend> dirSelBackend_;
  std::unique_ptr<TFormDirSel> dirSel_;
  std::vector<bool> savedSelected_;
  From componentsFrom_ = From::Start;
  bool detailBuilt_ = false;
  std::optional<int> rememberedButtonsTop_;
  int designedHeight_ = 0;  // the client height before any page grew it
  WizardEnd end_ = WizardEnd::Running;
  std::unique_ptr<IInstallProgress> progress_;
  int noteTop_ = 0;
  forms::Screen screen_;  // the screen the window was scaled for
  forms::Control* activeControl_ = nullptr;
  forms::Button* startDefault_ = &BtnInstall;
  bool doneRan_ = false;
  std::vector<std::pair<std::string, TSpecialFolder>> originalFolders_;
  std::vector<size_t> typeIndex_;  // the file type of each check box
};

}  // namespace stw
