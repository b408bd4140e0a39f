#include "builder/PackageBuilder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/FrontImage.h"
#include "package/Crc32.h"

namespace stw {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- sources

std::string BuildSource::Load() const {
  if (content) return *content;
  if (path.empty()) return {};
  std::ifstream f(Utf8ToPath(path), std::ios::binary);
  if (!f) throw ESetupException("cannot read " + path);
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  return s;
}

uint64_t BuildSource::Size() const {
  if (content) return content->size();
  if (path.empty()) return 0;
  std::error_code ec;
  const auto n = fs::file_size(Utf8ToPath(path), ec);
  if (ec) throw ESetupException("cannot read " + path + ": " + ec.message());
  return n;
}

namespace {

// ---------------------------------------------------------------- byte writers

struct Bytes {
  std::string b;
  void U8(uint8_t v) { b.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { U8(v & 0xFF), U8(v >> 8); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void I64(int64_t v) { U64(static_cast<uint64_t>(v)); }
  void F64(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    U64(u);
  }
  void Raw(const std::string& s) { b += s; }
  // A data-block string: word count and UTF-8 bytes.
  void Str(const std::string& s) {
    if (s.size() > 0xFFFF) throw ESetupException("text longer than 65535 bytes: " + s.substr(0, 40) + "...");
    U16(static_cast<uint16_t>(s.size()));
    b += s;
  }
};

std::string FontBytes(const TFontRecord& f) {
  Bytes w;
  std::string name(31, '\0');
  // The face name is single-byte text; characters above U+00FF have no
  // place in it and become "?".
  const std::u16string u = Utf8ToUtf16(f.Name);
  const size_t len = std::min<size_t>(u.size(), 31);
  for (size_t i = 0; i < len; ++i) name[i] = u[i] < 256 ? static_cast<char>(u[i]) : '?';
  w.U8(static_cast<uint8_t>(len));
  w.Raw(name);
  w.I32(f.Color);
  w.U8(f.Size);
  w.U8(f.Style);
  w.U8(f.Charset);
  return w.b;
}

// A character whose low byte is the value, as the definition text and the
// file type records hold them.
void Char(std::string& s, uint8_t v) { AppendUtf8(s, v); }
void Field(std::string& s, const std::string& text) {
  s += text;
  s.push_back('\x0c');
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\r\n";
  return s;
}

// ---------------------------------------------------------------- output

// The logical package stream split over the installer file and its volume
// files; positions written earlier can be patched. Everything is written
// under temporary names beside the outputs ("<name>.part") and renamed
// only when the whole build succeeded: a failed build leaves nothing, and
// never a half-written installer under the real name.
class VolumeWriter {
 public:
  VolumeWriter(std::string path, uint32_t volumeSize) : path_(std::move(path)), v_(volumeSize) {}
  ~VolumeWriter() {
    for (auto& f : files_) f.close();
    if (finished_) return;
    std::error_code ec;
    for (size_t i = 0; i < files_.size(); ++i) std::filesystem::remove(Utf8ToPath(Part(static_cast<int>(i) + 1)), ec);
  }
  uint64_t Position() const { return pos_; }
  void Write(const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
      const int vol = v_ ? static_cast<int>(pos_ / v_) + 1 : 1;
      const uint64_t off = v_ ? pos_ % v_ : pos_;
      const size_t k = v_ ? static_cast<size_t>(std::min<uint64_t>(n, v_ - off)) : n;
      std::ofstream& f = File(vol);
      f.seekp(static_cast<std::streamoff>(off));
      f.write(p, static_cast<std::streamsize>(k));
      if (!f) throw ESetupException("cannot write " + Name(vol));
      p += k;
      n -= k;
      pos_ += k;
    }
  }
  void Write(const std::string& s) { Write(s.data(), s.size()); }
  void Patch(uint64_t at, const std::string& s) {
    const uint64_t save = pos_;
    pos_ = at;
    Write(s);
    pos_ = save;
  }
  int Volumes() const { return static_cast<int>(files_.size()); }
  void Finish() {
    for (size_t i = 0; i < files_.size(); ++i) {
      files_[i].flush();
      if (!files_[i]) throw ESetupException("cannot write " + Name(static_cast<int>(i) + 1));
      files_[i].close();
    }
    for (size_t i = 0; i < files_.size(); ++i) {
      const int vol = static_cast<int>(i) + 1;
      std::error_code ec;
      std::filesystem::rename(Utf8ToPath(Part(vol)), Utf8ToPath(Name(vol)), ec);
      if (ec) throw ESetupException("cannot rename " + Part(vol) + " to " + Name(vol) + ": " + ec.message());
    }
    finished_ = true;
  }

 private:
  std::string Name(int vol) const { return vol == 1 ? path_ : VolumeFileName(path_, vol); }
  std::string Part(int vol) const { return Name(vol) + ".part"; }
  std::ofstream& File(int vol) {
    while (static_cast<int>(files_.size()) < vol) {
      const std::string name = Part(static_cast<int>(files_.size()) + 1);
      files_.emplace_back(Utf8ToPath(name), std::ios::binary | std::ios::trunc | std::ios::out);
      if (!files_.back()) throw ESetupException("cannot create " + name);
    }
    return files_[vol - 1];
  }
  bool finished_ = false;
  std::string path_;
  uint32_t v_;
  uint64_t pos_ = 0;
  std::vector<std::ofstream> files_;
};

// One file's data as the package stores it.
struct Stored {
  std::string bytes;
  int64_t size = 0;
  uint32_t crc = 0;
  bool compressed = false;
};

Stored StoreData(const std::string& data, bool compress, const LzmaEncoderOptions& opt) {
  Stored s;
  s.size = static_cast<int64_t>(data.size());
  s.crc = Crc32(data.data(), data.size(), 0);
  if (compress && !data.empty()) {
    std::string c = LzmaEncodeBuffer(opt, data);
    if (c.size() < data.size()) {
      s.bytes = std::move(c);
      s.compressed = true;
      return s;
    }
  }
  s.bytes = data;
  return s;
}

double NowAsDateTime() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return 25569.0 + std::chrono::duration<double>(now).count() / 86400.0;
}

double SourceTime(const BuildFile& f) {
  if (f.time != 0) return f.time;
  if (!f.content && !f.path.empty()) {
    std::error_code ec;
    const auto t = fs::last_write_time(Utf8ToPath(f.path), ec);
    if (!ec) {
      const auto sys = std::chrono::file_clock::to_sys(t);
      return 25569.0 + std::chrono::duration<double>(sys.time_since_epoch()).count() / 86400.0;
    }
  }
  return NowAsDateTime();
}

// Compresses the installable files on several threads; results are handed
// out in data-index order with a bounded number held in memory.
class ParallelStore {
 public:
  ParallelStore(const std::vector<BuildFile>& files, const LzmaEncoderOptions& opt, unsigned threads)
      : files_(files), opt_(opt), results_(files.size()) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    window_ = threads * 2;
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~ParallelStore() {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) t.join();
  }
  Stored Take(size_t i) {
    std::unique_lock<std::mutex> g(m_);
    cv_.wait(g, [&] { return results_[i].has_value() || !error_.empty(); });
    if (!error_.empty()) throw ESetupException(error_);
    Stored s = std::move(*results_[i]);
    results_[i].reset();
    taken_ = i + 1;
    cv_.notify_all();
    return s;
  }

