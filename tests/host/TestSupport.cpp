#include "TestSupport.h"

#include <filesystem>
#include <fstream>
#include <cstdio>
#include <random>

#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/Manifest.h"

#ifdef _WIN32
#include "platform/win32/Windows.h"

#include "platform/Factory.h"
#else
#include <sys/stat.h>
#include <sys/wait.h>
#endif

namespace stw::test {

namespace fs = std::filesystem;

TestMachine::TestMachine() {
  std::random_device rd;
  const std::string name = "stwtest-" + std::to_string(rd()) + std::to_string(rd());
#ifdef _WIN32
  fs_ = CreateNativeFileSystem();
  work_ = fs_->TempFolder() + name + "\\";
  root_ = work_;
  fs::create_directories(Utf8ToPath(work_));
#else
  root_ = PathToUtf8(fs::temp_directory_path() / name);
  fs_ = std::make_unique<HostFileSystem>(root_);
  work_ = "C:\\work\\";
  fs::create_directories(Native(work_));
#endif
}

TestMachine::~TestMachine() {
  ReleaseAll();
  std::error_code ec;
  fs::remove_all(Utf8ToPath(root_), ec);
}

std::string TestMachine::Native(const std::string& path) const {
#ifdef _WIN32
  return path;
#else
  return static_cast<HostFileSystem&>(*fs_).NativePath(path);
#endif
}

std::string TestMachine::ReadFile(const std::string& path) const {
  std::ifstream f(Utf8ToPath(Native(path)), std::ios::binary);
  EXPECT_TRUE(f.good()) << "cannot read " << path;
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void TestMachine::WriteFile(const std::string& path, const std::string& bytes) const {
  fs::create_directories(Utf8ToPath(Native(path)).parent_path());
  std::ofstream f(Utf8ToPath(Native(path)), std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool TestMachine::Exists(const std::string& path) const { return fs::exists(Utf8ToPath(Native(path))); }
void TestMachine::Remove(const std::string& path) const { fs::remove(Utf8ToPath(Native(path))); }
void TestMachine::Rename(const std::string& from, const std::string& to) const {
  fs::rename(Utf8ToPath(Native(from)), Utf8ToPath(Native(to)));
}

std::vector<std::string> TestMachine::List(const std::string& folder) const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Utf8ToPath(Native(folder)))) names.push_back(PathToUtf8(e.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

void TestMachine::HoldOpen(const std::string& path) {
#ifdef _WIN32
  const std::u16string w = Utf8ToUtf16(path);
  HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(w.c_str()), GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  held_.push_back(h);
#else
  static_cast<HostFileSystem&>(*fs_).HoldOpen(path);
#endif
}

void TestMachine::ReleaseAll() {
#ifdef _WIN32
  for (void* h : held_) CloseHandle(static_cast<HANDLE>(h));
#endif
  held_.clear();
}

#ifdef _WIN32
namespace {
// The moves scheduled for the next restart: pairs "\??\from" and
// "!\??\to" (replace) or "" (delete). The empty target is why the whole
// buffer is split, not read as a list that ends at the first empty string.
std::vector<std::pair<std::string, std::string>> PendingFileRenames() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return {};
  DWORD type = 0, size = 0;
  RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size);
  std::u16string buf(size / 2 + 1, u'\0');
  const bool ok = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                                   reinterpret_cast<BYTE*>(buf.data()), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) return {};
  buf.resize(size / 2);
  std::vector<std::string> entries;
  for (size_t start = 0; start < buf.size();) {
    size_t end = buf.find(u'\0', start);
    if (end == std::u16string::npos) end = buf.size();
    entries.push_back(Utf16ToUtf8(buf.substr(start, end - start)));
    start = end + 1;
  }
  auto bare = [](std::string p) {
    if (StartsWith(p, "!")) p.erase(0, 1);
    if (StartsWith(p, "\\??\\")) p.erase(0, 4);
    return p;
  };
  std::vector<std::pair<std::string, std::string>> moves;
  for (size_t i = 0; i + 1 < entries.size() && !entries[i].empty(); i += 2)
    moves.emplace_back(bare(entries[i]), bare(entries[i + 1]));
  return moves;
}
}  // namespace
#endif

bool TestMachine::RestartReplaceScheduled(const std::string& to) const {
#ifdef _WIN32
  for (const auto& [from, target] : PendingFileRenames())
    if (EqualsIgnoreAsciiCase(target, to)) return true;
  return false;
#else
  for (const std::string& line : static_cast<HostFileSystem&>(*fs_).PendingRenames())
    if (EndsWith(line, "\t" + to)) return true;
  return false;
#endif
}

double TestMachine::LastWriteTime(const std::string& path) const {
#ifdef _WIN32
  const std::u16string w = Utf8ToUtf16(path);
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(reinterpret_cast<LPCWSTR>(w.c_str()), GetFileExInfoStandard, &a)) return -1;
  FILETIME local;
  FileTimeToLocalFileTime(&a.ftLastWriteTime, &local);
  const uint64_t t = (static_cast<uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  // 100 ns units since 1601-01-01; 109205 days lie between it and 1899-12-30.
  return static_cast<double>(t) / 864000000000.0 - 109205.0;
#else
  struct stat st{};
  if (::stat(Native(path).c_str(), &st) != 0) return -1;
  return UnixToDateTime(st.st_mtime);
#endif
}

IRegistry& TestMachine::Registry() {
  if (!registry_) {
#ifdef _WIN32
    registry_ = CreateNativeRegistry();
#else
    registry_ = std::make_unique<HostRegistry>(root_);
#endif
  }
  return *registry_;
}

ISystem& TestMachine::System() {
  if (!system_) {
#ifdef _WIN32
    system_ = CreateNativeSystem();
#else
    system_ = std::make_unique<HostSystem>(root_);
#endif
  }
  return *system_;
}

std::string TestMachine::MachineRoot() const {
#ifdef _WIN32
  return {};
#else
  return root_;
#endif
}

bool TestMachine::DeleteAtRestartScheduled(const std::string& path) const {
#ifdef _WIN32
  for (const auto& [from, target] : PendingFileRenames())
    if (EqualsIgnoreAsciiCase(from, path) && target.empty()) return true;
  return false;
#else
  for (const std::string& line : static_cast<HostFileSystem&>(*fs_).PendingRenames())
    if (line == path + "\t") return true;
  return false;
#endif
}

std::string UniqueName(const std::string& prefix) {
  std::random_device rd;
  return prefix + std::to_string(rd()) + "-" + std::to_string(rd());
}

namespace {
void Put16(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 2; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put64(std::string& s, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
}  // namespace

std::string VersionResource(uint64_t fileVersion) {
  // VS_VERSIONINFO: length, value length, type (0: binary), the key in
  // UTF-16 with its zero, padding to 32 bits, then VS_FIXEDFILEINFO.
  std::string r(92, '\0');
  Put16(r, 0, 92);
  Put16(r, 2, 52);
  Put16(r, 4, 0);
  const char* key = "VS_VERSION_INFO";
  for (size_t i = 0; key[i]; ++i) Put16(r, 6 + 2 * i, static_cast<unsigned char>(key[i]));
  const size_t f = 40;  // 6 + 32 bytes of key, rounded up to a multiple of 4
  Put32(r, f + 0, 0xFEEF04BDu);  // signature
  Put32(r, f + 4, 0x00010000u);  // structure version 1.0
  Put32(r, f + 8, static_cast<uint32_t>(fileVersion >> 32));
  Put32(r, f + 12, static_cast<uint32_t>(fileVersion));
  Put32(r, f + 16, static_cast<uint32_t>(fileVersion >> 32));  // product version
  Put32(r, f + 20, static_cast<uint32_t>(fileVersion));
  Put32(r, f + 24, 0x3Fu);  // flags mask
  Put32(r, f + 28, 0);  // flags
  Put32(r, f + 32, 0x00040004u);  // VOS_NT_WINDOWS32
  Put32(r, f + 36, 2);  // VFT_DLL
  return r;
}

std::string PeImageWithVersion(uint64_t fileVersion) {
  const std::string version = VersionResource(fileVersion);
  // Headers in the first 0x200 bytes; the one section, .rsrc, at file
  // offset 0x200 and relative virtual address 0x1000.
  constexpr uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kRsrcRva = 0x1000;
  // The resource tree: root (type RT_VERSION = 16) -> name 1 -> language
  // 0x409 -> data entry -> the version resource at section offset 88.
  std::string rsrc(88, '\0');
  Put16(rsrc, 14, 1);  // root: one entry with an id
  Put32(rsrc, 16, 16);
  Put32(rsrc, 20, 0x80000000u | 24);  // a subdirectory at 24
  Put16(rsrc, 24 + 14, 1);
  Put32(rsrc, 24 + 16, 1);
  Put32(rsrc, 24 + 20, 0x80000000u | 48);
  Put16(rsrc, 48 + 14, 1);
  Put32(rsrc, 48 + 16, 0x409);
  Put32(rsrc, 48 + 20, 72);  // a data entry at 72
  Put32(rsrc, 72, kRsrcRva + 88);  // the data, as a relative virtual address
  Put32(rsrc, 72 + 4, static_cast<uint32_t>(version.size()));
  rsrc += version;
  const uint32_t rsrcSize = static_cast<uint32_t>(rsrc.size());
  const uint32_t rawSize = (rsrcSize + kFileAlign - 1) / kFileAlign * kFileAlign;

  std::string pe(kFileAlign + rawSize, '\0');
  pe[0] = 'M';
  pe[1] = 'Z';
  Put32(pe, 0x3C, 0x40);  // e_lfanew
  pe.replace(0x40, 4, std::string("PE\0\0", 4));
  const size_t fh = 0x44;  // IMAGE_FILE_HEADER
  Put16(pe, fh + 0, 0x8664);  // AMD64
  Put16(pe, fh + 2, 1);  // sections
  Put16(pe, fh + 16, 240);  // size of the PE32+ optional header
  Put16(pe, fh + 18, 0x2022);  // executable image, large address aware, DLL
  const size_t oh = fh + 20;  // IMAGE_OPTIONAL_HEADER64
  Put16(pe, oh + 0, 0x20B);
  Put32(pe, oh + 8, rawSize);  // size of initialised data
  Put32(pe, oh + 20, kRsrcRva);  // base of code
  Put64(pe, oh + 24, 0x180000000ull);  // image base
  Put32(pe, oh + 32, kSectionAlign);
  Put32(pe, oh + 36, kFileAlign);
  Put16(pe, oh + 40, 6);  // operating system version 6.0
  Put16(pe, oh + 48, 6);  // subsystem version 6.0
  Put32(pe, oh + 56, kRsrcRva + (rsrcSize + kSectionAlign - 1) / kSectionAlign * kSectionAlign);  // image size
  Put32(pe, oh + 60, kFileAlign);  // size of the headers
  Put16(pe, oh + 68, 2);  // Windows GUI subsystem
  Put16(pe, oh + 70, 0x0140);  // dynamic base, NX compatible
  Put64(pe, oh + 72, 0x100000);  // stack reserve
  Put64(pe, oh + 80, 0x1000);  // stack commit
  Put64(pe, oh + 88, 0x100000);  // heap reserve
  Put64(pe, oh + 96, 0x1000);  // heap commit
  Put32(pe, oh + 108, 16);  // data directories
  Put32(pe, oh + 112 + 2 * 8, kRsrcRva);  // directory 2: resources
  Put32(pe, oh + 112 + 2 * 8 + 4, rsrcSize);
  const size_t sh = oh + 240;  // the section header
  pe.replace(sh, 8, std::string(".rsrc\0\0\0", 8));
  Put32(pe, sh + 8, rsrcSize);  // virtual size
  Put32(pe, sh + 12, kRsrcRva);
  Put32(pe, sh + 16, rawSize);
  Put32(pe, sh + 20, kFileAlign);  // file offset of the data
  Put32(pe, sh + 36, 0x40000040u);  // initialised data, readable
  pe.replace(kFileAlign, rsrc.size(), rsrc);
  return pe;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 r(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(r());
  return s;
}

std::string TextBytes(size_t n, unsigned seed) {
  std::mt19937 r(seed);
  static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\r\n", "setup ", "file ", "0123 "};
  std::string s;
  while (s.size() < n) s += kWords[r() % 7];
  s.resize(n);
  return s;
}

BuildFile InlineFile(const std::string& name, std::string content, uint64_t version) {
  BuildFile f;
  f.name = name;
  f.content = std::move(content);
  f.time = 46000.5;  // 2025-12-09 12:00
  f.version = version;
  return f;
}

PackageManifest WithSupportDll(PackageManifest m) {
  m.supportDll = BuildSource{"hooks.dll", "", std::string("MZ stand-in"), false};
  std::function<void(BuildFolder&)> shift = [&](BuildFolder& f) {
    for (auto& it : f.items) {
      if (it.kind == BuildItem::File) ++it.file.DataIndex;
      if (it.kind == BuildItem::Shortcut) ++it.shortcut.Target;
    }
    for (auto& child : f.folders) shift(child);
  };
  for (auto& c : m.components) shift(c.root);
  return m;
}

PackageManifest SampleManifest() {
  PackageManifest m;
  m.interfaceStrings = DefaultInterfaceStrings();
  m.publisher = "Test Works";
  m.webAddress = "https://example.invalid";
  m.productKey = "Test Product";
  m.supportAddress = "https://example.invalid/help";
  m.version = "2.5";
  m.releaseDate = 46000;
  m.welcomeLine = "Welcome line";
  m.readme = BuildSource{"readme.txt", "", TextBytes(3000, 1), true};
  m.licence = BuildSource{"licence.txt", "", TextBytes(500, 2), true};
  m.userType = 3;
  m.folderDefaults[0][0] = "%PROGRAMFILES%\\Test Product\\";
  m.folderDefaults[0][1] = "%LOCALAPPDATAROOT%\\Test Product";
  m.folderDefaults[2][0] = "%PROGRAMSMENU%\\Test Product";
  m.folderDefaults[2][1] = "%PROGRAMSMENU%\\Test Product";
  m.files.push_back(InlineFile("UnStowa32.exe", RandomBytes(5000, 3), 0x0001000000000000ull));
  m.files.push_back(InlineFile("UnStowaXP.exe", RandomBytes(5000, 4)));
  m.files.push_back(InlineFile("app.exe", TextBytes(200000, 5), 0x0002000500000007ull));
  m.files.push_back(InlineFile("random.bin", RandomBytes(70000, 6)));
  m.files.push_back(InlineFile("empty.txt", ""));
  m.files.push_back(InlineFile("notes.txt", TextBytes(1234, 7)));
  const uint16_t app = static_cast<uint16_t>(FindDataIndex(m, "app.exe"));
  BuildComponent c;
  c.name = "Program";
  c.description = "The program";
  BuildFolder appFolder;
  appFolder.name = "%APPFOLDER%";
  BuildItem f;
  f.file.DataIndex = app;
  appFolder.items.push_back(f);
  f.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, "random.bin"));
  f.file.OverwriteMode = 1;
  appFolder.items.push_back(f);
  f.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, "empty.txt"));
  f.file.OverwriteMode = 2;
  appFolder.items.push_back(f);
  c.root.folders.push_back(appFolder);
  c.root.withItems = false;
  m.components.push_back(c);
  BuildComponent d;
  d.name = "Notes";
  d.optional = true;
  d.selected = false;
  d.dependencies = {0};
  BuildFolder notes;
  notes.name = "%APPFOLDER%";
  f.file = TFileData{};
  f.file.DataIndex = static_cast<uint16_t>(FindDataIndex(m, "notes.txt"));
  notes.items.push_back(f);
  d.root.folders.push_back(notes);
  m.components.push_back(d);
  return m;
}

std::unique_ptr<OpenedPackage> OpenAndRead(TestMachine& m, const std::string& file, const TSetupReader::Options& opt) {
  auto o = std::make_unique<OpenedPackage>(m);
  o->pkg.SetupFile = file;
  o->pkg.TempFolder = m.Work() + "temp\\";
  std::filesystem::create_directories(Utf8ToPath(m.Native(o->pkg.TempFolder)));
  o->pkg.OpenPackage();
  TSetupReader(o->pkg, o->def).ReadWholeDefinition(opt);
  return o;
}

void PatchFile(TestMachine& m, const std::string& path, uint64_t offset, const std::string& bytes) {
  std::fstream f(Utf8ToPath(m.Native(path)), std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(f.good());
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Le32(int32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
  return s;
}
std::string Le64(int64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(static_cast<uint64_t>(v) >> (8 * i));
  return s;
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::string current;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) args.push_back(current);
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  if (any) args.push_back(current);
  return args;
}

#ifndef _WIN32
std::pair<int, std::string> RunCommand(const std::string& command) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return {-1, ""};
  std::string out;
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return {WEXITSTATUS(::pclose(p)), out};
}
#endif

}  // namespace stw::test
