// The stream of the package's registry entries written from their tree
// (package/RegistryStream.h reads it back).
#pragma once
#include <string>
#include <vector>

#include "package/RegistryStream.h"

namespace stw {

// Writes the stream: per key its name, the whole-key mark, its values, its
// subkeys. Throws ESetupException naming the entry ("registry[0].keys[2]
// .values[1]: ...") when the setup would refuse it: an unknown root, a
// value without a name or without data, data on a log-only value, a name
// with a tab, a line break or a zero, a text longer than 65535 bytes, keys
// nested deeper than 64 levels; and a whole root to be removed.
std::string EncodeRegistryData(const std::vector<RegistryRootEntry>& roots);

}  // namespace stw