 private:
  void Work() {
    for (;;) {
      size_t i;
      {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [&] { return stop_ || (next_ < files_.size() && next_ < taken_ + window_); });
        if (stop_ || next_ >= files_.size()) return;
        i = next_++;
      }
      try {
        const BuildFile& f = files_[i];
        Stored s = f.external ? Stored{} : StoreData(f.Load(), f.compress, opt_);
        std::lock_guard<std::mutex> g(m_);
        results_[i] = std::move(s);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> g(m_);
        error_ = e.what();
      }
      cv_.notify_all();
    }
  }
  const std::vector<BuildFile>& files_;
  LzmaEncoderOptions opt_;
  std::vector<std::optional<Stored>> results_;
  std::vector<std::thread> workers_;
  std::mutex m_;
  std::condition_variable cv_;
  size_t next_ = 0, taken_ = 0, window_ = 4;
  bool stop_ = false;
  std::string error_;
};

class Writer {
 public:
  Writer(const PackageManifest& m, const std::string& out) : m_(m), w_(out, m.volumeSize) {}

  BuildReport Run() {
    const bool placeholder = m_.front.empty();
    const size_t frontSize = placeholder ? m_.frontSize : m_.front.size();
    if (placeholder && frontSize < kLocatorOffset + kLocatorSize)
      throw ESetupException("the front must have at least 152 bytes");
    // The locator and the header hold the header's and the first section's
    // positions as signed 32-bit numbers.
    if (frontSize > static_cast<size_t>(INT32_MAX) - kHeaderSize)
      throw ESetupException("the front program has " + std::to_string(frontSize) +
                            " bytes; the package must begin within the first 2 GiB of the installer file");
    const std::string bad = CheckLzmaProps(LzmaEncoderProps(m_.lzma));
    if (!bad.empty()) throw ESetupException(bad);
    const size_t supportCount = CountSupportFiles();
    const size_t n = supportCount + m_.files.size();
    tableOffsets_.assign(n, 0);
    sizes_.assign(n, 0);
    stored_.assign(n, 0);
    crcs_.assign(n, 0);
    times_.assign(n, 0);
    versions_.assign(n, ~0ull);

    // Front and locator, then the header right behind the front (the whole
    // front file, whatever it carries after its sections).
    Bytes loc;
    loc.I32(static_cast<int32_t>(frontSize));
    loc.Raw(std::string(16, '\0'));
    loc.U32(m_.volumeSize);
    std::string front;
    if (placeholder) {
      front.assign(frontSize, '\0');
      const std::string tag = "Stowa setup package front (placeholder)";
      std::copy(tag.begin(), tag.end(), front.begin());
      std::copy(loc.b.begin(), loc.b.end(), front.begin() + kLocatorOffset);
    } else {
      front = PlaceLocatorInFront(m_.front, loc.b);
    }
    w_.Write(front);
    Bytes hdr;
    const LzmaProps props = LzmaEncoderProps(m_.lzma);
    hdr.Raw(std::string(props.begin(), props.end()));
    hdr.Raw(std::string(41, '\0'));
    hdr.I32(static_cast<int32_t>(frontSize + kHeaderSize));
    hdr.Raw(std::string(24, '\0'));
    w_.Write(hdr.b);

    WriteFirstSections();
    WriteSupportFiles();
    WriteBlock(ComponentsBlock());
    WriteFileTable();
    WriteBlock(FolderTreesBlock());
    WriteBlock(m_.registryData);
    WriteBlock(FileTypesText());
    WritePrerequisites();
    WriteOptions();
    if (m_.volumeSize && w_.Position() > m_.volumeSize)
      throw ESetupException("the volume size " + std::to_string(m_.volumeSize) +
                            " is smaller than the front and setup definition (" + std::to_string(w_.Position()) +
                            " bytes), which must lie in the first file");

    WriteFileData(supportCount);
    WriteCarriedInstallers();
    PatchTables();
    w_.Finish();

    BuildReport r;
    r.packageSize = w_.Position();
    r.frontSize = frontSize;
    r.volumes = w_.Volumes();
    r.offsets = tableOffsets_;
    r.sizes = sizes_;
    r.storedSizes = stored_;
    r.checksums = crcs_;
    r.supportFiles = supportCount;
    r.tablePosition = tablePos_;
    return r;
  }

