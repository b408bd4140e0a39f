#include "builder/Manifest.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/RegistryDataWriter.h"

namespace stw {

using nlohmann::json;

namespace {

double ParseDateTime(const json& v, const char* key) {
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) throw ESetupException(std::string(key) + ": a date \"YYYY-MM-DD[THH:MM:SS]\" or a number");
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  const std::string t = v.get<std::string>();
  if (std::sscanf(t.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) < 3 || mo < 1 || mo > 12 || d < 1 ||
      d > 31)
    throw ESetupException(std::string(key) + ": not a date: " + t);
  return static_cast<double>(DayNumberFromDate(y, mo, d)) + (h * 3600 + mi * 60 + s) / 86400.0;
}

class Reader {
 public:
  Reader(std::string base) : base_(std::move(base)) {}

  std::optional<BuildSource> Source(const json& j, const char* key) {
    if (!j.contains(key) || j[key].is_null()) return std::nullopt;
    return SourceOf(j[key], key);
  }

  BuildSource SourceOf(const json& v, const std::string& key) {
    BuildSource s;
    if (!v.is_object()) throw ESetupException(key + ": an object with \"name\" and \"source\" or \"text\"");
    s.name = v.value("name", "");
    if (v.contains("text")) s.content = v["text"].get<std::string>();
    if (v.contains("source")) s.path = Resolve(v["source"].get<std::string>());
    if (s.name.empty() && !s.path.empty()) s.name = PathToUtf8(Utf8ToPath(s.path).filename());
    s.compress = v.value("compress", true);
    return s;
  }

  std::string Resolve(const std::string& p) const {
    const auto path = Utf8ToPath(p);
    return path.is_absolute() || base_.empty() ? p : PathToUtf8(Utf8ToPath(base_) / path);
  }

  uint16_t Index(const json& v, const PackageManifest& m, const std::string& key) {
    if (v.is_null()) return kNoIndex;
    // A file entry names its data by 16 bits: an index beyond them would
    // silently name another file's data.
    if (v.is_number_integer()) {
      const int64_t n = v.get<int64_t>();
      if (n < 0 || n > 0xFFFF) throw ESetupException(key + ": data index " + std::to_string(n) + " is not a 16-bit index");
      return static_cast<uint16_t>(n);
    }
    const int i = FindDataIndex(m, v.get<std::string>());
    if (i < 0) throw ESetupException(key + ": no file named " + v.get<std::string>());
    if (i >= kNoIndex)
      throw ESetupException(key + ": " + v.get<std::string>() + " is data index " + std::to_string(i) +
                            ", beyond the 65,535 that file entries can name");
    return static_cast<uint16_t>(i);
  }

  BuildItem Item(const json& v, const PackageManifest& m) {
    BuildItem it;
    if (v.contains("shortcut")) {
      const json& s = v["shortcut"];
      it.kind = BuildItem::Shortcut;
      it.shortcut.Target = Index(s.value("target", json()), m, "shortcut target");
      it.shortcut.Name = s.value("name", "");
      it.shortcut.Description = s.value("description", "");
      it.shortcut.Arguments = s.value("arguments", "");
      it.shortcut.IconIndex = s.value("iconIndex", 0);
      it.shortcut.IconFile = Index(s.value("iconFile", json()), m, "shortcut icon file");
      it.shortcut.StartPinOption = s.value("startPin", 0);
    } else if (v.contains("url")) {
      const json& u = v["url"];
      it.kind = BuildItem::Url;
      it.url.Url = u.value("url", "");
      it.url.Name = u.value("name", "");
      it.url.IconIndex = u.value("iconIndex", 0);
      it.url.IconFile = Index(u.value("iconFile", json()), m, "internet shortcut icon file");
    } else if (v.contains("other")) {
      it.kind = BuildItem::Other;
      it.otherByte = v["other"].get<uint8_t>();
    } else {
      it.kind = BuildItem::File;
      it.file.DataIndex = Index(v.contains("file") ? v["file"] : v.value("dataIndex", json()), m, "file entry");
      it.file.OverwriteMode = v.value("overwrite", 0);
      it.file.Permanent = v.value("permanent", false);
      it.file.SelfRegister = v.value("selfRegister", false);
      it.file.RunAfter = v.value("runAfter", false);
      it.file.RunQueueFlag = v.value("runQueue", false);
      it.file.RunPathFlag = v.value("runPath", false);
      it.file.RunParams = v.value("runParams", "");
      it.keep = v.value("keep", true);
    }
    return it;
  }

