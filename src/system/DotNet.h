// The .NET Framework requirement of a setup: whether an accepted version is
// installed, the name of the version to ask the user for, and where the
// download link points. Pure functions: the registry comes in as an argument.
#pragma once
#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace stw {

// Bits of the setup's accepted versions; any one of them suffices.
enum DotNetVersionBit : uint8_t {
  kDotNet10 = 1 << 0,
  kDotNet11 = 1 << 1,
  kDotNet20 = 1 << 2,
  kDotNet30 = 1 << 3,
  kDotNet35 = 1 << 4,
  kDotNet4x = 1 << 5,
};

// The highest 4.x level that has a release number ("4.8.1").
constexpr uint8_t kDotNetMaxLevel = 11;

// The smallest "Release" number of the 4.x key that satisfies `level`
// (1 "4.5" to 11 "4.8.1"); 0 for level 0, which needs no release number,
// and for a level above 11, which no machine reaches.
uint32_t DotNetReleaseThreshold(uint8_t level);

// Whether an accepted version is installed: reads the framework's own setup
// keys under the local machine in the default view, newest version first,
// and stops at the first one found. `level` is the minimum 4.x release.
// Nothing is written and a key or value that cannot be read, or that holds
// the wrong type, only means that version is missing.
bool IsDotNetPresent(IRegistry& reg, uint8_t versions, uint8_t level);

// The version shown to the user: the 4.x level's name when 4.x is accepted,
// otherwise the newest accepted older version; "?.?" when there is none.
std::string DotNetVersionName(uint8_t versions, uint8_t level);

// The target of the download link for `url`.
std::string DotNetLinkTarget(const std::string& url, const std::string& versionName);

}  // namespace stw
