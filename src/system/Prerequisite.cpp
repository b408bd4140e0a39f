#include "system/Prerequisite.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/Text.h"

namespace stw {

namespace {

struct RootName {
  std::string_view name;
  bool isAuto;
  RegRoot root;
};

// Tested in this order, each on the length of its own name.
constexpr RootName kRootNames[] = {
    {"HKEY_AUTO", true, RegRoot::CurrentUser},
    {"HKEY_CURRENT_USER", false, RegRoot::CurrentUser},
    {"HKEY_LOCAL_MACHINE", false, RegRoot::LocalMachine},
    {"HKEY_CLASSES_ROOT", false, RegRoot::ClassesRoot},
    {"HKEY_USERS", false, RegRoot::Users},
    {"HKEY_CURRENT_CONFIG", false, RegRoot::CurrentConfig},
};

// Splits "ROOT\subkey" into its root and subkey. The character after the
// root name is taken for the backslash without a look at it, as publishers'
// conditions have always been read; a key that is the bare root name is the
// root key itself.
bool SplitConditionKey(const std::string& key, RegRoot autoRoot, RegRoot& root, std::string& subkey) {
  for (const RootName& r : kRootNames) {
    if (key.size() < r.name.size() || !EqualsIgnoreAsciiCase(std::string_view(key).substr(0, r.name.size()), r.name))
      continue;
    root = r.isAuto ? autoRoot : r.root;
    subkey = key.size() > r.name.size() + 1 ? key.substr(r.name.size() + 1) : std::string();
    return true;
  }
  return false;
}

// A decimal integer with an optional sign and nothing else. Anything from
// -2147483648 to 4294967295 fits the 32 bits of a DWORD; a negative number
// stands for its two's-complement pattern, so "-1" matches 0xFFFFFFFF.
std::optional<uint32_t> ParseConditionNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > 0xFFFFFFFFull) return std::nullopt;
  }
  if (negative) {
    if (n > 0x80000000ull) return std::nullopt;
    return static_cast<uint32_t>(0x100000000ull - n);
  }
  return static_cast<uint32_t>(n);
}

bool DataMatches(const RegValue& v, const std::string& data) {
  if (v.kind == RegValue::Dword) {
    const std::optional<uint32_t> n = ParseConditionNumber(data);
    return n && *n == v.dword;
  }
  // A binary value is compared byte for byte as if it were text.
  const bool isText = v.kind == RegValue::String || v.kind == RegValue::ExpandString;
  return AsciiLower(isText ? v.text : v.bytes) == AsciiLower(data);
}

bool RegistryPartHolds(IRegistry& reg, const T3rdParty& p, RegRoot autoRoot) {
  RegRoot root;
  std::string subkey;
  if (!SplitConditionKey(p.ConditionKey, autoRoot, root, subkey)) return false;
  if (!reg.KeyExists(root, subkey, RegView::Default)) return false;
  if (p.ConditionValue.empty()) return true;
  const std::optional<RegValue> v = reg.QueryValue(root, subkey, p.ConditionValue, RegView::Default);
  // The value is read into a fixed buffer; one that does not fit is a
  // failed read, whatever it holds.
  if (!v || v->bytes.size() > kConditionValueBufferSize) return false;
  return p.ConditionData.empty() || DataMatches(*v, p.ConditionData);
}

}  // namespace

bool PrerequisiteConditionHolds(IRegistry& reg, const T3rdParty& p, RegRoot autoRoot,
                                const std::function<std::string(const std::string&)>& expandFolderPath,
                                const std::function<bool(const std::string&)>& fileExists) {
  if (!p.ConditionKey.empty() && !RegistryPartHolds(reg, p, autoRoot)) return false;
  if (p.ConditionFile.empty()) return true;
  return fileExists(expandFolderPath(p.ConditionFile));
}

// msiexec is started by its full path in the system folder, and that path,
// not the bare word, is the command line's first word. Started by name, the
// system would look in the installer's own folder first, and a program
// planted there under that name would run with the installer's rights.
std::string PrerequisiteCommandLine(const std::string& path, const std::string& expandedParams, bool silent,
                                    const std::string& systemFolder, std::string& program) {
  if (EndsWith(AsciiLower(path), ".msi")) {
    program = WithTrailingBackslash(systemFolder) + "msiexec.exe";
    return "\"" + program + "\" /i \"" + path + "\" " + (silent ? "/qn " : "") + expandedParams;
  }
  program = path;
  return "\"" + path + "\" " + expandedParams;
}

}  // namespace stw
