#include "wizard/EarlierInstallation.h"

#include <cctype>
#include <optional>

#include "base/Text.h"
#include "package/SafeName.h"

namespace stw {

namespace {

std::optional<int64_t> ParseInt(const std::string& s) {
  if (s.empty() || s.size() > 12) return std::nullopt;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Days since 1899-12-30 of a civil date; nullopt for an impossible date.
std::optional<int64_t> DayNumber(int64_t y, int64_t m, int64_t d) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
  return DayNumberFromDate(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
}

// The lines of the log with a cursor; running past the end ends reading.
struct Lines {
  std::vector<std::string> v;
  size_t i = 0;
  bool More() const { return i < v.size(); }
  std::optional<std::string> Next() {
    if (i >= v.size()) return std::nullopt;
    return v[i++];
  }
  std::optional<int64_t> NextInt() {
    const auto line = Next();
    return line ? ParseInt(*line) : std::nullopt;
  }
};

std::optional<std::string> ReadRegistryLogPath(TSetupState& s) {
  auto read = [&](RegRoot root, RegView view) -> std::string {
    std::optional<std::string> v = s.P.Reg.ReadString(root, kHandshakeKey, s.Def.ProductKey, view);
    if (!v) return {};
    // The value is read into a buffer of 256 characters.
    std::u16string u = Utf8ToUtf16(*v);
    if (u.size() > 256) u.resize(256);
    return Utf16ToUtf8(u);
  };
  std::string path = read(RegRoot::CurrentUser, RegView::Default);
  s.LogPathFromCurrentUser = !path.empty();
  if (path.empty()) path = read(RegRoot::LocalMachine, RegView::Default);
  const int major = s.P.Sys.MajorVersion(), minor = s.P.Sys.MinorVersion();
  if (path.empty() && (major > 5 || (major == 5 && minor >= 1))) path = read(RegRoot::LocalMachine, RegView::View64);
  if (path.empty()) return std::nullopt;
  return path;
}

std::string ReadWholeFile(IFileSystem& fs, const std::string& path) {
  std::unique_ptr<IReadFile> f = fs.OpenRead(path);
  if (!f) return {};
  const uint64_t size = f->Size();
  // A log is text of at most a few megabytes; a larger file is not a log.
  if (size > (256u << 20)) return {};
  std::string s(static_cast<size_t>(size), '\0');
  s.resize(f->Read(s.data(), s.size()));
  if (StartsWith(s, "\xEF\xBB\xBF")) s.erase(0, 3);
  return s;
}

}  // namespace

void ComputeRequiredComponents(std::vector<TComponentData>& c) {
  for (auto& x : c) x.Required = false;
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t i = c.size(); i-- > 0;) {
      if (!(c[i].Selected || c[i].Required)) continue;
      for (size_t k = c[i].Dependencies.size(); k-- > 0;) {
        const uint8_t d = c[i].Dependencies[k];
        if (d < c.size() && !c[d].Required) {
          c[d].Required = true;
          changed = true;
        }
      }
    }
  }
}

