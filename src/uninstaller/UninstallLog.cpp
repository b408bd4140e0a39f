#include "uninstaller/UninstallLog.h"

#include <cctype>
#include <memory>

#include "base/Text.h"
#include "package/SafeName.h"
#include "platform/WholeFile.h"

namespace stw {

namespace {

constexpr const char* kSectionEnd = "%%%";

// The offset of the first byte that does not belong to well-formed UTF-8
// (overlong forms, surrogates and code points above U+10FFFF included), or
// npos. The log is written as UTF-8; text that is not cannot have come
// from the setup and would reach the system's wide-character calls
// changed.
size_t FirstInvalidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    char32_t cp, min;
    if ((c & 0xE0) == 0xC0) {
      n = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      n = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      n = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return i;
    }
    if (i + n > s.size()) return i;
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += n;
  }
  return std::string_view::npos;
}

std::string Quoted(std::string_view s) {
  // Long lines are cut in the message, which must stay readable in a box.
  std::string t(s.substr(0, 120));
  if (s.size() > 120) t += "...";
  return "\"" + t + "\"";
}

// The lines of the log with a cursor. Running past the end, and every
// other deviation from the layout, refuses the log.
class Lines {
 public:
  explicit Lines(std::vector<std::string> lines) : v_(std::move(lines)) {}

  size_t Remaining() const { return v_.size() - i_; }
  // The 1-based number of the line that Take returns next.
  size_t Number() const { return i_ + 1; }
  bool AtEnd() const { return i_ >= v_.size(); }
  const std::string& Peek() const { return v_[i_]; }

  // The next line, with `what` saying what is expected there should the
  // log end before it.
  const std::string& Take(const std::string& what) {
    if (i_ >= v_.size()) throw ELogRefused(v_.size() + 1, "the log ends where " + what + " was expected");
    return v_[i_++];
  }
  // The number of the line taken last.
  size_t Last() const { return i_; }

  // A decimal number from 0 to `max`.
  int TakeNumber(const std::string& what, int max) {
    const std::string& line = Take(what);
    const size_t n = Last();
    if (line.empty() || line.size() > 9) throw ELogRefused(n, "expected " + what + ", found " + Quoted(line));
    int v = 0;
    for (char c : line) {
      if (c < '0' || c > '9') throw ELogRefused(n, "expected " + what + ", found " + Quoted(line));
      v = v * 10 + (c - '0');
    }
    if (v > max) throw ELogRefused(n, what + " " + line + " is out of range");
    return v;
  }

 private:
  std::vector<std::string> v_;
  size_t i_ = 0;
};

