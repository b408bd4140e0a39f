#include "package/Definition.h"

#include <algorithm>

#include "base/Text.h"
#include "package/SafeName.h"

namespace stw {

namespace {

// Folder trees nest as deep as the product's folders do; far deeper
// nesting is a damaged block, refused before it exhausts the stack.
constexpr int kMaxFolderDepth = 128;

[[noreturn]] void Damaged(const std::string& what) {
  throw ESetupException("The setup package is damaged: " + what + ".");
}

std::string Latin1ToUtf8(const std::string& s) {
  std::string out;
  for (unsigned char c : s) AppendUtf8(out, c);
  return out;
}

}  // namespace

TFontRecord ParseFontRecord(const std::string& b) {
  const auto* p = reinterpret_cast<const uint8_t*>(b.data());
  TFontRecord f;
  const size_t len = std::min<size_t>(p[0], 31);
  f.Name = Latin1ToUtf8(b.substr(1, len));
  f.Color = LoadI32(p + 32);
  f.Size = p[36];
  f.Style = p[37];
  f.Charset = p[38];
  return f;
}

void ApplyFontFallback(TFontRecord& font, int windowsMajorVersion) {
  if (font.Name == "Segoe UI" && windowsMajorVersion < 6) {
    font.Name = "Tahoma";
    if (font.Size >= 9) --font.Size;
  }
}

std::vector<std::string> SplitWindowList(const std::string& value, bool classes) {
  std::vector<std::string> out;
  const bool strict = !classes;
  const size_t n = value.find('\0') == std::string::npos ? value.size() : value.find('\0');
  auto at = [&](size_t i) -> unsigned char { return i < n ? static_cast<unsigned char>(value[i]) : 0; };
  auto blank = [&](size_t i) { return at(i) >= 1 && at(i) <= ' '; };
  size_t p = 0;
  if (!strict)
    while (blank(p)) ++p;
  while (at(p) != 0) {
    std::string s;
    if (at(p) == '"') {
      ++p;
      while (at(p) != 0) {
        if (at(p) == '"') {
          if (at(p + 1) == '"') {
            s.push_back('"');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        s.push_back(static_cast<char>(at(p++)));
      }
    } else {
      const size_t start = p;
      while ((strict ? at(p) != 0 : at(p) > ' ') && at(p) != ';') ++p;
      s = value.substr(start, p - start);
    }
    out.push_back(s);
    if (!strict)
      while (blank(p)) ++p;
    if (at(p) == ';') {
      if (at(p + 1) == 0) out.emplace_back();
      do {
        ++p;
      } while (!strict && blank(p));
    }
  }
  return out;
}

// ---------------------------------------------------------------- fields

std::string TSetupReader::NextField() {
  const std::u16string& t = def_.DefinitionText;
  ++def_.DefinitionPos;  // 1-based: now on the field's first character
  const size_t start = def_.DefinitionPos - 1;
  if (start >= t.size()) {
    def_.DefinitionPos = t.size() + 1;
    return {};
  }
  size_t end = t.find(u'\x0c', start);
  if (end == std::u16string::npos) end = t.size();  // last field without its end character
  def_.DefinitionPos = end + 1;
  return Utf16ToUtf8(t.substr(start, end - start));
}

uint8_t TSetupReader::ReadUserTypeCharacter() {
  ++def_.DefinitionPos;
  const size_t i = def_.DefinitionPos - 1;
  return i < def_.DefinitionText.size() ? static_cast<uint8_t>(def_.DefinitionText[i] & 0xFF) : 0;
}

// ---------------------------------------------------------------- sections 1 to 9

void TSetupReader::ReadFirstSections(const std::vector<std::string>& params) {
  pkg_.InterfaceStrings = SplitLines(pkg_.ReadPackageString("interface strings"));
  def_.DefinitionText = Utf8ToUtf16(pkg_.ReadPackageString("definition text"));
  def_.DefinitionPos = 0;

  def_.CfaOptions = pkg_.ReadU8("folder access options");
  if (def_.CfaOptions & 2) def_.CfaMessage = pkg_.ReadPackageString("folder access message");

  const uint8_t f = pkg_.ReadU8("section 4 flags");
  if (f & 32) pkg_.ReadPackageString("section 4 text");
  for (const uint8_t bit : {64, 128}) {
    if (!(f & bit)) continue;
    const int32_t n = pkg_.ReadI32("section 4 table count");
    if (n < 0 || static_cast<uint64_t>(n) * 20 + 8 > pkg_.DirectRemaining())
      Damaged("section 4 table count " + std::to_string(n) + " runs past the end of the package");
    pkg_.SkipDirect(8 + static_cast<int64_t>(n) * 20, "section 4 table");
  }

  def_.PortableMode = pkg_.ReadU8("portable mode");
  if (def_.PortableMode != 0) {
    def_.RemovableMarkerMode = pkg_.ReadU8("removable marker mode");
    def_.ShowAllDrivesOption = pkg_.ReadU8("show all drives option");
    def_.PortableFolder = pkg_.ReadPackageString("portable folder");
    for (size_t i = 0; i < params.size(); ++i) {
      if (!EqualsIgnoreAsciiCase(params[i], "/portable")) continue;
      def_.PortableMode = 2;
      if (i + 1 < params.size() && !StartsWith(params[i + 1], "/")) def_.PortableFolder = params[i + 1];
      break;
    }
  }

  pkg_.SkipDirect(68, "section 6");
  def_.ShowAdvanced = pkg_.ReadU8("advanced option");
  def_.PaintGradient = pkg_.ReadU8("gradient option");
  def_.FormFont = ParseFontRecord(pkg_.ReadRaw(kFontRecordSize, "window font"));
  def_.BackgroundEnabled = pkg_.ReadU8("background option");
  if (def_.BackgroundEnabled) {
    const std::string b = pkg_.ReadRaw(kBackgroundSettingsSize, "background settings");
    const auto* p = reinterpret_cast<const uint8_t*>(b.data());
    TBackgroundSettings& s = def_.BackgroundSettings;
    s.TopColor = LoadI32(p);
    s.BottomColor = LoadI32(p + 4);
    s.TopShadowColor = LoadI32(p + 8);
    s.BottomShadowColor = LoadI32(p + 12);
    s.ImageTransparent = p[16];
    s.TopShadow = p[17];
    s.BottomShadow = p[18];
    s.TopFont = ParseFontRecord(b.substr(19, kFontRecordSize));
    s.BottomFont = ParseFontRecord(b.substr(19 + kFontRecordSize, kFontRecordSize));
  }
}

// ---------------------------------------------------------------- welcome, folders, background

static int32_t ParseDayNumber(const std::string& s) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  if (i == s.size()) Damaged("the release date field \"" + s + "\" is not a whole number");
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9' || v > 100000000)
      Damaged("the release date field \"" + s + "\" is not a whole number");
    v = v * 10 + (s[i] - '0');
  }
  return static_cast<int32_t>(neg ? -v : v);
}

void TSetupReader::ReadWelcomeInformation(bool silent) {
  def_.DefinitionPos = 0;
  def_.Publisher = NextField();
  def_.WebAddress = NextField();
  def_.ProductKey = NextField();
  def_.SupportAddress = NextField();
  def_.Version = NextField();
  def_.ReleaseDate = ParseDayNumber(NextField());
  def_.PublisherWithAddress =
      def_.WebAddress.empty() ? def_.Publisher : def_.Publisher + " (" + def_.WebAddress + ")";
  def_.UninstallDisplayName = def_.Version.empty() ? def_.ProductKey : def_.ProductKey + " " + def_.Version;
  def_.AppName = def_.Publisher.empty() ? def_.UninstallDisplayName : def_.Publisher + " " + def_.UninstallDisplayName;
  pkg_.PublisherWithAddress = def_.PublisherWithAddress;

  def_.WelcomeLine = NextField();
  def_.ReadmeName = NextField();
  def_.LicenseName = NextField();
  def_.SupportDllName = NextField();
  def_.ExtraFileName = NextField();

  def_.HasReadme = false;
  if (!def_.ReadmeName.empty()) {
    if (silent) {
      pkg_.SkipSupportFile(def_.ReadmeName);
    } else {
      // A readme that cannot be extracted (an odd name included) only
      // costs the Readme button. Names are checked where a file is
      // written: a file that is only passed over can do no harm.
      if (!WhyUnsafeName(def_.ReadmeName).empty()) {
        pkg_.SkipSupportFile(def_.ReadmeName);
      } else {
        try {
          def_.ReadmeIndex = pkg_.ExtractSupportFile(def_.ReadmeName);
          def_.HasReadme = true;
        } catch (const ESetupException&) {
          def_.ReadmeIndex = -1;
        }
      }
    }
  }
  if (!def_.LicenseName.empty()) {
    if (def_.LicenseName[0] == '*') {
      def_.LicenseName.erase(0, 1);
      def_.LicenseStarred = true;
    }
    if (silent) {
      pkg_.SkipSupportFile(def_.LicenseName);
    } else {
      CheckSupportFileName(def_.LicenseName, "licence");
      def_.LicenseIndex = pkg_.ExtractSupportFile(def_.LicenseName);
    }
  }
  if (!def_.SupportDllName.empty()) {
    CheckSupportFileName(def_.SupportDllName, "support DLL");
    def_.SupportDllIndex = pkg_.ExtractSupportFile(def_.SupportDllName);
  }
  if (!def_.ExtraFileName.empty()) pkg_.SkipSupportFile(def_.ExtraFileName);
}

void TSetupReader::RegisterFolderDefaults(bool noDesktop) {
  def_.NoDesktop = noDesktop;
  def_.UserType = ReadUserTypeCharacter();
  static const char* const kNames[4] = {"%APPFOLDER%", "%APPCOMMONFOLDER%", "%APPMENU%", "%USERDATA%"};
  auto strip = [](std::string s) {
    if (!s.empty() && s.back() == '\\') s.pop_back();
    return s;
  };
  for (int i = 0; i < 4; ++i) {
    std::string all = NextField();
    std::string current = NextField();
    if (!(def_.UserType & 1)) all.clear();
    if (!(def_.UserType & 2)) current.clear();
    if (all.empty() && current.empty()) continue;
    TSpecialFolder f;
    f.Description = pkg_.IString(kStrFolderCaptionFirst + i);
    f.AllUsersPath = strip(all);
    f.CurrentUserPath = strip(current);
    f.Shared = (i == 1);
    def_.FolderVariables.emplace_back(kNames[i], f);
  }
}

void TSetupReader::ReadBackground(bool skipImage) {
  if (!def_.BackgroundEnabled) return;
  def_.BackgroundImage = NextField();
  def_.BackgroundTopText = NextField();
  def_.BackgroundBottomText = NextField();
  if (def_.BackgroundImage.empty()) return;
  if (skipImage) {
    pkg_.SkipSupportFile(def_.BackgroundImage);
  } else {
    CheckSupportFileName(def_.BackgroundImage, "background image");
    def_.BackgroundImageIndex = pkg_.ExtractSupportFile(def_.BackgroundImage);
  }
}

// ---------------------------------------------------------------- sections 11 to 13

void TSetupReader::ReadComponents() {
  TDataStream s = pkg_.ReadDataBlock("component list");
  if (s.Size() == 0) return;
  const uint8_t n = s.ReadByte();
  for (unsigned i = 0; i < n; ++i) {
    TComponentData c;
    c.Name = s.ReadString();
    const uint8_t flags = s.ReadByte();
    c.Optional = (flags & 2) != 0;
    c.Selected = (flags & 1) != 0;
    const uint8_t l = s.ReadByte();
    for (unsigned k = 0; k < l; ++k) {
      const uint8_t d = s.ReadByte();
      if (d >= n) s.Fail("dependency", "component " + c.Name + " needs component " + std::to_string(d) + " of " +
                                           std::to_string(n));
      c.Dependencies.push_back(d);
    }
    c.Description = s.ReadString();
    def_.Components.push_back(std::move(c));
  }
}

void TSetupReader::ReadFileTable() {
  def_.PackageFileNames = SplitLines(pkg_.ReadPackageString("installable file names"));
  const size_t n = pkg_.TempFileNames.size() + def_.PackageFileNames.size();
  constexpr size_t kBytesPerFile = 8 * 5 + 4;
  if (n * kBytesPerFile > pkg_.DirectRemaining())
    Damaged("the file tables of " + std::to_string(n) + " files run past the end of the package");
  TFileTables& t = pkg_.Tables;
  auto readTable = [&](const char* what, size_t width) {
    return pkg_.ReadRaw(n * width, what);
  };
  auto fill64 = [&](auto& vec, const std::string& raw, auto load) {
    vec.resize(n);
    for (size_t i = 0; i < n; ++i) vec[i] = load(reinterpret_cast<const uint8_t*>(raw.data()) + 8 * i);
  };
  fill64(t.FileOffsets, readTable("file offsets", 8), LoadI64);
  fill64(t.FileSizes, readTable("file sizes", 8), LoadI64);
  fill64(t.FileStoredSizes, readTable("file stored sizes", 8), LoadI64);
  fill64(t.FileTimes, readTable("file times", 8), LoadF64);
  fill64(t.FileVersions, readTable("file versions", 8), LoadU64);
  const std::string sums = readTable("file checksums", 4);
  t.FileChecksums.resize(n);
  for (size_t i = 0; i < n; ++i) t.FileChecksums[i] = LoadU32(reinterpret_cast<const uint8_t*>(sums.data()) + 4 * i);
  t.InstalledPaths.assign(n, {});
  t.FileUsed.assign(n, 0);
  for (size_t i = 0; i < pkg_.TempFilePaths.size(); ++i)
    if (pkg_.TempFilePaths[i] != "*") t.FileOffsets[i] = -1;
  pkg_.TablesLoaded = true;
  pkg_.CheckSupportFiles();
}

void TSetupReader::ReadFolderBody(TDataStream& s, TComponentFolder& folder, int depth) {
  for (;;) {
    const uint8_t l = s.ReadByte();
    if (l == 255) return;
    if (l == 254) break;
    std::u16string name;
    for (unsigned i = 0; i < l; ++i) name.push_back(static_cast<char16_t>(s.ReadWord()));
    auto child = std::make_unique<TComponentFolder>();
    child->Name = Utf16ToUtf8(name);
    child->GrantUsers = s.ReadByte() != 0;
    if (depth + 1 > kMaxFolderDepth)
      s.Fail("folder", "folders nested deeper than " + std::to_string(kMaxFolderDepth) + " levels");
    ReadFolderBody(s, *child, depth + 1);
    if (!(def_.NoDesktop && EqualsIgnoreAsciiCase(child->Name, "%DESKTOP%")))
      folder.Folders.push_back(std::move(child));
  }
  uint8_t t = s.ReadByte();
  for (;;) {
    switch (t & 0xF0) {
      case 32: {
        TURLData u;
        u.Url = s.ReadString();
        u.Name = s.ReadString();
        u.IconIndex = s.ReadByte() & 15;
        u.IconFile = s.ReadWord();
        folder.Urls.push_back(std::move(u));
        break;
      }
      case 64: {
        TShortcutData k;
        k.Target = s.ReadWord();
        k.Name = s.ReadString();
        k.Description = s.ReadString();
        k.Arguments = s.ReadString();
        k.IconIndex = s.ReadByte() & 15;
        k.IconFile = s.ReadWord();
        k.StartPinOption = t & 3;
        folder.Shortcuts.push_back(std::move(k));
        break;
      }
      case 128: {
        TFileData f;
        f.OverwriteMode = t & 3;
        f.Permanent = (t & 4) != 0;
        f.SelfRegister = (t & 8) != 0;
        const uint8_t g = s.ReadByte();
        f.RunAfter = (g & 16) != 0;
        f.RunQueueFlag = (g & 32) != 0;
        f.RunPathFlag = (g & 64) != 0;
        f.DataIndex = s.ReadWord();
        if (f.RunAfter) f.RunParams = s.ReadString();
        if (g & 1) {
          if (f.DataIndex >= pkg_.Tables.FileUsed.size())
            s.Fail("file entry", "data index " + std::to_string(f.DataIndex) + " is beyond the " +
                                     std::to_string(pkg_.Tables.FileUsed.size()) + " files of the package");
          pkg_.Tables.FileUsed[f.DataIndex] = 1;
          folder.Files.push_back(std::move(f));
        }
        break;
      }
      default:
        break;
    }
    t = s.ReadByte();
    if (t == 255) {
      // The records stay for the whole run: without the growth reserve.
      folder.Files.shrink_to_fit();
      return;
    }
  }
}

void TSetupReader::ReadFolderTrees() {
  TDataStream s = pkg_.ReadDataBlock("folder trees");
  for (TComponentData& c : def_.Components) {
    c.RootFolder = std::make_unique<TComponentFolder>();
    ReadFolderBody(s, *c.RootFolder, 0);
  }
}

void TSetupReader::ReadRegistryData() { def_.RegistryData = pkg_.ReadDataBlock("registry data").Bytes(); }

// ---------------------------------------------------------------- sections 15 to 19

void TSetupReader::ReadFileTypes() {
  const std::u16string t = Utf8ToUtf16(pkg_.ReadPackageString("file types"));
  size_t p = 0;
  auto ch = [&]() -> uint8_t {
    if (p >= t.size()) Damaged("the file type records end in the middle of a record");
    return static_cast<uint8_t>(t[p++] & 0xFF);
  };
  auto text = [&]() {
    const size_t end = t.find(u'\x0c', p);
    if (end == std::u16string::npos) Damaged("a file type text lacks its end character");
    std::string s = Utf16ToUtf8(t.substr(p, end - p));
    p = end + 1;
    return s;
  };
  while (p < t.size()) {
    TFileType ft;
    ft.Install = ch() != 0;
    ft.Description = text();
    ft.Extension = text();
    ft.IconFile = ch();
    ft.IconFile |= static_cast<uint16_t>(ch() << 8);
    ft.IconIndex = ch();
    ch(), ch(), ch();
    const uint8_t actions = ch();
    std::string verbs;
    for (unsigned i = 0; i < actions; ++i) {
      TFileTypeAction a;
      a.Verb = LowerCase(text());
      a.Target = ch();
      a.Target |= static_cast<uint16_t>(ch() << 8);
      ch(), ch();
      a.Parameters = text();
      verbs += (i ? ", " : "") + a.Verb;
      ft.Actions.push_back(std::move(a));
    }
    std::string display = ft.Extension + " -> " + ft.Description;
    if (actions) display += " (" + verbs + ")";
    def_.FileTypes.emplace_back(std::move(display), std::move(ft));
  }
}

void TSetupReader::ReadPrerequisites() {
  def_.DotNetVersions = pkg_.ReadU8(".NET requirement");
  if (def_.DotNetVersions != 0) {
    def_.DotNetLevel = pkg_.ReadU8(".NET level");
    const auto lines = SplitLines(pkg_.ReadPackageString(".NET installer"));
    def_.DotNetFile = lines.size() > 0 ? lines[0] : "";
    def_.DotNetUrl = lines.size() > 1 ? lines[1] : "";
    def_.DotNetPosition = pkg_.ReadI64(".NET installer position");
    def_.DotNetSize = pkg_.ReadI64(".NET installer size");
  }
  const int32_t count = pkg_.ReadI32("prerequisite count");
  if (count < 0 || static_cast<uint64_t>(count) * 20 > pkg_.DirectRemaining())
    Damaged("the prerequisite count " + std::to_string(count) + " runs past the end of the package");
  for (int32_t i = 0; i < count; ++i) {
    const auto lines = SplitLines(pkg_.ReadPackageString("prerequisite"));
    const int64_t position = pkg_.ReadI64("prerequisite position");
    const int64_t size = pkg_.ReadI64("prerequisite size");
    auto line = [&](size_t k) { return k < lines.size() ? lines[k] : std::string(); };
    if (line(2) != "1") continue;
    T3rdParty r;
    r.Name = line(0);
    r.DownloadUrl = line(1);
    r.FileName = line(4);
    r.Parameters = line(5);
    r.ConditionKey = line(6);
    r.ConditionValue = line(7);
    r.ConditionData = line(8);
    r.ConditionFile = line(9);
    r.HasCondition = !r.ConditionKey.empty() || !r.ConditionFile.empty();
    r.Position = position;
    r.Size = size;
    def_.ThirdPartyList.emplace_back(r.Name, std::move(r));
  }
}

void TSetupReader::ReadFinishOptions() {
  def_.FinishFlags = pkg_.ReadU8("finish options");
  def_.FinishExeIndex = kNoIndex;
  if (def_.FinishFlags & 4) def_.FinishExeIndex = pkg_.ReadU16("finish program");
  if (def_.FinishFlags & 8) pkg_.ReadU16("finish options");
  if (def_.FinishFlags & 12) def_.FinishParams = pkg_.ReadPackageString("finish parameters");
}

void TSetupReader::ReadUninstallOptions() {
  def_.MainExecutable = pkg_.ReadU16("main program");
  def_.MainExtra = pkg_.ReadU16("main program options");
  if (!(def_.MainExecutable == kNoIndex && def_.MainExtra == kNoIndex))
    def_.MainParameters = pkg_.ReadPackageString("main program parameters");
  def_.UninstallShortcut = pkg_.ReadU8("uninstall shortcut option");
  def_.UninstallLinkedFile = pkg_.ReadU16("uninstall icon file");
}

void TSetupReader::ReadSetupOptions() {
  def_.SetupOptionBits = pkg_.ReadU8("setup options");
  def_.MinimumPreviousDate = pkg_.ReadU16("minimum previous date");
  if (def_.SetupOptionBits & 2) def_.UpgradeMessages = SplitLines(pkg_.ReadPackageString("upgrade messages"));
  if (def_.SetupOptionBits & 4) def_.WindowClasses = SplitWindowList(pkg_.ReadPackageString("window classes"), true);
  if (def_.SetupOptionBits & 8) def_.WindowTitles = SplitWindowList(pkg_.ReadPackageString("window titles"), false);
}

void TSetupReader::ReadWholeDefinition(const Options& opt) {
  ReadFirstSections(opt.params);
  ReadWelcomeInformation(opt.silent);
  RegisterFolderDefaults(opt.noDesktop);
  ReadBackground(opt.silent);
  ReadComponents();
  ReadFileTable();
  ReadFolderTrees();
  def_.HasOptionalComponents =
      std::any_of(def_.Components.begin(), def_.Components.end(), [](const auto& c) { return c.Optional; });
  ReadRegistryData();
  ReadFileTypes();
  ReadPrerequisites();
  ReadFinishOptions();
  ReadUninstallOptions();
  ReadSetupOptions();
}

}  // namespace stw
