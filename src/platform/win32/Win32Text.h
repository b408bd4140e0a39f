// The system's letter case for the comparisons of names (base/Text.h).
#pragma once

namespace stw {
// Installs the user's locale's case mapping; called first thing by each
// Windows program, before any thread starts.
void UseSystemCaseMapping();
}  // namespace stw
