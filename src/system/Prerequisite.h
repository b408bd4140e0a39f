// Prerequisite installers: whether a prerequisite is already on the
// machine, and the command line that runs its installer. Pure functions:
// the registry and the file system come in as arguments.
#pragma once
#include <functional>
#include <string>

#include "package/Definition.h"
#include "platform/Platform.h"

namespace stw {

// The largest value data the installed-condition reads; a larger value
// counts as unreadable.
constexpr size_t kConditionValueBufferSize = 522;

// Whether the installed-condition of `p` holds. The caller asks only when
// the prerequisite has one (`HasCondition`).
//
// `ConditionKey` names a key as "ROOT\subkey", ROOT one of HKEY_AUTO (the
// installation's own root, `autoRoot`), HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS and HKEY_CURRENT_CONFIG,
// in any case; the key must exist. With a `ConditionValue` that value must
// be readable, and with a `ConditionData` also equal to it: as a decimal
// number for a DWORD, as text ignoring ASCII case otherwise. An empty
// `ConditionKey` skips the registry. Then a `ConditionFile`, expanded by
// `expandFolderPath`, must exist according to `fileExists`. Only reads.
bool PrerequisiteConditionHolds(IRegistry& reg, const T3rdParty& p, RegRoot autoRoot,
                                const std::function<std::string(const std::string&)>& expandFolderPath,
                                const std::function<bool(const std::string&)>& fileExists);

// The command line that runs the installer at `path` with the already
// expanded parameters, and in `program` the file to start. A Windows
// Installer package (".msi") runs through the system folder's msiexec,
// quietly ("/qn") when `silent`; anything else runs itself.
std::string PrerequisiteCommandLine(const std::string& path, const std::string& expandedParams, bool silent,
                                    const std::string& systemFolder, std::string& program);

}  // namespace stw