TEarlierVerdict DetectEarlierInstallation(TSetupState& s) {
  TEarlierVerdict verdict;
  TSetupDefinition& d = s.Def;
  s.PreviousFound = false;
  if (d.UpgradeOnly()) s.UpgradeBlocked = true;
  auto blocked = [&] {
    if (!s.UpgradeBlocked) return;
    verdict.kind = TEarlierVerdict::Blocked;
    for (size_t i = 0; i < d.UpgradeMessages.size() && i < 3; ++i) verdict.NoteLines.push_back(d.UpgradeMessages[i]);
  };

  const std::optional<std::string> found = ReadRegistryLogPath(s);
  s.LogPath = found ? *found : "";
  if (s.LogPath.empty() || !s.P.Fs.FileExists(s.LogPath)) {
    s.LogPath.clear();
    blocked();
    return verdict;
  }
  Lines l;
  l.v = SplitLines(ReadWholeFile(s.P.Fs, s.LogPath));
  l.i = 1;
  while (l.More() && (l.v[l.i].empty() || l.v[l.i][0] == ';')) ++l.i;
  const auto format = l.NextInt();
  if (!format) {
    blocked();
    return verdict;
  }
  if (*format % 2 == 0) {
    std::string ignored;  // a log that cannot be written back is still read
    WriteLinesWhole(s.P.Fs, s.LogPath, l.v, ignored);
  } else {
    // Only the even formats are UTF-8: an odd one was written in the
    // system's ANSI code page, and its paths keep their letters only when
    // read in it.
    for (std::string& line : l.v) line = s.P.Sys.AnsiToUtf8(line);
  }
  uint8_t userType = 1;
  if (*format >= 3) {
    const std::string kind = l.Next().value_or("");
    userType = kind == "CURRENT" ? 2 : kind == "ADMIN" ? 6 : 1;
  }
  l.Next();  // the application name
  const auto y = l.NextInt(), m = l.NextInt(), day = l.NextInt();
  const std::optional<int64_t> date = (y && m && day) ? DayNumber(*y, *m, *day) : std::nullopt;
  // The publisher's line stands between the date and the product key.
  l.Next();
  const auto product = l.Next(), version = l.Next();
  if (!date || !version) {
    blocked();
    return verdict;
  }
  const int64_t released = *date;
  const std::string name = version->empty() ? *product : *product + " " + *version;
  l.i += 7 + (*format >= 3 ? 1 : 0);

  if (d.UpgradeOnly() && d.MinimumPreviousDate > released) {
    // Too old to be updated by this package: stays refused.
  } else {
    const std::string first = FormatPattern(s.IString(kStrEarlierInstalled), {name});
    if (d.ReleaseDate > released) {
      verdict.kind = TEarlierVerdict::Newer;
      verdict.NoteLines = {first, s.IString(kStrNewer1), s.IString(kStrNewer2)};
    } else if (d.ReleaseDate == released) {
      verdict.kind = TEarlierVerdict::Same;
      verdict.NoteLines = {first, s.IString(kStrSameRelease)};
      if (d.HasOptionalComponents) {
        verdict.NoteLines.push_back(s.IString(kStrSameComponents1));
        verdict.NoteLines.push_back(s.IString(kStrSameComponents2));
      }
    } else {
      verdict.kind = TEarlierVerdict::Older;
      verdict.NoteLines = {first, s.IString(kStrOlder1), s.IString(kStrOlder2)};
    }
    s.UpgradeBlocked = false;
  }
  s.PreviousFound = true;
  d.UserType = userType;

  // Taking over the earlier choices; a line that does not fit the layout
  // ends this part, keeping what was taken so far.
  [&] {
    const auto folders = l.NextInt();
    if (!folders) return;
    for (int64_t i = 0; i < *folders; ++i) {
      const auto var = l.Next(), caption = l.Next(), value = l.Next();
      if (!value) return;
      const std::string upper = UpperCase(*var);
      TSpecialFolder* f = FindFolderVariable(d.FolderVariables, upper);
      if (!f) {
        d.FolderVariables.emplace_back(upper, TSpecialFolder{*caption, "", "", false, true});
        f = &d.FolderVariables.back().second;
      }
      if (value->empty()) continue;
      std::string v = *value;
      if (v[0] == '*') {
        v.erase(0, 1);
        f->Shared = true;
      }
      if (!v.empty() && v.back() == '\\') v.pop_back();
      (d.UserType == 1 ? f->AllUsersPath : f->CurrentUserPath) = v;
    }
    const auto comps = l.NextInt();
    if (!comps) return;
    for (int64_t i = 0; i < *comps; ++i) {
      const auto cname = l.Next(), flagsLine = l.Next();
      if (!flagsLine) return;
      const std::string flags = AsciiUpper(*flagsLine);
      for (size_t k = d.Components.size(); k-- > 0;) {
        TComponentData& c = d.Components[k];
        if (!SameTextIgnoreCase(c.Name, *cname)) continue;
        if (c.Optional) c.Selected = flags.find('S') != std::string::npos;
        c.PreviouslyInstalled = flags.find_first_of("SR") != std::string::npos;
        break;
      }
    }
    ComputeRequiredComponents(d.Components);
    // The log is a text anyone with write access to its folder may edit:
    // a line counts only in its plain form (separators, "." and ".."
    // resolved), so that the installation can tell which folder it lies in
    // before it ever deletes it as obsolete.
    for (auto line = l.Next(); line && *line != "%%%"; line = l.Next()) {
      const std::optional<std::string> plain = NormalisedCompletePath(*line);
      if (plain && s.P.Fs.FileExists(*plain)) s.PreviousFiles.Add(*plain);
    }
    for (auto line = l.Next(); line && *line != "%%%"; line = l.Next()) s.PreviousRegistryValues.Add(*line);
    for (auto ext = l.Next(); ext && *ext != "%%%"; ext = l.Next()) {
      const auto prevDesc = l.Next(), desc = l.Next(), prevIcon = l.Next(), icon = l.Next();
      if (!icon) return;
      TFileType* type = nullptr;
      for (auto& [display, ft] : d.FileTypes)
        if (SameTextIgnoreCase(ft.Extension, *ext)) type = &ft;
      if (type) {
        type->Install = true;
      } else {
        TFileType added;
        added.Extension = *ext;
        added.PreviousOnly = true;
        d.FileTypes.emplace_back(*ext, std::move(added));
        type = &d.FileTypes.back().second;
      }
      type->FromPreviousLog = true;
      type->PreviousDescription = *prevDesc;
      type->PreviousIcon = *prevIcon;
      type->PreviousRecord = type->Extension + "\r\n" + *prevDesc + "\r\n" + *desc + "\r\n" + *prevIcon + "\r\n" + *icon;
      for (auto verb = l.Next(); verb && *verb != "%"; verb = l.Next()) {
        const auto prevCmd = l.Next(), cmd = l.Next();
        if (!cmd) return;
        const std::string lower = LowerCase(*verb);
        TFileTypeAction* action = nullptr;
        for (auto& a : type->Actions)
          if (a.Verb == lower) action = &a;
        if (!action) {
          type->Actions.push_back(TFileTypeAction{});
          action = &type->Actions.back();
          action->Verb = lower;
          action->PreviousOnly = true;
        }
        action->FromPreviousLog = true;
        action->PreviousCommand = *prevCmd;
        action->PreviousRecord = action->Verb + "\r\n" + *prevCmd + "\r\n" + *cmd;
      }
    }
  }();
  blocked();
  return verdict;
}

}  // namespace stw
