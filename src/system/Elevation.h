// A second instance of the setup program, and the two reasons to start
// one: administrator rights (an elevated copy started with "runas", which
// installs and leaves the program to start for this copy, so that it runs
// with the user's own rights) and Controlled Folder Access (the setup
// allowed through it first, or a test run after the user's consent).
//
// The two instances share the handshake key (kHandshakeKey), one after the
// other: this instance reads only after its child has ended.
//
// Used on the user-interface thread, except AllowThroughCfa (workers too).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "engine/SetupState.h"

namespace stw {

// Start-page actions, as posted messages carry them and the switches of a
// second instance replay them.
enum StartAction : int {
  kActionSilent = 0,
  kActionInstall = 1,
  kActionComponents = 2,
  kActionAdvanced = 3,
  kActionUserCurrent = 4,
  kActionUserAll = 5,
};

// The installer file as a second instance finds it: an elevated process
// does not see the drives the user mapped, so a file on a mapped network
// drive goes by its network name ("\\server\share\..."); any other file,
// or one whose network name the system cannot tell, unchanged.
std::string UniversalSetupFile(TSetupState& s);

// The parameters for PowerShell that add the program to (or remove it
// from) the programs that Controlled Folder Access lets write: one command
// in a double-quoted argument, the path in single quotes inside it (every
// double quote and every single quote of the path doubled).
std::string CfaPowerShellParameters(const std::string& program, bool add);

// The warning of a setup blocked by Controlled Folder Access: the message
// with every "%FILE%" (any case) replaced by the program, two line breaks
// and the question whether to go on.
std::string CfaWarningText(const std::string& message, const std::string& program, const std::string& question);

// The Windows PowerShell that the allow commands use, by full path: the
// native one of a 64-bit Windows (SysNative for a 32-bit program), else
// the system folder's; "" when neither exists.
std::string FindPowerShell(TSetupState& s);

// Adds the program to the allowed applications of Controlled Folder Access
// (or removes it) through PowerShell and waits for it; nothing when it is
// already so, or when no PowerShell was found for this run.
void AllowThroughCfa(TSetupState& s, const std::string& program, bool add);

// What the setup window (or the silent run, which has none) does for the
// second instance.
class IInstanceHost {
 public:
  virtual ~IInstanceHost() = default;
  // The shown setup window (an HWND), nullptr when there is none; it owns
  // the system's prompt.
  virtual void* OwnerWindow() = 0;
  // The window and the backdrop (when shown) go while the child runs.
  virtual void HideWindows() = 0;
  // The start page's buttons go once an installation begins.
  virtual void HideStartButtons() = 0;
  // Runs `message` from the message loop, after the running handler.
  virtual void Post(std::function<void()> message) = 0;
  // The setup ends once the running handler has returned.
  virtual void EndMessageLoop() = 0;
  // The completion action for an installation that the child finished.
  virtual void CompletionAction() = 0;
  // A progress stage with its text and a gauge from 0 to `maximum`.
  virtual void ShowStage(const std::string& text, int maximum) = 0;
  virtual void StagePosition(int position) = 0;
  virtual std::string Caption() = 0;
  virtual void Sleep(int milliseconds) = 0;
};

class TSecondInstance {
 public:
  TSecondInstance(TSetupState& s, IInstanceHost& host) : S(s), host_(host) {}

  // When the user chose an install action (0 in a silent run): true when
  // this instance goes on with the installation. False when a second
  // instance takes it over (started at once for action 0, posted for the
  // others) or the user declined to go on past Controlled Folder Access.
  bool BeginInstallation(int action);
  // Starts the elevated copy for `action` and waits; the setup then ends.
  void RelaunchElevated(int action);
  // Starts a second instance with `verb` and "/" + `instanceSwitch`, hides
  // the window while it runs, and afterwards, when the child left the
  // handshake of a finished installation for this installer file, runs the
  // completion action here.
  void RelaunchSetup(int action, const std::string& verb, const std::string& instanceSwitch);
  // True when the installation may go on in this instance. Decided once per
  // run: a later path that asks again (back and forth between the pages)
  // neither warns nor allows again.
  bool CheckControlledFolderAccess(int action);
  // Allows this program and the uninstaller, installs in a second instance
  // and then withdraws this program again (the uninstaller stays allowed).
  void AllowAndRelaunch(int action);

  // The elevated (or otherwise relaunched) side of the completion: what
  // the first instance is to open and start, under the installation's root.
  void WriteCompletionHandshake();
  // The first instance's side: a value the child left, deleted once read
  // ("" when there is none).
  std::string TakeHandshakeValue(const std::string& name);

 private:
  bool PassCfa();
  TSetupState& S;
  IInstanceHost& host_;
  bool cfaPassed_ = false;
};

}  // namespace stw