  void Folder(const json& v, BuildFolder& f, const PackageManifest& m) {
    f.name = v.value("name", "");
    f.grantUsers = v.value("grantUsers", false);
    f.withItems = v.value("withItems", true);
    for (const auto& c : v.value("folders", json::array())) {
      f.folders.emplace_back();
      Folder(c, f.folders.back(), m);
    }
    for (const auto& i : v.value("items", json::array())) f.items.push_back(Item(i, m));
  }

 private:
  std::string base_;
};

TFontRecord Font(const json& v, TFontRecord f) {
  if (!v.is_object()) return f;
  f.Name = v.value("name", f.Name);
  f.Color = v.value("color", f.Color);
  f.Size = v.value("size", f.Size);
  f.Style = v.value("style", f.Style);
  f.Charset = v.value("charset", f.Charset);
  return f;
}

uint64_t ParseVersion(const json& v) {
  if (v.is_null()) return ~0ull;
  if (v.is_number_unsigned()) return v.get<uint64_t>();
  unsigned a = 0, b = 0, c = 0, d = 0;
  const std::string s = v.get<std::string>();
  if (std::sscanf(s.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) < 1) throw ESetupException("not a version: " + s);
  return (static_cast<uint64_t>((a << 16) | (b & 0xFFFF)) << 32) | ((c << 16) | (d & 0xFFFF));
}

std::string Joined(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  std::string s;
  for (const auto& l : v) s += l.get<std::string>() + "\r\n";
  return s;
}

// "registry": the package's registry entries as a tree. Each object may
// hold only the members it knows, so that a misspelt one is an error rather
// than a value that silently goes missing. Errors name the entry by its
// path, "registry[0].keys[1].values[2].dword"; the limits of the stream
// itself are checked by the writer, which names entries the same way.
class RegistryReader {
 public:
  std::vector<RegistryRootEntry> Roots(const json& j) {
    if (!j.is_array()) Fail("registry", "a list of roots");
    std::vector<RegistryRootEntry> roots;
    for (size_t i = 0; i < j.size(); ++i) {
      const std::string at = "registry[" + std::to_string(i) + "]";
      const json& r = j[i];
      Members(r, at, {"root", "values", "keys"});
      RegistryRootEntry entry;
      if (!r.contains("root")) Fail(at, "a root needs \"root\"");
      entry.root = Text(r["root"], at + ".root");
      Content(r, at, entry.values, entry.keys);
      roots.push_back(std::move(entry));
    }
    return roots;
  }

 private:
  [[noreturn]] static void Fail(const std::string& at, const std::string& what) {
    throw ESetupException(at + ": " + what);
  }

  static void Members(const json& v, const std::string& at, std::initializer_list<const char*> known) {
    if (!v.is_object()) Fail(at, "an object");
    for (const auto& [name, value] : v.items()) {
      bool ok = false;
      for (const char* k : known) ok = ok || name == k;
      if (!ok) Fail(at, "unknown member \"" + name + "\"");
    }
  }

  static std::string Text(const json& v, const std::string& at) {
    if (!v.is_string()) Fail(at, "a string");
    return v.get<std::string>();
  }
  static bool Flag(const json& v, const char* key, const std::string& at) {
    if (!v.contains(key)) return false;
    if (!v[key].is_boolean()) Fail(at + "." + key, "true or false");
    return v[key].get<bool>();
  }

  void Content(const json& v, const std::string& at, std::vector<RegistryValueEntry>& values,
               std::vector<RegistryKeyEntry>& keys) {
    if (v.contains("values")) {
      const json& list = v["values"];
      if (!list.is_array()) Fail(at + ".values", "a list of values");
      for (size_t i = 0; i < list.size(); ++i)
        values.push_back(Value(list[i], at + ".values[" + std::to_string(i) + "]"));
    }
    if (v.contains("keys")) {
      const json& list = v["keys"];
      if (!list.is_array()) Fail(at + ".keys", "a list of keys");
      for (size_t i = 0; i < list.size(); ++i) keys.push_back(Key(list[i], at + ".keys[" + std::to_string(i) + "]"));
    }
  }

