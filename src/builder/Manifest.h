// Reading a package manifest (JSON) into a PackageManifest, and the JSON
// view of a package that `inspect` prints.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "builder/PackageBuilder.h"
#include "package/Definition.h"

namespace stw {

// `baseDir` resolves relative source paths. Throws ESetupException naming
// the key that is wrong.
PackageManifest ManifestFromJson(const nlohmann::json& j, const std::string& baseDir);
PackageManifest LoadManifest(const std::string& path);

// Everything the reader read, under the names the setup uses.
nlohmann::json DefinitionToJson(const TSetupPackage& pkg, const TSetupDefinition& def);

// Day number (days since 1899-12-30) of a date "YYYY-MM-DD".
int32_t DayNumberFromIso(const std::string& iso);
std::string IsoFromDayNumber(int32_t day);

}  // namespace stw