 private:
  size_t CountSupportFiles() const {
    size_t c = 0;
    for (const auto* s : {&m_.readme, &m_.licence, &m_.supportDll, &m_.extraFile})
      if (*s && !(*s)->name.empty()) ++c;
    if (m_.backgroundEnabled && m_.backgroundImage && !m_.backgroundImage->name.empty()) ++c;
    return c;
  }

  void WriteBlock(const std::string& content) {
    Bytes b;
    if (content.empty()) {
      b.I32(0);
      w_.Write(b.b);
      return;
    }
    if (content.size() > static_cast<size_t>(kMaxBlockSize)) throw ESetupException("a definition block is too large");
    bool compress = m_.blocks != BlockMode::Stored;
    std::string c;
    if (compress) {
      c = LzmaEncodeBuffer(m_.lzma, content);
      if (m_.blocks == BlockMode::Auto && c.size() >= content.size()) compress = false;
    }
    if (compress) {
      b.I32(static_cast<int32_t>(content.size()));
      b.I32(static_cast<int32_t>(c.size()));
      b.Raw(c);
    } else {
      b.I32(-static_cast<int32_t>(content.size()));
      b.Raw(content);
    }
    w_.Write(b.b);
  }

  std::string DefinitionText() const {
    std::string t;
    Field(t, m_.publisher);
    Field(t, m_.webAddress);
    Field(t, m_.productKey);
    Field(t, m_.supportAddress);
    Field(t, m_.version);
    Field(t, std::to_string(m_.releaseDate));
    Field(t, m_.welcomeLine);
    auto name = [](const std::optional<BuildSource>& s) { return s ? s->name : std::string(); };
    Field(t, name(m_.readme));
    std::string licence = name(m_.licence);
    if (m_.licenceStarred && m_.licence) licence.insert(0, 1, '*');
    Field(t, licence);
    Field(t, name(m_.supportDll));
    Field(t, name(m_.extraFile));
    Char(t, m_.userType);
    for (const auto& pair : m_.folderDefaults) {
      Field(t, pair[0]);
      Field(t, pair[1]);
    }
    if (m_.backgroundEnabled) {
      Field(t, name(m_.backgroundImage));
      Field(t, m_.backgroundTopText);
      Field(t, m_.backgroundBottomText);
    }
    return t;
  }

