// The command line of the setup program: argument 0 is the program itself,
// argument 1 the installer file that started it, the rest are switches in
// any order. These functions read the argument list as the platform gave it
// (quotes already removed) and take every other fact as an argument.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/FolderVariables.h"

namespace stw {

using Arguments = std::vector<std::string>;

// True when an argument from index 1 on is "-" or "/" followed by `name`,
// compared without regard to ASCII case ("-S", "/s" and "/S" are all "s").
bool HasSwitch(const Arguments& args, std::string_view name);

// The first argument from index 1 on that equals "/" + `name` without
// regard to ASCII case (the hyphen form is not recognised). Nothing when
// there is none; otherwise the next argument, or an empty text when the
// name stands last. The caller decides what counts as a value (a portable
// folder, for one, must not begin with "/").
std::optional<std::string> SlashArgument(const Arguments& args, std::string_view name);

// The folder for the temporary support files, always with a trailing
// backslash. `systemTemp` is the system's temporary folder (empty when that
// call failed), `programFolder` the folder of argument 0. "/temp" standing
// last selects the program folder, which keeps the support files next to
// the program when the caller asks for that with no folder to give;
// otherwise the first "/temp" pair on the command line wins.
std::string ChooseTempFolder(const Arguments& args, const std::string& systemTemp, const std::string& programFolder);

// The parameters for a second instance of the setup program: the installer
// file in quotes (its universal name when it lies on a mapped network
// drive, so that an elevated instance with other drive mappings finds it),
// "/" + `instanceSwitch` (elevate, cfainstall or cfatest), the switch of the
// start-page action (2 components, 3 advanced, 4 usercurrent, 5 userall;
// none for 0 and 1), then every argument from index 2 on except "/noadmin",
// which would make the second instance elevate again. Arguments with a
// space are quoted.
std::string RelaunchParameters(const std::string& universalSetupFile, const std::string& instanceSwitch, int action,
                               const Arguments& args);

// The start-page action a relaunched instance replays: the first present of
// userall (5), usercurrent (4), advanced (3) and components (2), else
// install (1).
int StartActionFromSwitches(const Arguments& args);

// Fixes the setup's folder variables for `userType` before the
// installation, in list order: each variable's own path goes through
// `expand` (its shared and font flags are not taken over: they stay as the
// setup registered them), then a "/NAME folder" argument overrides it
// ("/APPFOLDER D:\Apps\X" for "%APPFOLDER%"). The first equal argument
// among 1 to the next-to-last counts (a name standing last has no value
// and is ignored). Its value, without a trailing backslash, goes through
// `expand` too (it may begin with a variable, also one fixed before it),
// and the result becomes the variable's path only when `driveExists`
// accepts the root of its drive ("D:\" or "\\server\share\"); a result
// without a drive is ignored. Not for a portable installation, whose
// folders are all the portable folder.
void PrepareFolderVariables(const Arguments& args, FolderVariableList& folderVariables, uint8_t userType,
                            const std::function<std::string(const std::string&)>& expand,
                            const std::function<bool(const std::string&)>& driveExists);

}  // namespace stw
