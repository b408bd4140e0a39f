// Fuzzer of file extraction: the input is a whole installer file. It is
// opened, its definition read (as far as it goes: once the file tables are
// in, extraction is possible even when a later section is damaged), and
// then every data index - and one on each side of the table - is written
// to its own target. Volume files 2 and 3 hold the same bytes as the
// installer, so ranges that cross volume boundaries are decoded too.
//
// The data index picks the circumstances of its target, so every outcome
// of the final steps is reached: whether the target exists already and is
// held open by another program, whether a replacement at restart is
// allowed, and whether the disk is nearly full.
//
// ESetupException is the reader's answer to a damaged package. Anything
// else - a crash, a sanitizer report, another exception, a leak, a hang,
// an allocation beyond the limit or a broken promise - is a bug. The
// promises of a successful extraction are checked against the tables: the
// target holds exactly the recorded size, its CRC-32 matches and it bears
// the recorded time; a failed one leaves the target as it was.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Harness.h"
#include "package/Crc32.h"

using namespace stw;
using namespace stw::fuzz;

namespace {

const std::string kTargetFolder = "C:\\Target\\";
const std::string kHeldContent = "held open by another program";
// Free space on a nearly full disk: the smallest files still fit.
constexpr size_t kNearlyFull = 16;

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void ExtractOne(Machine& m, int index) {
  const TFileTables& t = m.pkg.Tables;
  const std::string target = kTargetFolder + "file" + std::to_string(index) + ".bin";
  const bool fallback = (index & 1) != 0;
  const bool held = (index & 2) != 0;
  const bool diskFull = index % 5 == 4;
  if (held) {
    std::string error;
    auto f = m.fs.Create(target, error);
    STW_EXPECT(f && f->Write(kHeldContent.data(), kHeldContent.size()) && f->Close(), error);
    m.fs.Hold(target);
  }
  const size_t pendingBefore = m.fs.PendingRenames().size();

  const size_t room = m.fs.TotalCap();
  if (diskFull) m.fs.SetTotalCap(m.fs.LiveBytes() + kNearlyFull);

  std::string result = target;
  bool ok = false;
  try {
    m.pkg.ExtractPackageFile(result, index, fallback);
    ok = true;
  } catch (const ESetupException&) {
  }
  m.fs.SetTotalCap(room);

  const std::string who = "data index " + std::to_string(index);
  if (!ok) {
    STW_EXPECT(result == target, who + " failed but moved its target to " + result);
    if (held) {
      const std::string* c = m.fs.Content(target);
      STW_EXPECT(c && *c == kHeldContent, who + ": a failed extraction changed a file in use");
    } else {
      STW_EXPECT(!m.fs.FileExists(target), who + ": a failed extraction left its target");
    }
    return;
  }

  STW_EXPECT(index >= 0 && static_cast<size_t>(index) < t.Count(), who + " is outside the tables");
  if (diskFull) STW_EXPECT(t.FileSizes[index] <= static_cast<int64_t>(kNearlyFull), who + " fitted on a full disk");
  STW_EXPECT(t.FileOffsets[index] >= 0, who + " has no data in the package");
  if (result != target) {
    // Replaced at restart: only a target in use with the fallback allowed,
    // and the temporary file waits beside the target for the restart.
    STW_EXPECT(held && fallback, who + " fell back without need");
    STW_EXPECT(EqualsIgnoreAsciiCase(ExtractFilePath(result), kTargetFolder), who + ": " + result);
    const auto& pending = m.fs.PendingRenames();
    STW_EXPECT(pending.size() == pendingBefore + 1 && pending.back().first == result && pending.back().second == target,
               who + ": no restart replacement recorded");
    const std::string* c = m.fs.Content(target);
    STW_EXPECT(c && *c == kHeldContent, who + ": the file in use changed before the restart");
  } else {
    STW_EXPECT(!held, who + " replaced a file in use");
  }
  const std::string* content = m.fs.Content(result);
  STW_EXPECT(content != nullptr, who + ": nothing at " + result);
  STW_EXPECT(static_cast<int64_t>(content->size()) == t.FileSizes[index],
             who + ": " + std::to_string(content->size()) + " bytes, the tables say " +
                 std::to_string(t.FileSizes[index]));
  STW_EXPECT(Crc32(content->data(), content->size(), 0) == t.FileChecksums[index], who + ": CRC-32");
  double time = 0;
  STW_EXPECT(m.fs.LastWriteTime(result, time) && SameBits(time, t.FileTimes[index]), who + ": file time");
  // Only the results are checked; free them so a long table stays cheap.
  if (result == target) m.fs.DeleteFile(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Machine m(data, size, 3);
  m.fs.AddDirectory(kTargetFolder);
  TSetupReader::Options opt;
  try {
    m.pkg.OpenPackage();
    TSetupReader(m.pkg, m.def).ReadWholeDefinition(opt);
  } catch (const ESetupException&) {
  }
  if (m.pkg.TablesLoaded) {
    const int count = static_cast<int>(m.pkg.Tables.Count());
    for (int i = -1; i <= count; ++i) ExtractOne(m, i);
  }
  CheckNoStrayTempFiles(m);
  return 0;
}
