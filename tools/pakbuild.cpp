// pakbuild: builds installer packages from a JSON manifest, shows what a
// package holds, and extracts its files.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "base/PathUtf8.h"
#include "base/Text.h"
#include "builder/FrontImage.h"
#include "builder/Manifest.h"
#include "package/Definition.h"
#include "platform/Factory.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using namespace stw;

namespace {

const char kUsage[] =
    "usage:\n"
    "  pakbuild build MANIFEST.json OUTPUT.exe [--front FRONT.exe | --placeholder-front]\n"
    "                                            write the installer file (and volumes)\n"
    "      --front FRONT.exe     the installer front (src/front) to put before the package;\n"
    "                            default: front.exe beside pakbuild, else $STW_FRONT\n"
    "      --placeholder-front   a front that only holds the package locator: the file\n"
    "                            cannot run by itself, only be named to setup.exe (tests)\n"
    "  pakbuild inspect FILE [options]           print the package's definition as JSON\n"
    "  pakbuild read FILE [options]              open the package, read the whole definition\n"
    "                                            and print one line of counts (start-up timing)\n"
    "  pakbuild extract FILE --by-index DIR [options]\n"
    "                                            write every data index's content to DIR/<index>\n"
    "options: /silent (skip readme, licence and background image as a silent run does),\n"
    "         /nodesktop, /portable [folder]\n";

// A private folder for the support files that reading extracts.
struct TempDir {
  fs::path path;
  TempDir() {
    std::random_device rd;
    for (int i = 0; i < 100; ++i) {
      path = fs::temp_directory_path() / ("pakbuild-" + std::to_string(rd()));
      if (fs::create_directory(path)) return;
    }
    throw ESetupException("cannot create a temporary folder");
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string WithSeparator() const {
    std::string s = PathToUtf8(path);
#ifdef _WIN32
    return s + "\\";
#else
    return s + "/";
#endif
  }
};

struct Opened {
  std::unique_ptr<IFileSystem> fs = CreateNativeFileSystem();
  ConsoleDialogs dialogs;
  TempDir temp;
  TSetupPackage pkg{*fs, dialogs};
  TSetupDefinition def;
};

void OpenAndRead(Opened& o, const std::string& file, const std::vector<std::string>& opts) {
  TSetupReader::Options ro;
  ro.params = opts;
  for (const auto& a : opts) {
    if (EqualsIgnoreAsciiCase(a, "/silent") || EqualsIgnoreAsciiCase(a, "-silent") || EqualsIgnoreAsciiCase(a, "/s"))
      ro.silent = true;
    if (EqualsIgnoreAsciiCase(a, "/nodesktop") || EqualsIgnoreAsciiCase(a, "-nodesktop")) ro.noDesktop = true;
  }
  o.pkg.SetupFile = file;
  o.pkg.TempFolder = o.temp.WithSeparator();
  o.pkg.OpenPackage();
  TSetupReader(o.pkg, o.def).ReadWholeDefinition(ro);
}

// The folder of this program's own file; empty when it cannot be told.
fs::path OwnFolder() {
#ifdef _WIN32
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  return fs::path(path).parent_path();
#else
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
#endif
}

// Which front goes before the package: the one named, else front.exe
// beside this program (where a release puts them together), else the
// one the environment names. Without any, no installer is written: a file
// with a placeholder front looks like an installer and runs nowhere.
std::string FindFront(const std::string& given, std::string& description) {
  if (!given.empty()) {
    description = given;
    return given;
  }
  const fs::path folder = OwnFolder();
  std::error_code ec;
  if (!folder.empty() && fs::is_regular_file(folder / "front.exe", ec)) {
    description = PathToUtf8(folder / "front.exe") + " (beside pakbuild)";
    return PathToUtf8(folder / "front.exe");
  }
#ifdef _WIN32
  const wchar_t* env = _wgetenv(L"STW_FRONT");
  const std::string fromEnv = env ? Utf16ToUtf8(reinterpret_cast<const char16_t*>(env)) : std::string();
#else
  const char* env = std::getenv("STW_FRONT");
  const std::string fromEnv = env ? env : "";
#endif
  if (!fromEnv.empty()) {
    description = fromEnv + " (STW_FRONT)";
    return fromEnv;
  }
  throw ESetupException(
      "no installer front: none was given with --front, there is no front.exe beside pakbuild (in " +
      (folder.empty() ? std::string("its folder") : PathToUtf8(folder)) +
      "), and STW_FRONT is not set. Build the front (the target `front` of a Windows build, "
      "src/front/front.exe in its build folder) and name it with --front FILE or STW_FRONT; "
      "--placeholder-front writes a file that cannot run by itself. Nothing was written.");
}

std::string ReadFront(const std::string& path) {
  std::ifstream f(Utf8ToPath(path), std::ios::binary);
  if (!f) throw ESetupException("cannot read the installer front " + path + ". Nothing was written.");
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw ESetupException("cannot read the installer front " + path + ". Nothing was written.");
  return bytes;
}

int Build(const std::string& manifest, const std::string& out, const std::string& frontFile, bool placeholder) {
  PackageManifest m = LoadManifest(manifest);
  std::string front = "placeholder of " + std::to_string(m.frontSize) + " bytes (cannot run by itself)";
  if (!placeholder) {
    const std::string path = FindFront(frontFile, front);
    m.front = ReadFront(path);
    // Checked before anything is written, and named in the message.
    try {
      CheckFrontImage(m.front);
    } catch (const ESetupException& e) {
      std::string why = e.what();
      if (!why.empty() && why.back() == '.') why.pop_back();
      throw ESetupException(why + " (" + front + "). Nothing was written.");
    }
  }
  const BuildReport r = BuildPackage(m, out);
  uint64_t size = 0, stored = 0;
  for (size_t i = 0; i < r.sizes.size(); ++i) size += r.sizes[i], stored += r.storedSizes[i];
  std::printf("%s: %zu files (%llu bytes, %llu stored), package %llu bytes in %d file%s\n", out.c_str(),
              r.sizes.size(), static_cast<unsigned long long>(size), static_cast<unsigned long long>(stored),
              static_cast<unsigned long long>(r.packageSize), r.volumes, r.volumes == 1 ? "" : "s");
  std::printf("front: %s\n", front.c_str());
  return 0;
}

int Inspect(const std::string& file, const std::vector<std::string>& opts) {
  Opened o;
  OpenAndRead(o, file, opts);
  std::cout << DefinitionToJson(o.pkg, o.def).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  return 0;
}

// What a setup does before its first page, and no more: the time of a
// whole `read` process is the start-up cost of the package itself.
int Read(const std::string& file, const std::vector<std::string>& opts) {
  Opened o;
  OpenAndRead(o, file, opts);
  size_t entries = 0;
  std::vector<const TComponentFolder*> stack;
  for (const auto& c : o.def.Components)
    if (c.RootFolder) stack.push_back(c.RootFolder.get());
  while (!stack.empty()) {
    const TComponentFolder* f = stack.back();
    stack.pop_back();
    entries += f->Files.size();
    for (const auto& child : f->Folders) stack.push_back(child.get());
  }
  std::printf("%zu data indices, %zu installable files, %zu components, %zu file entries\n", o.pkg.Tables.Count(),
              o.def.PackageFileNames.size(), o.def.Components.size(), entries);
  return 0;
}

int Extract(const std::string& file, const std::string& dir, const std::vector<std::string>& opts) {
  Opened o;
  OpenAndRead(o, file, opts);
  fs::create_directories(Utf8ToPath(dir));
  std::string base = PathToUtf8(fs::absolute(Utf8ToPath(dir)));
  base += fs::path::preferred_separator == '\\' ? "\\" : "/";
  const size_t n = o.pkg.Tables.Count();
  size_t written = 0;
  for (size_t i = 0; i < n; ++i) {
    std::string target = base + std::to_string(i);
    if (i < o.pkg.TempFilePaths.size() && o.pkg.TempFilePaths[i] != "*") {
      fs::copy_file(Utf8ToPath(o.pkg.TempFilePaths[i]), Utf8ToPath(target), fs::copy_options::overwrite_existing);
    } else if (o.pkg.Tables.FileOffsets[i] >= 0) {
      o.pkg.ExtractPackageFile(target, static_cast<int>(i), false);
    } else if (o.pkg.Tables.FileOffsets[i] != -1) {
      // All ones marks an external file; any other negative offset is a
      // damaged table, not a file that lies elsewhere.
      throw ESetupException("The setup package is damaged: data index " + std::to_string(i) + " has the offset " +
                            std::to_string(o.pkg.Tables.FileOffsets[i]) + ".");
    } else {
      std::printf("%zu: external file, not carried in the package\n", i);
      continue;
    }
    const std::string name = i < o.pkg.TempFileNames.size() ? o.pkg.TempFileNames[i]
                                                               : o.def.PackageFileNames[i - o.pkg.TempFileNames.size()];
    std::printf("%zu: %s (%lld bytes)\n", i, name.c_str(), static_cast<long long>(o.pkg.Tables.FileSizes[i]));
    ++written;
  }
  std::printf("%zu of %zu data indices written to %s\n", written, n, dir.c_str());
  return 0;
}

int Main(std::vector<std::string> args) {
  if (args.size() < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string cmd = args[0];
  if (cmd == "build" && args.size() >= 3) {
    std::string front;
    bool placeholder = false, good = true;
    for (size_t i = 3; i < args.size() && good; ++i) {
      if (args[i] == "--front" && i + 1 < args.size() && front.empty() && !placeholder)
        front = args[++i];
      else if (args[i] == "--placeholder-front" && front.empty())
        placeholder = true;
      else
        good = false;
    }
    if (good) return Build(args[1], args[2], front, placeholder);
  }
  if (cmd == "inspect") return Inspect(args[1], {args.begin() + 2, args.end()});
  if (cmd == "read") return Read(args[1], {args.begin() + 2, args.end()});
  if (cmd == "extract" && args.size() >= 4 && args[2] == "--by-index")
    return Extract(args[1], args[3], {args.begin() + 4, args.end()});
  std::fputs(kUsage, stderr);
  return 2;
}

int Run(std::vector<std::string> args) {
  try {
    return Main(std::move(args));
  } catch (const ESetupException& e) {
    std::cerr << "pakbuild: " << e.what() << "\n";
    if (e.Reason() != e.what()) std::cerr << "  reason: " << e.Reason() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "pakbuild: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run({argv + 1, argv + argc}); }
#endif
