#include "package/SafeName.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/Errors.h"
#include "base/SortedStrings.h"
#include "base/Text.h"

namespace stw {

std::string WhyUnsafeName(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name == "." || name == "..") return "the name is a reference to a folder";
  for (unsigned char c : name) {
    if (c < 32) return "the name contains a control character";
    if (c == '\\' || c == '/') return "the name contains a folder separator";
    if (c == ':') return "the name contains a colon";
    if (c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
      return "the name contains a character that Windows does not allow";
  }
  if (name.back() == '.' || name.back() == ' ') return "the name ends with a dot or a space";
  std::string base = AsciiUpper(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* d : kDevices)
    if (base == d) return "the name is a reserved device name";
  // COM0-9 and LPT0-9, and with the superscript digits 1 to 3 (U+00B9,
  // U+00B2, U+00B3 in UTF-8), which Windows takes for the same devices.
  const bool port = StartsWith(base, "COM") || StartsWith(base, "LPT");
  if (port && base.size() == 4 && base[3] >= '0' && base[3] <= '9') return "the name is a reserved device name";
  if (port && base.size() == 5 && base[3] == '\xC2' && (base[4] == '\xB9' || base[4] == '\xB2' || base[4] == '\xB3'))
    return "the name is a reserved device name";
  return {};
}

std::optional<std::string> NormalisedCompletePath(std::string_view path) {
  std::string p(path);
  for (char& c : p)
    if (c == '/') c = '\\';
  std::string root;
  size_t pos;
  if (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && p[2] == '\\') {
    root = p.substr(0, 2);
    pos = 3;
  } else if (p.size() > 2 && p[0] == '\\' && p[1] == '\\' && p[2] != '\\') {
    // \\server\share: both names plain, and no "\\?\" or "\\.\" device form.
    const size_t serverEnd = p.find('\\', 2);
    if (serverEnd == std::string::npos) return std::nullopt;
    const size_t shareEnd = std::min(p.find('\\', serverEnd + 1), p.size());
    const std::string server = p.substr(2, serverEnd - 2), share = p.substr(serverEnd + 1, shareEnd - serverEnd - 1);
    if (!WhyUnsafeName(server).empty() || !WhyUnsafeName(share).empty()) return std::nullopt;
    root = p.substr(0, shareEnd);
    pos = shareEnd;
  } else {
    return std::nullopt;
  }
  std::vector<std::string> parts;
  while (pos < p.size()) {
    size_t end = p.find('\\', pos);
    if (end == std::string::npos) end = p.size();
    const std::string part = p.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
      continue;
    }
    if (!WhyUnsafeName(part).empty()) return std::nullopt;
    parts.push_back(part);
  }
  if (parts.empty()) return root.size() == 2 ? root + "\\" : root;
  for (const std::string& part : parts) root += "\\" + part;
  return root;
}

bool IsBelowFolder(std::string_view path, std::string_view folder) {
  while (!folder.empty() && folder.back() == '\\') folder.remove_suffix(1);
  return path.size() > folder.size() + 1 && path[folder.size()] == '\\' &&
         SameTextIgnoreCase(std::string(path.substr(0, folder.size())), std::string(folder));
}

void CheckSupportFileName(const std::string& name, const char* what) {
  const std::string why = WhyUnsafeName(name);
  if (!why.empty())
    throw ESetupException("The setup package is damaged: the " + std::string(what) + " file name \"" + name +
                          "\" is not a plain file name (" + why + ").");
}

}  // namespace stw
