// A second, independent writer of installer files for the corpus tests.
// It shares no code with the package builder: every byte is laid out here
// from the format's own description (locator, header, block framing,
// sections in their fixed order, per-file tables, support file records,
// volume files), with liblzma called directly for the compressed ranges.
// A misreading that the builder and the reader share cannot hide from a
// package written this way.
#pragma once
#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace stw::corpus {

// ---------------------------------------------------------------- bytes

// CRC-32 of ISO-HDLC computed bit by bit (reflected 0xEDB88320, all ones
// in and out), deliberately not the table-driven routine of the reader.
inline uint32_t Crc32Of(const std::string &s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k)
      c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

// The UTF-8 bytes of one code point.
inline std::string Utf8(char32_t cp) {
  std::string o;
  if (cp < 0x80) {
    o += static_cast<char>(cp);
  } else if (cp < 0x800) {
    o += static_cast<char>(0xC0 | (cp >> 6));
    o += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    o += static_cast<char>(0xE0 | (cp >> 12));
    o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    o += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    o += static_cast<char>(0xF0 | (cp >> 18));
    o += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    o += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return o;
}

// UTF-8 to UTF-16 for the folder names of the trees (the corpus' own
// texts are well-formed).
inline std::u16string U16(const std::string &s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    size_t len;
    if (c < 0x80)
      cp = c, len = 1;
    else if (c < 0xE0)
      cp = c & 0x1F, len = 2;
    else if (c < 0xF0)
      cp = c & 0x0F, len = 3;
    else
      cp = c & 0x07, len = 4;
    for (size_t k = 1; k < len; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

inline std::string LeBytes(uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}
inline std::string W16(uint16_t v) { return LeBytes(v, 2); }
inline std::string W32(int32_t v) {
  return LeBytes(static_cast<uint32_t>(v), 4);
}
inline std::string W64(int64_t v) {
  return LeBytes(static_cast<uint64_t>(v), 8);
}
inline std::string WF64(double d) {
  uint64_t u;
  std::memcpy(&u, &d, 8);
  return LeBytes(u, 8);
}
// A string of a data block: u16 byte count, then the UTF-8 bytes.
inline std::string WStr(const std::string &s) {
  return W16(static_cast<uint16_t>(s.size())) + s;
}

// ---------------------------------------------------------------- LZMA

// The package-wide coder settings: lc, lp, pb and the dictionary size
// that the header's five property bytes announce.
struct LzmaSetup {
  unsigned lc = 3, lp = 0, pb = 2;
  uint32_t dict = 1u << 16;
  uint32_t preset = 6;
  std::string Props() const {
    return std::string(1, static_cast<char>((pb * 5 + lp) * 9 + lc)) +
           LeBytes(dict, 4);
  }
};

// A raw LZMA1 stream of `data`, without any header; with `endMarker` the
// stream ends with the end-of-payload marker (the plain LZMA1 filter
// always writes one), without it the stream stops after the last symbol.
inline std::string LzmaCompress(const LzmaSetup &z, const std::string &data,
                                bool endMarker) {
  lzma_options_lzma o;
  if (lzma_lzma_preset(&o, z.preset))
    throw std::runtime_error("preset");
  o.lc = z.lc;
  o.lp = z.lp;
  o.pb = z.pb;
  o.dict_size = z.dict;
  o.ext_flags = 0;
  o.ext_size_low = UINT32_MAX;
  o.ext_size_high = UINT32_MAX;
  lzma_filter f[2] = {
      {endMarker ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA1EXT, &o},
      {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&s, f) != LZMA_OK)
    throw std::runtime_error("lzma_raw_encoder");
  std::string out(data.size() + data.size() / 2 + 1024, '\0');
  s.next_in = reinterpret_cast<const uint8_t *>(data.data());
  s.avail_in = data.size();
  s.next_out = reinterpret_cast<uint8_t *>(out.data());
  s.avail_out = out.size();
  const lzma_ret r = lzma_code(&s, LZMA_FINISH);
  const size_t n = out.size() - s.avail_out;
  lzma_end(&s);
  if (r != LZMA_STREAM_END)
    throw std::runtime_error("lzma_code");
  out.resize(n);
  return out;
}

// How a range is stored: as it is, or LZMA-compressed without or with the
// end marker.
enum class Form { Stored, Lzma, LzmaEnd };

// ---------------------------------------------------------------- records

// A string or data block of the definition with the framing it gets.
// Empty content is always written as the size 0.
struct Block {
  std::string content;
  Form form = Form::Lzma;
};

struct Font { // the 39-byte font record
  std::string name = "Segoe UI";
  int32_t color = 0;
  uint8_t size = 9, style = 0, charset = 1;
  std::string Bytes() const {
    // The bytes after the name's length are left as garbage: only the
    // length says how many belong to the name.
    std::string face = name.substr(0, 31);
    face.resize(31, 'Z');
    return std::string(1,
                       static_cast<char>(std::min<size_t>(name.size(), 31))) +
           face + W32(color) + static_cast<char>(size) +
           static_cast<char>(style) + static_cast<char>(charset);
  }
};

struct Background { // the 97-byte background settings
  int32_t top = 0, bottom = 0, topShadow = 0, bottomShadow = 0;
  uint8_t transparent = 0, showTopShadow = 0, showBottomShadow = 0;
  Font topFont, bottomFont;
  std::string Bytes() const {
    return W32(top) + W32(bottom) + W32(topShadow) + W32(bottomShadow) +
           static_cast<char>(transparent) + static_cast<char>(showTopShadow) +
           static_cast<char>(showBottomShadow) + topFont.Bytes() +
           bottomFont.Bytes();
  }
};

// An embedded support file: the definition field names it, section 10
// carries its record.
struct SupportFile {
  std::string name;
  std::string content;
  Form form = Form::Lzma;
  double time = 46000.25;
  uint64_t version = ~0ull;
};

// An installable file: a line of the file names, a row of the tables and
// its stored range.
struct DataFile {
  std::string name;
  std::string content;
  Form form = Form::Lzma;
  double time = 46000.5;
  uint64_t version = ~0ull;
  int64_t at =
      -1; // package position of its range; -1: right after the data before it
  int sameAs = -1; // an earlier installable file (index into `files`) whose
                   // range it shares
};

// One item of a folder: its type byte and the bytes of its record.
struct Item {
  uint8_t t = 255;
  std::string record;
};
inline Item FileItem(uint16_t dataIndex, uint8_t tLow = 0, uint8_t g = 1,
                     const std::string &runParams = "") {
  Item i{static_cast<uint8_t>(128 | tLow),
         std::string(1, static_cast<char>(g)) + W16(dataIndex)};
  if (g & 16)
    i.record += WStr(runParams);
  return i;
}
inline Item ShortcutItem(uint16_t target, const std::string &name,
                         const std::string &description,
                         const std::string &arguments, uint8_t iconByte,
                         uint16_t iconFile, uint8_t tLow = 0) {
  return Item{static_cast<uint8_t>(64 | tLow),
              W16(target) + WStr(name) + WStr(description) + WStr(arguments) +
                  static_cast<char>(iconByte) + W16(iconFile)};
}
inline Item UrlItem(const std::string &url, const std::string &name,
                    uint8_t iconByte, uint16_t iconFile, uint8_t tLow = 0) {
  return Item{static_cast<uint8_t>(32 | tLow), WStr(url) + WStr(name) +
                                                   static_cast<char>(iconByte) +
                                                   W16(iconFile)};
}

struct Folder {
  std::string name; // UTF-8 here, UTF-16 code units in the package
  uint8_t grant = 0;
  std::vector<Folder> folders;
  std::vector<Item> items;
  // An item list is written (254, items, 255) even without items; without
  // items the one byte that is always taken as an item is `emptyItemByte`.
  bool itemList = false;
  uint8_t emptyItemByte = 255;

  std::string Body() const {
    std::string b;
    for (const Folder &f : folders) {
      const std::u16string n = U16(f.name);
      b += static_cast<char>(n.size());
      for (char16_t u : n)
        b += W16(u);
      b += static_cast<char>(f.grant);
      b += f.Body();
    }
    if (items.empty() && !itemList)
      return b + '\xFF';
    b += '\xFE';
    if (items.empty())
      return b + static_cast<char>(emptyItemByte) + '\xFF';
    for (const Item &i : items)
      b += static_cast<char>(i.t) + i.record;
    return b + '\xFF';
  }
};

struct Component {
  std::string name, description;
  uint8_t flags = 1; // bit 1 optional, bit 0 selected
  std::vector<uint8_t> dependencies;
  Folder root;
};

struct Prerequisite {
  Block lines;
  int64_t position = 0, size = 0;
};

// ---------------------------------------------------------------- the package

struct Package {
  // Container: the installer program's bytes (filler) hold the locator at
  // 128 and the header at `headerAt`; the first section follows after
  // `firstSectionGap` bytes of filler.
  size_t headerAt = 600;
  size_t firstSectionGap = 0;
  uint32_t volumeSize = 0;
  LzmaSetup lzma;
  char filler = '\xA5';

  // Sections 1 and 2.
  std::vector<std::string> strings;
  std::string lineEnd = "\r\n";
  Form stringsForm = Form::Lzma;
  std::string publisher = "Corpus Works", webAddress,
              productKey = "Corpus Product", supportAddress, version = "1.0";
  std::string releaseDate = "46000", welcome = "Welcome";
  bool licenceStarred = false;
  std::u32string userType = U"\x01"; // one character, written as UTF-8
  std::string folderDefaults[8] = {"%PROGRAMFILES%\\Corpus Product"};
  std::string backgroundTop, backgroundBottom;
  Form definitionForm = Form::Lzma;
  std::optional<std::string> definitionText; // hand-made instead of the fields

  uint8_t cfaOptions = 0; // section 3
  Block cfaMessage;
  uint8_t section4 = 0; // section 4
  Block section4Text;
  uint32_t section4Rows[2] = {0, 0};
  uint8_t portableMode = 0, removableMarkerMode = 0,
          showAllDrives = 0; // section 5
  Block portableFolder;
  std::string section6 = std::string(68, '\x5A');
  uint8_t showAdvanced = 0, paintGradient = 0; // section 7
  Font formFont;                               // section 8
  uint8_t backgroundEnabled = 0;               // section 9
  Background background;

  // Section 10 (and definition fields 8 to 11 and the background image).
  std::optional<SupportFile> readme, licence, supportDll, extraFile,
      backgroundImage;

  std::vector<Component> components; // sections 11 and 13
  Form componentsForm = Form::Lzma, treesForm = Form::Lzma;
  std::optional<std::string>
      treesContent; // hand-made instead of the components' trees
  std::optional<std::string>
      componentsContent;       // hand-made instead of the component list
  std::vector<DataFile> files; // section 12
  Form namesForm = Form::Lzma;
  Block registry;  // section 14
  Block fileTypes; // section 15

  uint8_t dotNetVersions = 0, dotNetLevel = 0; // section 16
  Block dotNetLines;
  int64_t dotNetPosition = 0, dotNetSize = 0;
  std::vector<Prerequisite> prerequisites;

  uint8_t finishFlags = 0; // section 17
  uint16_t finishExe = 0xFFFF, finishUnused = 0xFFFF;
  Block finishParams;
  uint16_t mainExecutable = 0xFFFF, mainX = 0xFFFF; // section 18
  Block mainParams;
  uint8_t uninstallShortcut = 0;
  uint16_t uninstallLinked = 0xFFFF;
  uint8_t setupBits = 0; // section 19
  uint16_t minimumPreviousDate = 0;
  Block upgradeMessages, windowClasses, windowTitles;

  std::vector<const SupportFile *> SupportFiles() const {
    std::vector<const SupportFile *> v;
    for (const auto *s : {&readme, &licence, &supportDll, &extraFile})
      if (*s)
        v.push_back(&**s);
    if (backgroundEnabled && backgroundImage)
      v.push_back(&*backgroundImage);
    return v;
  }
  // The data index of installable file j.
  uint16_t Index(size_t j) const {
    return static_cast<uint16_t>(SupportFiles().size() + j);
  }

  std::string DefinitionText() const {
    if (definitionText)
      return *definitionText;
    auto field = [](const std::string &s) { return s + '\x0c'; };
    auto name = [](const std::optional<SupportFile> &s) {
      return s ? s->name : std::string();
    };
    std::string t =
        field(publisher) + field(webAddress) + field(productKey) +
        field(supportAddress) + field(version) + field(releaseDate) +
        field(welcome) + field(name(readme)) +
        field((licence && licenceStarred ? "*" : "") + name(licence)) +
        field(name(supportDll)) + field(name(extraFile));
    for (char32_t c : userType)
      t += Utf8(c); // no end character after it
    for (const std::string &f : folderDefaults)
      t += field(f);
    if (backgroundEnabled)
      t += field(name(backgroundImage)) + field(backgroundTop) +
           field(backgroundBottom);
    return t;
  }
};

// What was written: every package position in one string, cut into the
// installer file and its volume files, and where things went.
struct Written {
  std::string image;
  std::vector<std::string> volumes; // [0] = the installer file
  std::map<std::string, std::pair<int64_t, int64_t>>
      blocks;                       // name -> [start, end) of its framing
  std::vector<int64_t> offsets;     // data index -> position of its stored data
  std::vector<int64_t> storedSizes; // data index -> stored size
  int64_t definitionEnd = 0;
};

class Image {
public:
  Image(const LzmaSetup &z, Written &w) : z_(z), w_(w) {}
  std::string &b() { return w_.image; }
  int64_t Pos() const { return static_cast<int64_t>(w_.image.size()); }
  void Raw(const std::string &s) { w_.image += s; }
  void U8(unsigned v) { w_.image += static_cast<char>(v); }
  void Block(const std::string &name, const corpus::Block &blk) {
    const int64_t start = Pos();
    const std::string &c = blk.content;
    if (c.empty()) {
      Raw(W32(0));
    } else if (blk.form == Form::Stored) {
      Raw(W32(-static_cast<int32_t>(c.size())) + c);
    } else {
      const std::string z = LzmaCompress(z_, c, blk.form == Form::LzmaEnd);
      Raw(W32(static_cast<int32_t>(c.size())) +
          W32(static_cast<int32_t>(z.size())) + z);
    }
    w_.blocks[name] = {start, Pos()};
  }

private:
  const LzmaSetup &z_;
  Written &w_;
};

// The stored bytes of a range in its form; a compressed range must differ
// in size from its content, or the reader would rightly copy it.
inline std::string StoredBytes(const LzmaSetup &z, const std::string &content,
                               Form form) {
  if (form == Form::Stored)
    return content;
  std::string s = LzmaCompress(z, content, form == Form::LzmaEnd);
  if (s.size() == content.size())
    throw std::runtime_error("compressed range as long as its content");
  return s;
}

inline Written Write(const Package &p) {
  Written w;
  Image im(p.lzma, w);
  std::string &b = w.image;
  // The installer program in front: filler with the locator at 128.
  b.assign(p.headerAt, p.filler);
  b[0] = 'M';
  b[1] = 'Z';
  const size_t firstSection = p.headerAt + 74 + p.firstSectionGap;
  const std::string locator = W32(static_cast<int32_t>(p.headerAt)) +
                              std::string(16, '\x3C') +
                              LeBytes(p.volumeSize, 4);
  b.replace(128, 24, locator);
  const std::string header = p.lzma.Props() + std::string(41, '\x69') +
                             W32(static_cast<int32_t>(firstSection)) +
                             std::string(24, '\x96');
  b += header;
  b.append(p.firstSectionGap, p.filler);

  std::string strings;
  for (const std::string &s : p.strings)
    strings += s + p.lineEnd;
  im.Block("strings", {strings, p.stringsForm});
  im.Block("definition", {p.DefinitionText(), p.definitionForm});
  im.U8(p.cfaOptions);
  if (p.cfaOptions & 2)
    im.Block("cfa", p.cfaMessage);
  im.U8(p.section4);
  if (p.section4 & 32)
    im.Block("section4", p.section4Text);
  for (int k = 0; k < 2; ++k)
    if (p.section4 & (64 << k)) {
      im.Raw(W32(static_cast<int32_t>(p.section4Rows[k])) +
             std::string(8, '\x11') +
             std::string(20 * p.section4Rows[k], '\x22'));
    }
  im.U8(p.portableMode);
  if (p.portableMode) {
    im.U8(p.removableMarkerMode);
    im.U8(p.showAllDrives);
    im.Block("portable", p.portableFolder);
  }
  im.Raw(p.section6);
  im.U8(p.showAdvanced);
  im.U8(p.paintGradient);
  im.Raw(p.formFont.Bytes());
  im.U8(p.backgroundEnabled);
  if (p.backgroundEnabled)
    im.Raw(p.background.Bytes());

  // Section 10: C, U, then the bytes.
  const auto support = p.SupportFiles();
  std::vector<std::string> supportStored;
  for (const SupportFile *s : support) {
    supportStored.push_back(StoredBytes(p.lzma, s->content, s->form));
    const std::string &st = supportStored.back();
    im.Raw(W32(static_cast<int32_t>(st.size())) +
           W32(static_cast<int32_t>(s->content.size())));
    w.offsets.push_back(im.Pos());
    w.storedSizes.push_back(static_cast<int64_t>(st.size()));
    im.Raw(st);
  }

  std::string comps;
  if (p.componentsContent) {
    comps = *p.componentsContent;
  } else if (!p.components.empty()) {
    comps += static_cast<char>(p.components.size());
    for (const Component &c : p.components) {
      comps += WStr(c.name) + static_cast<char>(c.flags) +
               static_cast<char>(c.dependencies.size());
      for (uint8_t d : c.dependencies)
        comps += static_cast<char>(d);
      comps += WStr(c.description);
    }
  }
  im.Block("components", {comps, p.componentsForm});

  std::string names;
  for (const DataFile &f : p.files)
    names += f.name + "\r\n";
  im.Block("names", {names, p.namesForm});
  const size_t n = support.size() + p.files.size();
  const int64_t tables = im.Pos();
  im.Raw(std::string(44 * n, '\0')); // filled in once the data are placed

  std::string trees;
  for (const Component &c : p.components)
    trees += c.root.Body();
  if (p.treesContent)
    trees = *p.treesContent;
  im.Block("trees", {trees, p.treesForm});
  im.Block("registry", p.registry);
  im.Block("filetypes", p.fileTypes);
  im.U8(p.dotNetVersions);
  if (p.dotNetVersions) {
    im.U8(p.dotNetLevel);
    im.Block("dotnet", p.dotNetLines);
    im.Raw(W64(p.dotNetPosition) + W64(p.dotNetSize));
  }
  im.Raw(W32(static_cast<int32_t>(p.prerequisites.size())));
  for (size_t i = 0; i < p.prerequisites.size(); ++i) {
    im.Block("prerequisite" + std::to_string(i), p.prerequisites[i].lines);
    im.Raw(W64(p.prerequisites[i].position) + W64(p.prerequisites[i].size));
  }
  im.U8(p.finishFlags);
  if (p.finishFlags & 4)
    im.Raw(W16(p.finishExe));
  if (p.finishFlags & 8)
    im.Raw(W16(p.finishUnused));
  if (p.finishFlags & 12)
    im.Block("finish", p.finishParams);
  im.Raw(W16(p.mainExecutable) + W16(p.mainX));
  if (!(p.mainExecutable == 0xFFFF && p.mainX == 0xFFFF))
    im.Block("main", p.mainParams);
  im.U8(p.uninstallShortcut);
  im.Raw(W16(p.uninstallLinked));
  im.U8(p.setupBits);
  im.Raw(W16(p.minimumPreviousDate));
  if (p.setupBits & 2)
    im.Block("upgrade", p.upgradeMessages);
  if (p.setupBits & 4)
    im.Block("classes", p.windowClasses);
  if (p.setupBits & 8)
    im.Block("titles", p.windowTitles);
  w.definitionEnd = im.Pos();

  // The installable files' data, where each asks to be.
  for (const DataFile &f : p.files) {
    if (f.sameAs >= 0) {
      const size_t k = support.size() + static_cast<size_t>(f.sameAs);
      w.offsets.push_back(w.offsets.at(k));
      w.storedSizes.push_back(w.storedSizes.at(k));
      continue;
    }
    const std::string st = StoredBytes(p.lzma, f.content, f.form);
    const int64_t at = f.at >= 0 ? f.at : im.Pos();
    const int64_t end = at + static_cast<int64_t>(st.size());
    if (f.at >= 0 &&
        ((at < 152 && end > 128) ||
         (at < w.definitionEnd && end > static_cast<int64_t>(p.headerAt))))
      throw std::runtime_error(
          "data placed over the locator, the header or the sections");
    if (static_cast<int64_t>(b.size()) < at + static_cast<int64_t>(st.size()))
      b.resize(static_cast<size_t>(at) + st.size(), p.filler);
    b.replace(static_cast<size_t>(at), st.size(), st);
    w.offsets.push_back(at);
    w.storedSizes.push_back(static_cast<int64_t>(st.size()));
  }

  // The per-file tables, column after column.
  std::string t;
  auto each = [&](auto cell) {
    for (size_t i = 0; i < n; ++i)
      t += cell(i);
  };
  auto content = [&](size_t i) -> const std::string & {
    return i < support.size() ? support[i]->content
                              : p.files[i - support.size()].content;
  };
  each([&](size_t i) { return W64(w.offsets[i]); });
  each([&](size_t i) { return W64(static_cast<int64_t>(content(i).size())); });
  each([&](size_t i) { return W64(w.storedSizes[i]); });
  each([&](size_t i) {
    return WF64(i < support.size() ? support[i]->time
                                   : p.files[i - support.size()].time);
  });
  each([&](size_t i) {
    return LeBytes(i < support.size() ? support[i]->version
                                      : p.files[i - support.size()].version,
                   8);
  });
  each([&](size_t i) { return LeBytes(Crc32Of(content(i)), 4); });
  b.replace(static_cast<size_t>(tables), t.size(), t);

  // Volume k holds positions (k-1)V to kV; the first is the installer file.
  if (p.volumeSize == 0) {
    w.volumes.push_back(b);
  } else {
    for (size_t at = 0; at < b.size(); at += p.volumeSize)
      w.volumes.push_back(b.substr(at, p.volumeSize));
  }
  return w;
}

// The name of volume k of installer file `path`: its extension replaced by
// the number, at least three digits.
inline std::string VolumeName(const std::string &path, int k) {
  const size_t sep = path.find_last_of("\\/");
  const size_t dot = path.find_last_of('.');
  const std::string stem =
      (dot != std::string::npos && (sep == std::string::npos || dot > sep))
          ? path.substr(0, dot)
          : path;
  std::string num = std::to_string(k);
  while (num.size() < 3)
    num = "0" + num;
  return stem + "." + num;
}

} // namespace stw::corpus