  void WriteFirstSections() {
    WriteBlock(JoinLines(m_.interfaceStrings));
    WriteBlock(DefinitionText());
    Bytes b;
    b.U8(m_.cfaOptions);
    w_.Write(b.b);
    if (m_.cfaOptions & 2) WriteBlock(m_.cfaMessage);
    b.b.clear();
    b.U8(m_.section4Flags);
    w_.Write(b.b);
    if (m_.section4Flags & 32) WriteBlock(m_.section4Text);
    for (int i = 0; i < 2; ++i) {
      if (!(m_.section4Flags & (64 << i))) continue;
      Bytes t;
      t.I32(m_.section4Tables[i]);
      t.Raw(std::string(8 + 20 * static_cast<size_t>(m_.section4Tables[i]), '\0'));
      w_.Write(t.b);
    }
    b.b.clear();
    b.U8(m_.portableMode);
    if (m_.portableMode) {
      b.U8(m_.removableMarkerMode);
      b.U8(m_.showAllDrivesOption);
    }
    w_.Write(b.b);
    if (m_.portableMode) WriteBlock(m_.portableFolder);
    b.b.clear();
    b.Raw(std::string(68, '\0'));
    b.U8(m_.showAdvanced);
    b.U8(m_.paintGradient);
    b.Raw(FontBytes(m_.formFont));
    b.U8(m_.backgroundEnabled ? 1 : 0);
    if (m_.backgroundEnabled) {
      const TBackgroundSettings& s = m_.backgroundSettings;
      b.I32(s.TopColor);
      b.I32(s.BottomColor);
      b.I32(s.TopShadowColor);
      b.I32(s.BottomShadowColor);
      b.U8(s.ImageTransparent);
      b.U8(s.TopShadow);
      b.U8(s.BottomShadow);
      b.Raw(FontBytes(s.TopFont));
      b.Raw(FontBytes(s.BottomFont));
    }
    w_.Write(b.b);
  }

  void WriteSupportFiles() {
    size_t index = 0;
    auto one = [&](const std::optional<BuildSource>& s) {
      if (!s || s->name.empty()) return;
      const std::string data = s->Load();
      Stored st = StoreData(data, s->compress, m_.lzma);
      Bytes b;
      b.I32(static_cast<int32_t>(st.bytes.size()));
      b.I32(static_cast<int32_t>(st.size));
      w_.Write(b.b);
      tableOffsets_[index] = static_cast<int64_t>(w_.Position());
      sizes_[index] = st.size;
      stored_[index] = static_cast<int64_t>(st.bytes.size());
      crcs_[index] = st.crc;
      times_[index] = NowAsDateTime();
      w_.Write(st.bytes);
      ++index;
    };
    one(m_.readme);
    one(m_.licence);
    one(m_.supportDll);
    one(m_.extraFile);
    if (m_.backgroundEnabled) one(m_.backgroundImage);
  }

  std::string ComponentsBlock() const {
    if (m_.components.empty()) return {};
    if (m_.components.size() > 255) throw ESetupException("a package holds at most 255 components");
    Bytes b;
    b.U8(static_cast<uint8_t>(m_.components.size()));
    for (const auto& c : m_.components) {
      b.Str(c.name);
      b.U8((c.optional ? 2 : 0) | (c.selected ? 1 : 0));
      b.U8(static_cast<uint8_t>(c.dependencies.size()));
      for (uint8_t d : c.dependencies) b.U8(d);
      b.Str(c.description);
    }
    return b.b;
  }