// Splits the content into lines ended by CR LF or LF (a final line may
// lack its end). Any other control character, a lone CR among them,
// refuses the log: no line of it may hold one, and a NUL would cut a path
// short in the system's calls. Tabs are left to the records to judge.
std::vector<std::string> SplitLogLines(std::string_view content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = content.size();
    std::string_view line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (const char ch : line) {
      const auto c = static_cast<unsigned char>(ch);
      if ((c < 0x20 && c != '\t') || c == 0x7F)
        throw ELogRefused(lines.size() + 1, "the line holds a control character (code " + std::to_string(c) + ")");
    }
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

bool IsRootName(const std::string& upper) {
  return upper == "HKEY_AUTO" || upper == "HKEY_CLASSES_ROOT" || upper == "HKEY_CURRENT_USER" ||
         upper == "HKEY_LOCAL_MACHINE" || upper == "HKEY_USERS";
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

void ReadHeader(Lines& l, TUninstallLog& log) {
  while (!l.AtEnd() && !l.Peek().empty() && l.Peek()[0] == ';') l.Take("");
  const std::string& format = l.Take("the log format version");
  const size_t n = l.Last();
  bool number = !format.empty() && format.size() <= 9;
  for (char c : format) number = number && c >= '0' && c <= '9';
  if (!number) throw ELogRefused(n, "expected the log format version, found " + Quoted(format));
  if (std::stoi(format) != kUninstallLogFormat)
    throw ELogRefused(n, "the log is of format " + format + "; this uninstaller reads logs of format " +
                             std::to_string(kUninstallLogFormat) + " only");
  const std::string& kind = l.Take("the user type");
  log.UserType = kind == "CURRENT" ? 2 : kind == "ADMIN" ? 6 : 1;
  log.AppName = l.Take("the application name");
  auto notADate = [&] {
    return ELogRefused(l.Last(), "the release date " + std::to_string(log.Year) + "-" +
                                     std::to_string(log.Month) + "-" + std::to_string(log.Day) + " is not a date");
  };
  log.Year = l.TakeNumber("the year of the release", 9999);
  if (log.Year < 1) throw notADate();
  log.Month = l.TakeNumber("the month of the release", 12);
  if (log.Month < 1) throw notADate();
  log.Day = l.TakeNumber("the day of the release", 31);
  if (log.Day < 1 || log.Day > DaysInMonth(log.Year, log.Month)) throw notADate();
  log.Publisher = l.Take("the publisher");
  log.ProductKey = l.Take("the product key");
  // It names a registry value and the product's Uninstall key: a
  // backslash would reach another key.
  if (log.ProductKey.empty() || log.ProductKey.find_first_of("\\\t") != std::string::npos)
    throw ELogRefused(l.Last(), "the product key " + Quoted(log.ProductKey) + " cannot name a registry key");
  log.Version = l.Take("the version");
  for (int i = 0; i < 7; ++i) log.Texts[i] = l.Take("interface string " + std::to_string(61 + i));
  log.LaunchCommand = l.Take("the launch command");

  // A count is believed only as far as the lines it announces exist, so
  // that a damaged count cannot make the reader reserve or loop for more.
  const int folders = l.TakeNumber("the number of folder variables", 100000);
  if (static_cast<size_t>(folders) * 3 > l.Remaining())
    throw ELogRefused(l.Last(), "the " + std::to_string(folders) + " folder variables run past the end of the log");
  for (int i = 0; i < folders; ++i) {
    TUninstallLog::Folder f;
    f.Name = l.Take("the name of a folder variable");
    const bool named = f.Name.size() >= 3 && f.Name.front() == '%' && f.Name.back() == '%' &&
                       f.Name.find_first_of("%\\\t", 1) == f.Name.size() - 1;
    if (!named) throw ELogRefused(l.Last(), Quoted(f.Name) + " is not the name of a folder variable");
    f.Caption = l.Take("the caption of a folder variable");
    std::string value = l.Take("the folder of " + f.Name);
    if (!value.empty() && value[0] == '*') {
      f.Flag = true;
      value.erase(0, 1);
    }
    if (value.size() > 3 && value.back() == '\\') value.pop_back();
    if (!value.empty()) {
      const std::string why = WhyNotFullLocalPath(value, true);
      if (!why.empty()) throw ELogRefused(l.Last(), "the folder of " + f.Name + " " + Quoted(value) + " " + why);
    }
    f.Path = value;
    log.Folders.push_back(std::move(f));
  }
  const int components = l.TakeNumber("the number of components", 100000);
  if (static_cast<size_t>(components) * 2 > l.Remaining())
    throw ELogRefused(l.Last(), "the " + std::to_string(components) + " components run past the end of the log");
  for (int i = 0; i < components; ++i) {
    TUninstallLog::Component c;
    c.Name = l.Take("the name of a component");
    const std::string& flags = l.Take("the flags of component " + c.Name);
    if (flags != "" && flags != "S" && flags != "R" && flags != "SR")
      throw ELogRefused(l.Last(), "the flags of component " + c.Name + " " + Quoted(flags) +
                                      " are none of \"\", \"S\", \"R\" and \"SR\"");
    c.Selected = flags.find('S') != std::string::npos;
    c.Required = flags.find('R') != std::string::npos;
    log.Components.push_back(std::move(c));
  }
}

// Lines of full local paths up to the section's end.
void ReadPaths(Lines& l, std::vector<std::string>& out, const std::string& what) {
  for (;;) {
    const std::string& line = l.Take(what + " or the section's end (%%%)");
    if (line == kSectionEnd) return;
    const std::string why = WhyNotFullLocalPath(line);
    if (!why.empty()) throw ELogRefused(l.Last(), "the path " + Quoted(line) + " " + why);
    out.push_back(line);
  }
}

void ReadRegistry(Lines& l, TUninstallLog& log) {
  for (;;) {
    const std::string& line = l.Take("a registry value or the section's end (%%%)");
    const size_t n = l.Last();
    if (line == kSectionEnd) return;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) throw ELogRefused(n, "the registry line " + Quoted(line) + " has no tab");
    if (line.find('\t', tab + 1) != std::string::npos)
      throw ELogRefused(n, "the registry line " + Quoted(line) + " has more than one tab");
    const std::string path = line.substr(0, tab), name = line.substr(tab + 1);
    TUninstallLog::RegistryEntry e;
    e.Line = n;
    e.Text = line;
    const size_t slash = path.find('\\');
    e.Root = AsciiUpper(path.substr(0, slash));
    if (!IsRootName(e.Root)) throw ELogRefused(n, "the registry line " + Quoted(line) + " names no known root");
    if (slash != std::string::npos) {
      e.Key = path.substr(slash + 1);
      // Only the backslash separates keys; an empty part would name
      // another key than the one the setup wrote.
      size_t start = 0;
      for (;;) {
        const size_t end = e.Key.find('\\', start);
        const size_t stop = end == std::string::npos ? e.Key.size() : end;
        if (stop == start) throw ELogRefused(n, "the registry key " + Quoted(path) + " has an empty part");
        if (end == std::string::npos) break;
        start = end + 1;
      }
    }
    if (name == "*") {
      if (e.Key.empty()) throw ELogRefused(n, "the registry line " + Quoted(line) + " names a whole root");
      e.kind = TUninstallLog::RegistryEntry::WholeKey;
    } else if (name == "(Default)" || name.empty()) {
      e.kind = TUninstallLog::RegistryEntry::DefaultValue;
    } else {
      e.Name = name;
    }
    log.Registry.push_back(std::move(e));
  }
}

// An extension or a verb names one key below the classes: a backslash
// would reach any other key there.
bool NamesOneKey(const std::string& name) {
  return !name.empty() && name.find_first_of("\\\t") == std::string::npos;
}

void ReadFileTypes(Lines& l, TUninstallLog& log) {
  for (;;) {
    const std::string& ext = l.Take("a file type or the section's end (%%%)");
    if (ext == kSectionEnd) return;
    if (ext.size() < 2 || ext[0] != '.' || !NamesOneKey(ext) || ext == kSectionEnd)
      throw ELogRefused(l.Last(), Quoted(ext) + " is not a file extension");
    TUninstallLog::FileType t;
    t.Extension = ext;
    const std::string start = "the association record of " + ext;
    auto field = [&](const char* what) {
      const std::string& line = l.Take(what + (" of " + ext));
      if (line == kSectionEnd) throw ELogRefused(l.Last(), start + " ends before its " + what);
      return line;
    };
    t.PreviousDescription = field("previous description");
    t.Description = field("description");
    t.PreviousIcon = field("previous icon");
    t.Icon = field("icon");
    for (;;) {
      const std::string& verb = l.Take("a verb of " + ext + " or the record's end (%)");
      if (verb == "%") break;
      if (verb == kSectionEnd) throw ELogRefused(l.Last(), start + " has no closing \"%\"");
      if (!NamesOneKey(verb)) throw ELogRefused(l.Last(), Quoted(verb) + " is not a verb of " + ext);
      TUninstallLog::Verb v;
      v.Name = verb;
      v.PreviousCommand = field("previous command");
      v.Command = field("command");
      t.Verbs.push_back(std::move(v));
    }
    log.FileTypes.push_back(std::move(t));
  }
}

}  // namespace

