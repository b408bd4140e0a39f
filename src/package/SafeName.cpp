#include "package/SafeName.h"

#include "base/Errors.h"
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
  if (base.size() == 4 && (StartsWith(base, "COM") || StartsWith(base, "LPT")) && base[3] >= '0' && base[3] <= '9')
    return "the name is a reserved device name";
  return {};
}

void CheckSupportFileName(const std::string& name, const char* what) {
  const std::string why = WhyUnsafeName(name);
  if (!why.empty())
    throw ESetupException("The setup package is damaged: the " + std::string(what) + " file name \"" + name +
                          "\" is not a plain file name (" + why + ").");
}

}  // namespace stw