  void WriteFileTable() {
    std::vector<std::string> names;
    for (const auto& f : m_.files) names.push_back(f.name);
    WriteBlock(JoinLines(names));
    tablePos_ = w_.Position();
    // Offsets and sizes are known only once the data are written; the
    // tables are patched then.
    w_.Write(std::string(tableOffsets_.size() * 44, '\0'));
  }

  void PatchTables() {
    Bytes t;
    for (int64_t v : tableOffsets_) t.I64(v);
    for (int64_t v : sizes_) t.I64(v);
    for (int64_t v : stored_) t.I64(v);
    for (double v : times_) t.F64(v);
    for (uint64_t v : versions_) t.U64(v);
    for (uint32_t v : crcs_) t.U32(v);
    w_.Patch(tablePos_, t.b);
    for (const auto& [pos, bytes] : patches_) w_.Patch(pos, bytes);
  }

  static void WriteFolderBody(Bytes& b, const BuildFolder& f) {
    for (const auto& c : f.folders) {
      const std::u16string name = Utf8ToUtf16(c.name);
      if (name.size() > 253) throw ESetupException("folder name longer than 253 characters: " + c.name);
      b.U8(static_cast<uint8_t>(name.size()));
      for (char16_t ch : name) b.U16(ch);
      b.U8(c.grantUsers ? 1 : 0);
      WriteFolderBody(b, c);
    }
    if (!f.withItems) {
      b.U8(255);
      return;
    }
    b.U8(254);
    if (f.items.empty()) {
      b.U8(255);  // an item byte that carries nothing, then the end
      b.U8(255);
      return;
    }
    for (const auto& it : f.items) {
      switch (it.kind) {
        case BuildItem::Url:
          b.U8(32);
          b.Str(it.url.Url);
          b.Str(it.url.Name);
          b.U8(it.url.IconIndex & 15);
          b.U16(it.url.IconFile);
          break;
        case BuildItem::Shortcut:
          b.U8(static_cast<uint8_t>(64 | (it.shortcut.StartPinOption & 3)));
          b.U16(it.shortcut.Target);
          b.Str(it.shortcut.Name);
          b.Str(it.shortcut.Description);
          b.Str(it.shortcut.Arguments);
          b.U8(it.shortcut.IconIndex & 15);
          b.U16(it.shortcut.IconFile);
          break;
        case BuildItem::File: {
          const TFileData& d = it.file;
          b.U8(static_cast<uint8_t>(128 | (d.OverwriteMode & 3) | (d.Permanent ? 4 : 0) | (d.SelfRegister ? 8 : 0)));
          b.U8(static_cast<uint8_t>((it.keep ? 1 : 0) | (d.RunAfter ? 16 : 0) | (d.RunQueueFlag ? 32 : 0) |
                                    (d.RunPathFlag ? 64 : 0)));
          b.U16(d.DataIndex);
          if (d.RunAfter) b.Str(d.RunParams);
          break;
        }
        case BuildItem::Other:
          if (it.otherByte == 255) throw ESetupException("255 ends an item list and cannot stand inside one");
          if ((it.otherByte & 0xF0) == 32 || (it.otherByte & 0xF0) == 64 || (it.otherByte & 0xF0) == 128)
            throw ESetupException("item byte " + std::to_string(it.otherByte) + " carries a record");
          b.U8(it.otherByte);
          break;
      }
    }
    b.U8(255);
  }

  std::string FolderTreesBlock() const {
    Bytes b;
    for (const auto& c : m_.components) WriteFolderBody(b, c.root);
    return b.b;
  }

  std::string FileTypesText() const {
    std::string t;
    for (const auto& ft : m_.fileTypes) {
      Char(t, ft.Install ? 1 : 0);
      Field(t, ft.Description);
      Field(t, ft.Extension);
      Char(t, ft.IconFile & 0xFF);
      Char(t, ft.IconFile >> 8);
      Char(t, ft.IconIndex);
      Char(t, 0), Char(t, 0), Char(t, 0);
      if (ft.Actions.size() > 255) throw ESetupException("a file type has at most 255 actions");
      Char(t, static_cast<uint8_t>(ft.Actions.size()));
      for (const auto& a : ft.Actions) {
        Field(t, a.Verb);
        Char(t, a.Target & 0xFF);
        Char(t, a.Target >> 8);
        Char(t, 0), Char(t, 0);
        Field(t, a.Parameters);
      }
    }
    return t;
  }

