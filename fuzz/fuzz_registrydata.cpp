// Fuzzer of the package's registry entries: the input is the registry
// stream itself (the definition's registry data block), not an installer
// file. It is checked by the dry run, applied to an in-memory simulated
// registry for a current-user and for an all-users installation (two user
// profiles, of which one does not open) and to a registry that refuses
// every call, and read back by the builder's reader.
//
// ESetupException is the answer to damaged data. Anything else - a crash,
// a sanitizer report, another exception, a leak, a hang, an allocation
// beyond the limit or a broken promise below - is a bug. The promises:
//  - the dry run and every walk raise the same exception, or none;
//  - every log line is a known root, its subkeys, one tab and a value's
//    name or "*", without a line break or a zero;
//  - a current-user installation logs nothing under HKEY_USERS nor
//    HKEY_LOCAL_MACHINE unless the stream names HKEY_LOCAL_MACHINE;
//  - the progress counts only grow and end within the stream;
//  - what the builder writes from what was read is logged just the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Harness.h"
#include "builder/RegistryDataWriter.h"
#include "engine/RegistryData.h"
#include "platform/host/HostPlatform.h"
#include "platform/NullRegistry.h"

using namespace stw;
using namespace stw::fuzz;

namespace {

// The message of the ESetupException that `f` raises, "" when it returns.
template <class F>
std::string Raised(F&& f) {
  try {
    f();
  } catch (const ESetupException& e) {
    return e.what();
  }
  return {};
}

bool StartsWithRoot(const std::string& line) {
  for (const char* root : {"HKEY_AUTO", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"}) {
    const std::string r = root;
    if (line.compare(0, r.size(), r) == 0 && line.size() > r.size() &&
        (line[r.size()] == '\\' || line[r.size()] == '\t'))
      return true;
  }
  return false;
}

struct Walk {
  std::string raised;
  std::vector<std::string> log;
};

Walk Apply(IRegistry& reg, const std::string& data, bool allUsers) {
  Walk w;
  std::vector<uint64_t> progress;
  RegistryDataTarget t{reg, allUsers, [](const std::string& s) { return s; },
                       [&progress](uint64_t n) { progress.push_back(n); }};
  TSortedStrings log;
  w.raised = Raised([&] { ApplyRegistryData(data, t, log); });
  for (size_t i = 0; i < progress.size(); ++i) {
    STW_EXPECT(progress[i] <= data.size(), std::to_string(progress[i]));
    STW_EXPECT(i == 0 || progress[i] > progress[i - 1], std::to_string(progress[i]));
  }
  w.log = log.Items();
  for (const std::string& line : w.log) {
    STW_EXPECT(StartsWithRoot(line), line);
    STW_EXPECT(std::count(line.begin(), line.end(), '\t') == 1, line);
    STW_EXPECT(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, line);
  }
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string data(reinterpret_cast<const char*>(bytes), size);
  const std::string checked = Raised([&] { CheckRegistryData(data); });

  NullRegistry none;
  const Walk refused = Apply(none, data, false);
  STW_EXPECT(refused.raised == checked, refused.raised + " / " + checked);

  for (const bool allUsers : {false, true}) {
    HostRegistry reg;
    reg.CreateKey(RegRoot::Users, "S-1-5-21-1");
    reg.CreateKey(RegRoot::Users, "S-1-5-21-2");
    const Walk w = Apply(reg, data, allUsers);
    STW_EXPECT(w.raised == checked, w.raised + " / " + checked);
    if (!allUsers && checked.empty()) {
      const bool namesMachine = AsciiUpper(data).find("HKEY_LOCAL_MACHINE") != std::string::npos;
      for (const std::string& line : w.log) {
        STW_EXPECT(line.rfind("HKEY_USERS", 0) != 0, line);
        if (!namesMachine) STW_EXPECT(line.rfind("HKEY_LOCAL_MACHINE", 0) != 0, line);
      }
    }
  }

  if (checked.empty()) {
    const std::vector<RegistryRootEntry> tree = DecodeRegistryData(data);
    std::string again;
    // The writer refuses a few things the setup reads (a whole root, an
    // empty name); what it does write must be read to the same log.
    if (Raised([&] { again = EncodeRegistryData(tree); }).empty()) {
      const std::string rechecked = Raised([&] { CheckRegistryData(again); });
      STW_EXPECT(rechecked.empty(), rechecked);
      NullRegistry none2;
      const Walk w = Apply(none2, again, false);
      STW_EXPECT(w.log == refused.log, std::to_string(w.log.size()) + " / " + std::to_string(refused.log.size()));
    }
  }
  return 0;
}
