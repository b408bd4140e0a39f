#include "system/DotNet.h"

#include <array>
#include <optional>
#include <string_view>

#include "base/Text.h"

namespace stw {

namespace {

constexpr char kNdp[] = "Software\\Microsoft\\NET Framework Setup\\NDP\\";

// Indexed by level; level 0 ("4.0") needs no release number. Level 4 takes
// 393273, below the 393295 that some tables give for 4.6, so that every
// build of 4.6 counts, the earliest included.
constexpr std::array<uint32_t, kDotNetMaxLevel + 1> kReleaseThresholds = {
    0, 378389, 378675, 379893, 393273, 394254, 394802, 460798, 461308, 461808, 528040, 533320};

constexpr std::array<const char*, kDotNetMaxLevel + 1> kLevelNames = {"4.0",   "4.5", "4.5.1", "4.5.2", "4.6", "4.6.1",
                                                                      "4.6.2", "4.7", "4.7.1", "4.7.2", "4.8", "4.8.1"};

// A DWORD value; nothing when the key or the value cannot be read or the
// value is of another type (a text "1" does not count as installed).
std::optional<uint32_t> ReadMachineDword(IRegistry& reg, const std::string& key, const char* name) {
  const std::optional<RegValue> v = reg.QueryValue(RegRoot::LocalMachine, key, name, RegView::Default);
  if (!v || v->kind != RegValue::Dword) return std::nullopt;
  return v->dword;
}

bool DwordIsOne(IRegistry& reg, const std::string& key, const char* name) {
  return ReadMachineDword(reg, key, name) == 1u;
}

bool HasDotNet4x(IRegistry& reg, uint8_t level) {
  const std::string key = std::string(kNdp) + "v4\\Client";
  if (!DwordIsOne(reg, key, "Install")) return false;
  if (level == 0) return true;
  const std::optional<uint32_t> release = ReadMachineDword(reg, key, "Release");
  if (!release) return false;
  // Every level up to the one asked for must be reached; the thresholds
  // rise, so this is the asked level's, and a level past the table fails.
  for (unsigned l = 1; l <= level; ++l)
    if (l > kDotNetMaxLevel || *release < kReleaseThresholds[l]) return false;
  return true;
}

// 1.0 left no DWORD behind: its policy key holds the build range as text.
// The text is read into room for 10 characters: a longer one is a failed
// read, not a text to compare.
bool HasDotNet10(IRegistry& reg) {
  const std::optional<RegValue> v =
      reg.QueryValue(RegRoot::LocalMachine, "Software\\Microsoft\\.NETFramework\\policy\\v1.0", "Install");
  if (!v || (v->kind != RegValue::String && v->kind != RegValue::ExpandString)) return false;
  return v->text.size() <= 10 && v->text == "3321-3705";
}

}  // namespace

uint32_t DotNetReleaseThreshold(uint8_t level) { return level <= kDotNetMaxLevel ? kReleaseThresholds[level] : 0; }

bool IsDotNetPresent(IRegistry& reg, uint8_t versions, uint8_t level) {
  if ((versions & kDotNet4x) && HasDotNet4x(reg, level)) return true;
  if ((versions & kDotNet35) && DwordIsOne(reg, std::string(kNdp) + "v3.5", "Install")) return true;
  if ((versions & kDotNet30) && DwordIsOne(reg, std::string(kNdp) + "v3.0\\Setup", "InstallSuccess")) return true;
  if ((versions & kDotNet20) && DwordIsOne(reg, std::string(kNdp) + "v2.0.50727", "Install")) return true;
  if ((versions & kDotNet11) && DwordIsOne(reg, std::string(kNdp) + "v1.1.4322", "Install")) return true;
  if ((versions & kDotNet10) && HasDotNet10(reg)) return true;
  return false;
}

std::string DotNetVersionName(uint8_t versions, uint8_t level) {
  if (versions & kDotNet4x) return level <= kDotNetMaxLevel ? kLevelNames[level] : "?.?";
  if (versions & kDotNet35) return "3.5";
  if (versions & kDotNet30) return "3.0";
  if (versions & kDotNet20) return "2.0";
  if (versions & kDotNet11) return "1.1";
  if (versions & kDotNet10) return "1.0";
  return "?.?";
}

// The builder fills in its own download page, a page named dotnetfx.html,
// when the publisher gives no address. That page serves every version, so
// the link tells it in a "v" query which one this setup needs; any other
// address is the publisher's own and stays as given.
std::string DotNetLinkTarget(const std::string& url, const std::string& versionName) {
  const std::string_view address = std::string_view(url).substr(0, url.find('?'));
  const size_t slash = address.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? address : address.substr(slash + 1);
  if (!EqualsIgnoreAsciiCase(last, "dotnetfx.html")) return url;
  return url + "?v=" + versionName;
}

}  // namespace stw
