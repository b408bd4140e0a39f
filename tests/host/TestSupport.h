// A machine for the tests: the simulated machine on the host, the real
// file system under Wine. Tests speak Windows paths on both.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "builder/PackageBuilder.h"
#include "package/Definition.h"
#include "platform/Platform.h"
#include "platform/ScriptedDialogs.h"
#ifndef _WIN32
#include "platform/host/HostPlatform.h"
#endif

namespace stw::test {

class TestMachine {
 public:
  TestMachine();
  ~TestMachine();
  IFileSystem& Fs() { return *fs_; }
  ScriptedDialogs& Dialogs() { return dialogs_; }
  // A fresh folder for this test, as a Windows path with a trailing "\".
  const std::string& Work() const { return work_; }
  std::string Native(const std::string& path) const;
  std::string ReadFile(const std::string& path) const;
  void WriteFile(const std::string& path, const std::string& bytes) const;
  bool Exists(const std::string& path) const;
  void Remove(const std::string& path) const;
  void Rename(const std::string& from, const std::string& to) const;
  std::vector<std::string> List(const std::string& folder) const;  // names
  // Holds a file open without sharing, as another program would.
  void HoldOpen(const std::string& path);
  void ReleaseAll();
  // Whether a replace-at-restart of `to` by some file is scheduled.
  bool RestartReplaceScheduled(const std::string& to) const;
  // Last-write time of a file as a local date-time.
  double LastWriteTime(const std::string& path) const;

  // The machine's registry and system facts, made on first use: the
  // simulated machine's on the host, the real ones under Wine (where the
  // tests must use keys of their own and delete them).
  IRegistry& Registry();
  ISystem& System();
  // The sandbox folder of the simulated machine; "" on Windows.
  std::string MachineRoot() const;
  // Whether the deletion of `path` at the next restart is scheduled.
  bool DeleteAtRestartScheduled(const std::string& path) const;

 private:
  std::unique_ptr<IFileSystem> fs_;
  ScriptedDialogs dialogs_;
  std::string root_;  // native folder removed at the end
  std::string work_;
  std::vector<void*> held_;
  std::unique_ptr<IRegistry> registry_;
  std::unique_ptr<ISystem> system_;
};

// A manifest with a little of everything, built from inline contents.
// A 24-bit BMP written straight from the format (not by any code of ours),
// rows stored from the bottom; `colour(x, y)` with y from
// the top, as 0x00RRGGBB.
template <class Colour>
std::string Bmp24(int w, int h, Colour colour) {
  const int row = (w * 3 + 3) / 4 * 4;
  const uint32_t size = 54 + static_cast<uint32_t>(row * h);
  std::string b = "BM";
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
  };
  auto u16 = [&](uint32_t v) {
    b.push_back(static_cast<char>(v));
    b.push_back(static_cast<char>(v >> 8));
  };
  u32(size);
  u32(0);
  u32(54);
  u32(40);
  u32(static_cast<uint32_t>(w));
  u32(static_cast<uint32_t>(h));
  u16(1);
  u16(24);
  for (int i = 0; i < 6; ++i) u32(0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      const uint32_t c = colour(x, y);
      b.push_back(static_cast<char>(c));
      b.push_back(static_cast<char>(c >> 8));
      b.push_back(static_cast<char>(c >> 16));
    }
    b.append(static_cast<size_t>(row - w * 3), '\0');
  }
  return b;
}

PackageManifest SampleManifest();
// The manifest with a support DLL "hooks.dll" (a stand-in's bytes): a
// support file goes before the product's, so their data indices move up.
PackageManifest WithSupportDll(PackageManifest m);
// A file of the manifest with its bytes inline and the time 2025-12-09 12:00.
BuildFile InlineFile(const std::string& name, std::string content, uint64_t version = ~0ull);
std::string RandomBytes(size_t n, unsigned seed);
std::string TextBytes(size_t n, unsigned seed);

// Registry data written by hand, byte by byte, as the package stream lays
// them out (independently of the builder's writer).
struct RegistryStream {
  std::string b;
  RegistryStream& Tag(int t) {
    b.push_back(static_cast<char>(t));
    return *this;
  }
  RegistryStream& Str(const std::string& s) {
    b.push_back(static_cast<char>(s.size() & 0xFF));
    b.push_back(static_cast<char>(s.size() >> 8));
    b += s;
    return *this;
  }
  RegistryStream& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
};

// An opened package with its definition read.
struct OpenedPackage {
  explicit OpenedPackage(TestMachine& m) : pkg(m.Fs(), m.Dialogs()) {}
  TSetupPackage pkg;
  TSetupDefinition def;
};
std::unique_ptr<OpenedPackage> OpenAndRead(TestMachine& m, const std::string& file,
                                           const TSetupReader::Options& opt = {});

// Replaces bytes of a file at an offset.
void PatchFile(TestMachine& m, const std::string& path, uint64_t offset, const std::string& bytes);
std::string Le32(int32_t v);
std::string Le64(int64_t v);

// A name no other test run uses, for registry keys shared with the system.
std::string UniqueName(const std::string& prefix);

// A command line split as the system's reader splits it for a program:
// double quotes group and are removed (our command lines hold no quote
// inside an argument).
std::vector<std::string> SplitCommandLine(const std::string& line);

#ifndef _WIN32
// Runs a shell command, returning its exit status and what it printed
// (standard error included).
std::pair<int, std::string> RunCommand(const std::string& command);
#endif

// The bytes of a minimal 64-bit PE image (a DLL without code) whose only
// resource is a version resource (VS_VERSIONINFO) with the given file
// version: enough for the system's version library and for the scanner of
// the simulated machine alike.
std::string PeImageWithVersion(uint64_t fileVersion);
// Just the version resource itself: the "VS_VERSION_INFO" key, padding and
// the fixed file information.
std::string VersionResource(uint64_t fileVersion);

}  // namespace stw::test
