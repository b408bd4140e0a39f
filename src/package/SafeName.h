// Names that come from the package become parts of paths on the user's
// machine; these checks keep every such name inside its destination.
#pragma once
#include <string>
#include <string_view>

namespace stw {

// A single file or folder name: not empty, not "." or "..", no separator,
// drive colon or control character, no trailing dot or space, and not a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without
// an extension). Returns "" when safe, otherwise why not.
std::string WhyUnsafeName(std::string_view name);

// Raises ESetupException naming `what` when the name of a support file is
// not a plain file name.
void CheckSupportFileName(const std::string& name, const char* what);

}  // namespace stw