  RegistryKeyEntry Key(const json& k, const std::string& at) {
    Members(k, at, {"name", "wholeKey", "values", "keys"});
    RegistryKeyEntry entry;
    if (!k.contains("name")) Fail(at, "a key needs \"name\"");
    entry.name = Text(k["name"], at + ".name");
    entry.wholeKey = Flag(k, "wholeKey", at);
    Content(k, at, entry.values, entry.keys);
    return entry;
  }

  static RegistryValueEntry Value(const json& v, const std::string& at) {
    using T = RegistryValueEntry::Type;
    Members(v, at, {"name", "default", "keepExisting", "logOnly", "string", "dword", "binary"});
    RegistryValueEntry entry;
    entry.isDefault = Flag(v, "default", at);
    if (v.contains("name")) entry.name = Text(v["name"], at + ".name");
    if (entry.isDefault == v.contains("name")) Fail(at, "a value needs either \"name\" or \"default\": true");
    entry.keepExisting = Flag(v, "keepExisting", at);
    entry.logOnly = Flag(v, "logOnly", at);
    const int data = v.contains("string") + v.contains("dword") + v.contains("binary");
    if (entry.logOnly && data > 0) Fail(at, "a log-only value carries no \"string\", \"dword\" or \"binary\"");
    if (!entry.logOnly && data != 1) Fail(at, "a value needs exactly one of \"string\", \"dword\" and \"binary\"");
    if (v.contains("string")) {
      entry.type = T::String;
      entry.text = Text(v["string"], at + ".string");
    } else if (v.contains("dword")) {
      entry.type = T::Dword;
      const json& d = v["dword"];
      if (!d.is_number_integer() || (d.is_number_unsigned() ? d.get<uint64_t>() > 0xFFFFFFFFull : d.get<int64_t>() < 0))
        Fail(at + ".dword", "a whole number from 0 to 4294967295");
      entry.dword = static_cast<uint32_t>(d.get<uint64_t>());
    } else if (v.contains("binary")) {
      entry.type = T::Binary;
      entry.bytes = Hex(Text(v["binary"], at + ".binary"), at + ".binary");
    }
    return entry;
  }

  // Two hex digits a byte; spaces between the bytes are allowed for
  // readability.
  static std::string Hex(const std::string& h, const std::string& at) {
    auto digit = [&](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      Fail(at, std::string("not a hex digit: '") + c + "'");
    };
    std::string bytes;
    for (size_t i = 0; i < h.size();) {
      if (h[i] == ' ') {
        ++i;
        continue;
      }
      if (i + 1 >= h.size() || h[i + 1] == ' ') Fail(at, "hex digits come in pairs, one pair a byte");
      bytes.push_back(static_cast<char>(digit(h[i]) * 16 + digit(h[i + 1])));
      i += 2;
    }
    return bytes;
  }
};

}  // namespace

int32_t DayNumberFromIso(const std::string& iso) {
  return static_cast<int32_t>(ParseDateTime(json(iso), "date"));
}

