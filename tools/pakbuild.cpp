// pakbuild: builds installer packages from a JSON manifest, shows what a
// package holds, and extracts its files.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "base/PathUtf8.h"
#include "base/Text.h"
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
    "  pakbuild build MANIFEST.json OUTPUT.exe   write the installer file (and volumes)\n"
    "  pakbuild inspect FILE [options]           print the package's definition as JSON\n"
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

int Build(const std::string& manifest, const std::string& out) {
  const PackageManifest m = LoadManifest(manifest);
  const BuildReport r = BuildPackage(m, out);
  uint64_t size = 0, stored = 0;
  for (size_t i = 0; i < r.sizes.size(); ++i) size += r.sizes[i], stored += r.storedSizes[i];
  std::printf("%s: %zu files (%llu bytes, %llu stored), package %llu bytes in %d file%s\n", out.c_str(),
              r.sizes.size(), static_cast<unsigned long long>(size), static_cast<unsigned long long>(stored),
              static_cast<unsigned long long>(r.packageSize), r.volumes, r.volumes == 1 ? "" : "s");
  return 0;
}

int Inspect(const std::string& file, const std::vector<std::string>& opts) {
  Opened o;
  OpenAndRead(o, file, opts);
  std::cout << DefinitionToJson(o.pkg, o.def).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
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
  if (cmd == "build" && args.size() == 3) return Build(args[1], args[2]);
  if (cmd == "inspect") return Inspect(args[1], {args.begin() + 2, args.end()});
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
