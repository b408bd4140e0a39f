// Every byte of a small installer, flipped and zeroed in turn: a read that
// succeeds must have produced each file with exactly the package's bytes,
// the support files it extracted at start-up included. Runs in memory, so
// the whole sweep costs seconds.
#include <gtest/gtest.h>

#include "Harness.h"
#include "TestSupport.h"

using namespace stw;
using namespace stw::test;

namespace {

// A package as small as the format allows: a support DLL (stored or
// compressed) and two installable files.
PackageManifest Tiny(bool compressDll) {
  PackageManifest m;
  m.interfaceStrings = DefaultInterfaceStrings();
  m.publisher = "P";
  m.productKey = "T";
  m.version = "1";
  m.releaseDate = 46000;
  m.userType = 1;
  m.folderDefaults[0][0] = "%PROGRAMFILES%\\T";
  m.supportDll = BuildSource{"hooks.dll", "", TextBytes(200, 91), compressDll};
  m.files.push_back(InlineFile("UnStowa32.exe", RandomBytes(64, 92)));
  m.files.push_back(InlineFile("a.txt", TextBytes(300, 93)));
  BuildComponent c;
  c.name = "C";
  BuildFolder app;
  app.name = "%APPFOLDER%";
  BuildItem it;
  it.file.DataIndex = 2;  // a.txt, after the DLL and the uninstaller
  app.items.push_back(it);
  c.root.folders.push_back(app);
  c.root.withItems = false;
  m.components.push_back(c);
  return m;
}

struct Outcome {
  bool read = false;
  int wrongFiles = 0;
};

// Reads the package as start-up does and extracts every data index.
Outcome ReadAndExtract(const std::string& bytes, const std::vector<std::string>& expected) {
  Outcome out;
  fuzz::Machine m(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  try {
    m.pkg.OpenPackage();
    TSetupReader(m.pkg, m.def).ReadWholeDefinition({});
  } catch (const ESetupException&) {
    return out;
  }
  out.read = true;
  const TFileTables& t = m.pkg.Tables;
  m.fs.AddDirectory("C:\\Out");
  for (size_t i = 0; i < t.Count() && i < expected.size(); ++i) {
    const std::string* content = nullptr;
    std::string target = "C:\\Out\\" + std::to_string(i);
    if (i < m.pkg.TempFilePaths.size()) {
      content = m.fs.Content(m.pkg.TempFilePaths[i]);
    } else {
      try {
        m.pkg.ExtractPackageFile(target, static_cast<int>(i), false);
        content = m.fs.Content(target);
      } catch (const ESetupException&) {
        continue;  // refused: nothing under the target's name
      }
    }
    if (!content || *content != expected[i]) ++out.wrongFiles;
  }
  return out;
}

TEST(ByteSweep, NoFlippedOrZeroedByteGivesAFileWithOtherBytes) {
  for (const bool compressDll : {false, true}) {
    TestMachine machine;
    const std::string file = machine.Work() + "tiny.exe";
    const PackageManifest man = Tiny(compressDll);
    BuildPackage(man, machine.Native(file));
    const std::string good = machine.ReadFile(file);
    const std::vector<std::string> expected = {*man.supportDll->content, *man.files[0].content,
                                               *man.files[1].content};
    const Outcome base = ReadAndExtract(good, expected);
    ASSERT_TRUE(base.read);
    ASSERT_EQ(base.wrongFiles, 0);
    int reads = 0, refused = 0, wrong = 0;
    std::string firstWrong;
    for (size_t pos = 0; pos < good.size(); ++pos) {
      for (const int mutation : {0, 1}) {
        std::string bad = good;
        bad[pos] = mutation == 0 ? static_cast<char>(~bad[pos]) : '\0';
        if (bad == good) continue;
        const Outcome o = ReadAndExtract(bad, expected);
        reads += o.read;
        refused += !o.read;
        if (o.wrongFiles) {
          ++wrong;
          if (firstWrong.empty()) firstWrong = std::to_string(pos) + (mutation ? " zeroed" : " flipped");
        }
      }
    }
    EXPECT_EQ(wrong, 0) << (compressDll ? "compressed" : "stored") << " DLL: first at byte " << firstWrong;
    // The sweep reached both outcomes, so it tested something.
    EXPECT_GT(reads, 100);
    EXPECT_GT(refused, 100);
    std::printf("byte sweep (%s DLL): %zu bytes, %d reads succeeded, %d refused\n",
                compressDll ? "compressed" : "stored", good.size(), reads, refused);
  }
}

}  // namespace