  void WritePrerequisites() {
    Bytes b;
    b.U8(m_.dotNetVersions);
    w_.Write(b.b);
    if (m_.dotNetVersions) {
      b.b.clear();
      b.U8(m_.dotNetLevel);
      w_.Write(b.b);
      WriteBlock(JoinLines({m_.dotNetFile, m_.dotNetUrl}));
      carried_.push_back({w_.Position(), &m_.dotNetInstaller, 0, 0});
      b.b.clear();
      b.I64(0), b.I64(0);
      w_.Write(b.b);
    }
    b.b.clear();
    b.I32(static_cast<int32_t>(m_.prerequisites.size()));
    w_.Write(b.b);
    for (const auto& p : m_.prerequisites) {
      WriteBlock(JoinLines(p.lines));
      carried_.push_back({w_.Position(), &p.installer, p.position, p.size});
      b.b.clear();
      b.I64(p.position), b.I64(p.size);
      w_.Write(b.b);
    }
  }

  void WriteOptions() {
    Bytes b;
    b.U8(m_.finishFlags);
    if (m_.finishFlags & 4) b.U16(m_.finishExeIndex);
    if (m_.finishFlags & 8) b.U16(m_.finishUnused);
    w_.Write(b.b);
    if (m_.finishFlags & 12) WriteBlock(m_.finishParams);
    b.b.clear();
    b.U16(m_.mainExecutable);
    b.U16(m_.mainExtra);
    w_.Write(b.b);
    if (!(m_.mainExecutable == kNoIndex && m_.mainExtra == kNoIndex)) WriteBlock(m_.mainParameters);
    b.b.clear();
    b.U8(m_.uninstallShortcut);
    b.U16(m_.uninstallLinkedFile);
    b.U8(m_.setupOptionBits);
    b.U16(m_.minimumPreviousDate);
    w_.Write(b.b);
    if (m_.setupOptionBits & 2) WriteBlock(m_.upgradeMessages);
    if (m_.setupOptionBits & 4) WriteBlock(m_.windowClasses);
    if (m_.setupOptionBits & 8) WriteBlock(m_.windowTitles);
  }

  void WriteFileData(size_t first) {
    ParallelStore store(m_.files, m_.lzma, m_.threads);
    for (size_t i = 0; i < m_.files.size(); ++i) {
      const BuildFile& f = m_.files[i];
      Stored s = store.Take(i);
      const size_t k = first + i;
      times_[k] = SourceTime(f);
      versions_[k] = f.version;
      if (f.external) {
        tableOffsets_[k] = -1;
        sizes_[k] = static_cast<int64_t>(f.content ? f.content->size() : 0);
        continue;
      }
      tableOffsets_[k] = static_cast<int64_t>(w_.Position());
      sizes_[k] = s.size;
      stored_[k] = static_cast<int64_t>(s.bytes.size());
      crcs_[k] = s.crc;
      w_.Write(s.bytes);
    }
  }

  void WriteCarriedInstallers() {
    for (const Carried& c : carried_) {
      Bytes b;
      if (c.source && !c.source->name.empty()) {
        const std::string data = c.source->Load();
        b.I64(static_cast<int64_t>(w_.Position()));
        b.I64(static_cast<int64_t>(data.size()));
        w_.Write(data);
      } else {
        b.I64(c.position);
        b.I64(c.size);
      }
      patches_.emplace_back(c.at, b.b);
    }
  }

  struct Carried {
    uint64_t at;
    const BuildSource* source;
    int64_t position, size;
  };
  const PackageManifest& m_;
  VolumeWriter w_;
  uint64_t tablePos_ = 0;
  std::vector<int64_t> tableOffsets_, sizes_, stored_;
  std::vector<uint32_t> crcs_;
  std::vector<double> times_;
  std::vector<uint64_t> versions_;
  std::vector<Carried> carried_;
  std::vector<std::pair<uint64_t, std::string>> patches_;
};

}  // namespace

int FindDataIndex(const PackageManifest& m, const std::string& name) {
  int support = 0;
  for (const auto* s : {&m.readme, &m.licence, &m.supportDll, &m.extraFile})
    if (*s && !(*s)->name.empty()) ++support;
  if (m.backgroundEnabled && m.backgroundImage && !m.backgroundImage->name.empty()) ++support;
  for (size_t i = 0; i < m.files.size(); ++i)
    if (m.files[i].name == name) return support + static_cast<int>(i);
  return -1;
}

BuildReport BuildPackage(const PackageManifest& m, const std::string& outPath) {
  Writer w(m, outPath);
  return w.Run();
}

}  // namespace stw