const std::string& TUninstallLog::Text(int number) const {
  static const std::string none;
  return number >= 61 && number <= 67 ? Texts[static_cast<size_t>(number - 61)] : none;
}

std::string WhyNotFullLocalPath(std::string_view path, bool allowRoot) {
  const bool drive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
  if (!drive || (path.size() > 2 && path[2] != '\\'))
    return "is not a full local path (a drive letter, a colon and a backslash first)";
  if (path.size() <= 3) return allowRoot ? "" : "is a drive's root";
  size_t start = 3;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty()) return "has an empty part (two backslashes in a row, or one at the end)";
    // Plain names only: no "." or "..", no device name, no stream (a
    // colon), no trailing dot or space that Windows would strip.
    const std::string why = WhyUnsafeName(part);
    if (!why.empty()) return "has the part " + Quoted(part) + " that is not a plain name (" + why + ")";
    start = end + 1;
  }
  return "";
}

TUninstallLog ParseUninstallLog(std::string_view content) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  if (content.empty()) throw ELogRefused(0, "the log is empty");
  const size_t bad = FirstInvalidUtf8(content);
  if (bad != std::string_view::npos) {
    size_t line = 1;
    for (size_t i = 0; i < bad; ++i) line += content[i] == '\n';
    throw ELogRefused(line, "the line is not UTF-8 text");
  }
  Lines l(SplitLogLines(content));
  TUninstallLog log;
  ReadHeader(l, log);
  ReadPaths(l, log.Files, "an installed file");
  ReadRegistry(l, log);
  ReadFileTypes(l, log);
  ReadPaths(l, log.Registrations, "a registered file");
  while (!l.AtEnd()) {
    const std::string& line = l.Take("");
    if (!line.empty()) throw ELogRefused(l.Last(), "text after the last section: " + Quoted(line));
  }
  return log;
}

TUninstallLog ReadUninstallLog(IFileSystem& fs, const std::string& path) {
  const std::optional<std::string> bytes = ReadFileWhole(fs, path, kMaxUninstallLogBytes);
  if (!bytes)
    throw ELogRefused(0, "the log cannot be read whole (it is missing, unreadable or larger than " +
                             std::to_string(kMaxUninstallLogBytes >> 20) + " MiB)");
  return ParseUninstallLog(*bytes);
}

}  // namespace stw
