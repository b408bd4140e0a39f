// A machine for the tests: the simulated machine on the host, the real
// file system under Wine. Tests speak Windows paths on both.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
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

 private:
  std::unique_ptr<IFileSystem> fs_;
  ScriptedDialogs dialogs_;
  std::string root_;  // native folder removed at the end
  std::string work_;
  std::vector<void*> held_;
};

// A manifest with a little of everything, built from inline contents.
PackageManifest SampleManifest();
std::string RandomBytes(size_t n, unsigned seed);
std::string TextBytes(size_t n, unsigned seed);

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

}  // namespace stw::test
