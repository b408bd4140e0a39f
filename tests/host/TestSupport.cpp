#include "TestSupport.h"

#include <filesystem>
#include <fstream>
#include <random>

#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/Manifest.h"

#ifdef _WIN32
#include "platform/win32/Windows.h"

#include "platform/Factory.h"
#else
#include <sys/stat.h>
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

bool TestMachine::RestartReplaceScheduled(const std::string& to) const {
#ifdef _WIN32
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0, size = 0;
  RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size);
  std::u16string buf(size / 2 + 1, u'\0');
  const bool ok = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                                   reinterpret_cast<BYTE*>(buf.data()), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) return false;
  // REG_MULTI_SZ of pairs "\??\from", "!\??\to" (the "!" marks replace).
  const std::string all = AsciiLower(Utf16ToUtf8(buf));
  return all.find(AsciiLower(to)) != std::string::npos;
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

static BuildFile InlineFile(const std::string& name, std::string content, uint64_t version = ~0ull) {
  BuildFile f;
  f.name = name;
  f.content = std::move(content);
  f.time = 46000.5;  // 2025-12-09 12:00
  f.version = version;
  return f;
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

}  // namespace stw::test