std::string IsoFromDayNumber(int32_t day) {
  int y, m, d;
  DateFromDayNumber(day, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

PackageManifest ManifestFromJson(const json& j, const std::string& baseDir) {
  try {
    Reader r(baseDir);
    PackageManifest m;
    m.interfaceStrings = j.contains("interfaceStrings") ? j["interfaceStrings"].get<std::vector<std::string>>()
                                                        : DefaultInterfaceStrings();
    m.publisher = j.value("publisher", "");
    m.webAddress = j.value("webAddress", "");
    m.productKey = j.value("productKey", "");
    m.supportAddress = j.value("supportAddress", "");
    m.version = j.value("version", "");
    if (j.contains("releaseDate")) m.releaseDate = static_cast<int32_t>(ParseDateTime(j["releaseDate"], "releaseDate"));
    m.welcomeLine = j.value("welcomeLine", "");
    m.readme = r.Source(j, "readme");
    m.licence = r.Source(j, "licence");
    m.licenceStarred = j.value("licenceStarred", false);
    m.supportDll = r.Source(j, "supportDll");
    m.extraFile = r.Source(j, "extraFile");
    m.userType = j.value("userType", 3);
    if (j.contains("folders")) {
      static const char* const kNames[4] = {"APPFOLDER", "APPCOMMONFOLDER", "APPMENU", "USERDATA"};
      for (int i = 0; i < 4; ++i) {
        const json f = j["folders"].value(kNames[i], json::array());
        if (f.size() > 0) m.folderDefaults[i][0] = f[0].get<std::string>();
        if (f.size() > 1) m.folderDefaults[i][1] = f[1].get<std::string>();
      }
    }
    if (j.contains("background")) {
      const json& b = j["background"];
      m.backgroundEnabled = b.value("enabled", true);
      m.backgroundImage = r.Source(b, "image");
      m.backgroundTopText = b.value("topText", "");
      m.backgroundBottomText = b.value("bottomText", "");
      TBackgroundSettings& s = m.backgroundSettings;
      s.TopColor = b.value("topColor", 0x800000);
      s.BottomColor = b.value("bottomColor", 0);
      s.TopShadowColor = b.value("topShadowColor", 0);
      s.BottomShadowColor = b.value("bottomShadowColor", 0);
      s.ImageTransparent = b.value("imageTransparent", 0);
      s.TopShadow = b.value("topShadow", 1);
      s.BottomShadow = b.value("bottomShadow", 1);
      s.TopFont = Font(b.value("topFont", json()), {"Arial", 0xFFFFFF, 24, 1, 0});
      s.BottomFont = Font(b.value("bottomFont", json()), {"Arial", 0xFFFFFF, 12, 0, 0});
    }
    if (j.contains("cfa")) {
      m.cfaOptions = j["cfa"].value("options", 0);
      m.cfaMessage = j["cfa"].value("message", "");
    }
    if (j.contains("section4")) {
      m.section4Flags = j["section4"].value("flags", 0);
      m.section4Text = j["section4"].value("text", "");
      const json t = j["section4"].value("tables", json::array());
      for (size_t i = 0; i < 2 && i < t.size(); ++i) m.section4Tables[i] = t[i].get<int32_t>();
    }
    if (j.contains("portable")) {
      const json& p = j["portable"];
      m.portableMode = p.value("mode", 0);
      m.removableMarkerMode = p.value("markerMode", 0);
      m.showAllDrivesOption = p.value("showAllDrives", 0);
      m.portableFolder = p.value("folder", "");
    }
    m.showAdvanced = j.value("showAdvanced", 1);
    m.paintGradient = j.value("paintGradient", 1);
    m.formFont = Font(j.value("font", json()), m.formFont);

    for (const auto& f : j.value("files", json::array())) {
      BuildFile b;
      static_cast<BuildSource&>(b) = r.SourceOf(f, "files");
      if (f.contains("time")) b.time = ParseDateTime(f["time"], "files.time");
      b.version = ParseVersion(f.value("version", json()));
      b.external = f.value("external", false);
      m.files.push_back(std::move(b));
    }
    for (const auto& c : j.value("components", json::array())) {
      BuildComponent bc;
      bc.name = c.value("name", "");
      bc.description = c.value("description", "");
      bc.optional = c.value("optional", false);
      bc.selected = c.value("selected", true);
      bc.dependencies = c.value("dependencies", std::vector<uint8_t>());
      r.Folder(c, bc.root, m);
      m.components.push_back(std::move(bc));
    }
    if (j.contains("registry")) {
      if (j.contains("registryData"))
        throw ESetupException("registry: give either \"registry\" or the raw \"registryData\", not both");
      m.registryData = EncodeRegistryData(RegistryReader().Roots(j["registry"]));
    } else if (j.contains("registryData")) {
      const json& d = j["registryData"];
      if (d.is_string()) {
        m.registryData = d.get<std::string>();
      } else if (d.contains("hex")) {
        const std::string h = d["hex"].get<std::string>();
        for (size_t i = 0; i + 1 < h.size(); i += 2) m.registryData.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
      }
    }
    for (const auto& t : j.value("fileTypes", json::array())) {
      TFileType ft;
      ft.Install = t.value("install", true);
      ft.Description = t.value("description", "");
      ft.Extension = t.value("extension", "");
      ft.IconFile = r.Index(t.value("iconFile", json()), m, "file type icon");
      ft.IconIndex = t.value("iconIndex", 0);
      for (const auto& a : t.value("actions", json::array())) {
        TFileTypeAction act;
        act.Verb = a.value("verb", "open");
        act.Target = r.Index(a.value("target", json()), m, "file type action target");
        act.Parameters = a.value("parameters", "");
        ft.Actions.push_back(act);
      }
      m.fileTypes.push_back(std::move(ft));
    }
    if (j.contains("dotNet")) {
      const json& d = j["dotNet"];
      m.dotNetVersions = d.value("versions", 0);
      m.dotNetLevel = d.value("level", 0);
      m.dotNetFile = d.value("file", "");
      m.dotNetUrl = d.value("url", "");
      if (auto s = r.Source(d, "installer")) m.dotNetInstaller = *s;
    }
    for (const auto& p : j.value("prerequisites", json::array())) {
      BuildPrerequisite b;
      b.lines = p.value("lines", std::vector<std::string>());
      if (auto s = r.Source(p, "installer")) b.installer = *s;
      b.position = p.value("position", 0);
      b.size = p.value("size", 0);
      m.prerequisites.push_back(std::move(b));
    }
    if (j.contains("finish")) {
      const json& f = j["finish"];
      m.finishFlags = f.value("flags", 0);
      m.finishExeIndex = r.Index(f.value("exe", json()), m, "finish program");
      m.finishUnused = f.value("unused", 0);
      m.finishParams = f.value("params", "");
    }
    m.mainExecutable = r.Index(j.value("mainExecutable", json()), m, "main program");
    m.mainExtra = j.value("mainExtra", 0xFFFF);
    m.mainParameters = j.value("mainParameters", "");
    if (j.contains("uninstall")) {
      m.uninstallShortcut = j["uninstall"].value("shortcut", 0);
      m.uninstallLinkedFile = r.Index(j["uninstall"].value("linkedFile", json()), m, "uninstall icon file");
    }
    if (j.contains("setupOptions")) {
      const json& s = j["setupOptions"];
      m.setupOptionBits = s.value("bits", 0);
      if (s.contains("minimumPreviousDate"))
        m.minimumPreviousDate = static_cast<uint16_t>(ParseDateTime(s["minimumPreviousDate"], "minimumPreviousDate"));
      if (s.contains("upgradeMessages")) m.upgradeMessages = Joined(s["upgradeMessages"]);
      m.windowClasses = s.value("windowClasses", "");
      m.windowTitles = s.value("windowTitles", "");
    }
    if (j.contains("build")) {
      const json& b = j["build"];
      m.volumeSize = b.value("volumeSize", 0u);
      m.lzma.preset = b.value("preset", 6u);
      m.lzma.dictSize = b.value("dictSize", 8u << 20);
      m.lzma.endMarker = b.value("endMarker", false);
      const std::string blocks = b.value("blocks", "auto");
      m.blocks = blocks == "stored" ? BlockMode::Stored : blocks == "compressed" ? BlockMode::Compressed : BlockMode::Auto;
      m.threads = b.value("threads", 0u);
      m.frontSize = b.value("frontSize", static_cast<size_t>(512));
    }
    return m;
  } catch (const json::exception& e) {
    throw ESetupException(std::string("the manifest is not valid: ") + e.what());
  }
}

PackageManifest LoadManifest(const std::string& path) {
  std::ifstream f(Utf8ToPath(path), std::ios::binary);
  if (!f) throw ESetupException("cannot read the manifest " + path);
  json j;
  try {
    j = json::parse(f);
  } catch (const json::exception& e) {
    throw ESetupException("the manifest " + path + " is not valid JSON: " + e.what());
  }
  return ManifestFromJson(j, PathToUtf8(Utf8ToPath(path).parent_path()));
}

}  // namespace stw
