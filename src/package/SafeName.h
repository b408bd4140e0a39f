// Names that come from the package become parts of paths on the user's
// machine; these checks keep every such name inside its destination.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace stw {

// A single file or folder name: not empty, not "." or "..", no separator,
// drive colon or control character, no trailing dot or space, and not a
// reserved device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, COM and LPT
// with a superscript 1, 2 or 3, with or without an extension). Returns "" when safe, otherwise why not.
std::string WhyUnsafeName(std::string_view name);

// A complete path ("X:\..." or "\\server\share\...") in its plain form, or
// nullopt when it is not complete or not plain: "/" is read as "\",
// repeated separators are merged, "." segments dropped and ".." segments
// applied (nullopt when one climbs above the root), and every other
// segment must be a plain name (WhyUnsafeName), since Windows would strip
// a trailing dot or space and make ".. " a parent. No trailing backslash,
// but for a drive's root ("C:\").
std::optional<std::string> NormalisedCompletePath(std::string_view path);

// Whether plain path `path` lies below plain folder `folder` (both as
// NormalisedCompletePath gives them), without regard to case.
bool IsBelowFolder(std::string_view path, std::string_view folder);

// Raises ESetupException naming `what` when the name of a support file is
// not a plain file name.
void CheckSupportFileName(const std::string& name, const char* what);

}  // namespace stw
