// The package's registry entries: the walker of the stream against the
// simulated registry (host only), the dry run that refuses damaged data,
// the builder's writer and the manifest's "registry".
//
// The streams here are written byte by byte with the few helpers below,
// straight from the layout of the records, and never with the builder's
// RegistryDataWriter: so the writer is checked against the layout, not
// against itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <set>

#include "TestSupport.h"
#include "base/Errors.h"
#include "builder/Manifest.h"
#include "builder/RegistryDataWriter.h"
#include "engine/RegistryData.h"
#include "platform/NullRegistry.h"

using namespace stw;
using namespace stw::test;
using nlohmann::json;

namespace {

// ---------------------------------------------------------------- the layout by hand

std::string Tag(uint8_t t) { return std::string(1, static_cast<char>(t)); }
std::string U16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string U32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}
std::string Str(const std::string& s) { return U16(static_cast<uint16_t>(s.size())) + s; }

// A root record or a subkey item: tag 1, the name, the items, tag 255.
std::string Key(const std::string& name, const std::string& items) {
  std::string s = Tag(1);
  s += Str(name);
  s += items;
  s += Tag(255);
  return s;
}
std::string Root(const std::string& name, const std::string& items) { return Key(name, items); }
const std::string kWholeKey = Tag(2);
const std::string kDefault = Tag(3);
std::string Name(const std::string& n) { return Tag(4) + Str(n); }
const std::string kKeep = Tag(5);
const std::string kLogOnly = Tag(6);
std::string Sz(const std::string& text) { return Tag(7) + Str(text); }
std::string Dword(uint32_t v) { return Tag(8) + U32(v); }
std::string Bin(const std::string& bytes) { return Tag(9) + U32(static_cast<uint32_t>(bytes.size())) + bytes; }

const std::string kDamaged = "The setup package is damaged: the registry data ";

// The message of the ESetupException that `f` raises, "" when it returns.
// Any other exception fails the test that called it.
std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const ESetupException& e) {
    return e.what();
  }
  return {};
}

std::vector<std::string> Apply(IRegistry& reg, const std::string& data, bool allUsers,
                               std::function<std::string(const std::string&)> expand = {},
                               std::vector<uint64_t>* progress = nullptr) {
  RegistryDataTarget t{reg, allUsers, std::move(expand), {}};
  if (progress) t.progress = [progress](uint64_t n) { progress->push_back(n); };
  TSortedStrings log;
  ApplyRegistryData(data, t, log);
  return log.Items();
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  TSortedStrings s;
  for (const auto& x : v) s.Add(x);
  return s.Items();
}

// A stream with every tag, several roots and nesting, for the sweeps.
std::string EveryTagStream() {
  return Root("HKEY_CURRENT_USER",
              Key("Software\\Demo", kWholeKey + kDefault + Sz("d") + Name("Path") + Sz("%APPFOLDER%") + Name("Count") +
                                        Dword(5) + Name("Bin") + Bin(std::string("\0\xff", 2)) + Name("Keep") + kKeep +
                                        Sz("k") + Name("Gone") + kLogOnly + Key("Sub", Name("Deep") + Dword(1)))) +
         Root("hkey_auto", Key("Software\\Auto", Name("A") + Sz(""))) +
         Root("HKEY_USERS", Key("Software\\Users", Name("U") + Bin(""))) +
         Root("HKEY_CLASSES_ROOT", Key(".demo", kDefault + Sz("Demo.File")));
}

// Where each root record of EveryTagStream ends.
std::set<size_t> RootEnds(const std::string& data) {
  std::set<size_t> ends = {0};
  size_t at = 0;
  for (const std::string& r :
       {Root("HKEY_CURRENT_USER",
             Key("Software\\Demo", kWholeKey + kDefault + Sz("d") + Name("Path") + Sz("%APPFOLDER%") + Name("Count") +
                                       Dword(5) + Name("Bin") + Bin(std::string("\0\xff", 2)) + Name("Keep") + kKeep +
                                       Sz("k") + Name("Gone") + kLogOnly + Key("Sub", Name("Deep") + Dword(1)))),
        Root("hkey_auto", Key("Software\\Auto", Name("A") + Sz(""))),
        Root("HKEY_USERS", Key("Software\\Users", Name("U") + Bin(""))),
        Root("HKEY_CLASSES_ROOT", Key(".demo", kDefault + Sz("Demo.File")))}) {
    at += r.size();
    ends.insert(at);
  }
  EXPECT_EQ(at, data.size());
  return ends;
}

// ---------------------------------------------------------------- the dry run and damage (both builds)

TEST(RegistryData, AValidStreamPassesTheCheck) {
  EXPECT_EQ(Raised([] { CheckRegistryData(EveryTagStream()); }), "");
  EXPECT_EQ(Raised([] { CheckRegistryData(""); }), "");
  // A tag other than 1 ends the top level; what follows is not read.
  EXPECT_EQ(Raised([] { CheckRegistryData(EveryTagStream() + Tag(0) + "junk"); }), "");
  EXPECT_EQ(Raised([] { CheckRegistryData(Tag(7) + "junk"); }), "");
}

TEST(RegistryData, TruncationAtEveryLengthIsRefusedUnlessARootRecordEndsThere) {
  const std::string data = EveryTagStream();
  const std::set<size_t> ends = RootEnds(data);
  for (size_t n = 0; n <= data.size(); ++n) {
    const std::string cut = data.substr(0, n);
    const std::string checked = Raised([&] { CheckRegistryData(cut); });
    NullRegistry none;
    const std::string applied = Raised([&] { Apply(none, cut, false); });
    if (ends.count(n)) {
      EXPECT_EQ(checked, "") << n;
    } else {
      EXPECT_EQ(checked.rfind(kDamaged, 0), 0u) << n << ": " << checked;
      EXPECT_NE(checked.find("at byte "), std::string::npos) << checked;
    }
    EXPECT_EQ(applied, checked) << n;
  }
}

TEST(RegistryData, DamageNamesItsOffset) {
  const std::string head = Tag(1) + Str("HKEY_CURRENT_USER");  // 20 bytes
  ASSERT_EQ(head.size(), 20u);
  auto check = [](const std::string& d) { return Raised([&] { CheckRegistryData(d); }); };

  EXPECT_EQ(check(head + Key("A", "") + Tag(17) + Tag(255)),
            kDamaged + "hold an unknown tag 17 in a key body at byte 25.");
  EXPECT_EQ(check(head + Key("A", Tag(0))), kDamaged + "hold an unknown tag 0 in a key body at byte 24.");
  EXPECT_EQ(check(head), kDamaged + "end inside a key body at byte 20.");
  EXPECT_EQ(check(head + Tag(1) + Str("A")), kDamaged + "end inside a key body at byte 24.");
  EXPECT_EQ(check(Tag(1) + Str("HKEY_NOWHERE") + Tag(255)),
            kDamaged + "name an unknown root \"HKEY_NOWHERE\" at byte 1.");
  EXPECT_EQ(check(Tag(1) + Str("HKEY_USERS_") + Tag(255)),
            kDamaged + "name an unknown root \"HKEY_USERS_\" at byte 1.");
  // Strings and blocks that claim more than is left.
  EXPECT_EQ(check(Tag(1) + U16(18) + "HKEY_CURRENT_USER"),
            kDamaged + "have a root name that runs past their end at byte 1.");
  EXPECT_EQ(check(Tag(1) + "\x05"), kDamaged + "have a root name that runs past their end at byte 1.");
  EXPECT_EQ(check(head + Tag(1) + U16(3) + "ab"), kDamaged + "have a key name that runs past their end at byte 21.");
  EXPECT_EQ(check(head + Tag(4) + U16(9) + "ab"), kDamaged + "have a value name that runs past their end at byte 21.");
  EXPECT_EQ(check(head + Name("v") + Tag(7) + U16(2) + "a"),
            kDamaged + "have a text value that runs past their end at byte 25.");
  EXPECT_EQ(check(head + Name("v") + Tag(8) + "abc"),
            kDamaged + "have a number value that runs past their end at byte 25.");
  // A count of 4 GiB is refused before anything is allocated.
  EXPECT_EQ(check(head + Name("v") + Tag(9) + U32(0xFFFFFFFF) + "abc"),
            kDamaged + "have a binary value that runs past their end at byte 25.");
  EXPECT_EQ(check(head + Name("v") + Tag(9) + "\x01"),
            kDamaged + "have a binary value that runs past their end at byte 25.");
}

TEST(RegistryData, AValueTagWithoutANameIsDamage) {
  const std::string head = Tag(1) + Str("HKEY_CURRENT_USER");
  for (uint8_t tag = 5; tag <= 9; ++tag) {
    const std::string d = head + Tag(tag) + U32(0) + Tag(255) + Tag(255);
    EXPECT_EQ(Raised([&] { CheckRegistryData(d); }),
              kDamaged + "give tag " + std::to_string(tag) + " to a value that tag 3 or 4 did not name at byte 20.");
  }
  // Each value needs its own name: the second text has none.
  EXPECT_NE(Raised([&] { CheckRegistryData(head + Name("v") + Sz("a") + Sz("b") + Tag(255)); }), "");
  EXPECT_NE(Raised([&] { CheckRegistryData(head + Name("v") + kLogOnly + Sz("b") + Tag(255)); }), "");
  // A name in a parent does not carry into its subkey.
  EXPECT_NE(Raised([&] { CheckRegistryData(head + Name("v") + Key("A", Sz("b")) + Tag(255)); }), "");
  // A name that no value follows is passed over.
  EXPECT_EQ(Raised([&] { CheckRegistryData(head + Name("v") + kDefault + Tag(255)); }), "");
}

TEST(RegistryData, NamesThatWouldSplitTheLogAreDamage) {
  const std::string head = Tag(1) + Str("HKEY_CURRENT_USER");
  for (const std::string& bad :
       {std::string("a\tb"), std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)}) {
    EXPECT_EQ(Raised([&] { CheckRegistryData(head + Key(bad, "") + Tag(255)); }),
              kDamaged + "have a key name with a tab, a line break or a zero at byte 20.");
    EXPECT_EQ(Raised([&] { CheckRegistryData(head + Name(bad) + Sz("x") + Tag(255)); }),
              kDamaged + "have a value name with a tab, a line break or a zero at byte 20.");
  }
  // In data they do no harm.
  EXPECT_EQ(Raised([&] { CheckRegistryData(head + Name("v") + Sz("a\tb\r\n") + Tag(255)); }), "");
}

std::string Nested(int levels, const std::string& inner) {
  std::string s = inner;
  for (int i = levels; i >= 1; --i) s = Key(std::string("K").append(std::to_string(i)), s);
  return s;
}

TEST(RegistryData, KeysNestUpTo64Levels) {
  EXPECT_EQ(Raised([] { CheckRegistryData(Root("HKEY_CURRENT_USER", Nested(64, Name("v") + Dword(1)))); }), "");
  const std::string deep = Root("HKEY_CURRENT_USER", Nested(65, ""));
  // The 65th key's tag: 20 bytes of the root's head, 64 keys of tag, count
  // and "K1".."K64" before it.
  size_t at = 20;
  for (int i = 1; i <= 64; ++i) at += 3 + std::to_string(i).size() + 1;
  EXPECT_EQ(Raised([&] { CheckRegistryData(deep); }),
            kDamaged + "nest keys deeper than 64 levels at byte " + std::to_string(at) + ".");
  NullRegistry none;
  EXPECT_EQ(Raised([&] { Apply(none, deep, true); }), Raised([&] { CheckRegistryData(deep); }));
  // Far deeper than any stack would hold is refused just the same.
  std::string abyss = Tag(1) + Str("HKEY_CURRENT_USER");
  for (int i = 0; i < 100000; ++i) abyss += Tag(1) + Str("k");
  EXPECT_NE(Raised([&] { CheckRegistryData(abyss); }).find("deeper than 64"), std::string::npos);
}

TEST(RegistryData, AWalkWithoutRightsLogsAllAndWritesNothing) {
  NullRegistry none;
  const auto log = Apply(none, EveryTagStream(), false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\Software\\Demo\t*", "HKEY_CURRENT_USER\\Software\\Demo\t(Default)",
                         "HKEY_CURRENT_USER\\Software\\Demo\tPath", "HKEY_CURRENT_USER\\Software\\Demo\tCount",
                         "HKEY_CURRENT_USER\\Software\\Demo\tBin", "HKEY_CURRENT_USER\\Software\\Demo\tKeep",
                         "HKEY_CURRENT_USER\\Software\\Demo\tGone", "HKEY_CURRENT_USER\\Software\\Demo\\Sub\tDeep",
                         "HKEY_AUTO\\Software\\Auto\tA", "HKEY_CURRENT_USER\\Software\\Users\tU",
                         "HKEY_CLASSES_ROOT\\.demo\t(Default)"}));
  // All users, no profile that opens: HKEY_USERS goes to the current user
  // and is logged under HKEY_USERS.
  const auto all = Apply(none, EveryTagStream(), true);
  EXPECT_TRUE(std::count(all.begin(), all.end(), "HKEY_USERS\\Software\\Users\tU"));
  EXPECT_TRUE(std::count(all.begin(), all.end(), "HKEY_AUTO\\Software\\Auto\tA"));
}

// ---------------------------------------------------------------- the writer (both builds)

std::vector<RegistryRootEntry> SampleTree() {
  using T = RegistryValueEntry::Type;
  RegistryValueEntry path{false, "Path", false, false, T::String, "%APPFOLDER%", 0, ""};
  RegistryValueEntry def{true, "", false, false, T::String, "x", 0, ""};
  RegistryValueEntry count{false, "Count", false, false, T::Dword, "", 5, ""};
  RegistryValueEntry bin{false, "Bin", false, false, T::Binary, "", 0, std::string("\x00\xff\x10", 3)};
  RegistryValueEntry keep{false, "Keep", true, false, T::String, "a", 0, ""};
  RegistryValueEntry gone{false, "Gone", false, true, T::None, "", 0, ""};
  RegistryValueEntry empty{false, "Empty", false, false, T::Binary, "", 0, ""};
  RegistryKeyEntry sub{"Sub", false, {RegistryValueEntry{false, "Deep", false, false, T::Dword, "", 0xFFFFFFFF, ""}}, {}};
  RegistryKeyEntry demo{"Software\\Demo", true, {path, def, count, bin, keep, gone}, {sub}};
  RegistryKeyEntry cls{".demo", false, {def}, {}};
  return {RegistryRootEntry{"HKEY_AUTO", false, {}, {demo}},
          RegistryRootEntry{"HKEY_CLASSES_ROOT", false, {empty}, {cls}}};
}

// SampleTree as the layout spells it.
std::string SampleBytes() {
  return Root("HKEY_AUTO", Key("Software\\Demo",
                               kWholeKey + Name("Path") + Sz("%APPFOLDER%") + kDefault + Sz("x") + Name("Count") +
                                   Dword(5) + Name("Bin") + Bin(std::string("\x00\xff\x10", 3)) + Name("Keep") + kKeep +
                                   Sz("a") + Name("Gone") + kLogOnly + Key("Sub", Name("Deep") + Dword(0xFFFFFFFF)))) +
         Root("HKEY_CLASSES_ROOT", Name("Empty") + Bin("") + Key(".demo", kDefault + Sz("x")));
}

void ExpectSameValues(const std::vector<RegistryValueEntry>& a, const std::vector<RegistryValueEntry>& b,
                      const std::string& at) {
  ASSERT_EQ(a.size(), b.size()) << at;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].isDefault, b[i].isDefault) << at << i;
    EXPECT_EQ(a[i].name, b[i].name) << at << i;
    EXPECT_EQ(a[i].keepExisting, b[i].keepExisting) << at << i;
    EXPECT_EQ(a[i].logOnly, b[i].logOnly) << at << i;
    EXPECT_EQ(a[i].type, b[i].type) << at << i;
    EXPECT_EQ(a[i].text, b[i].text) << at << i;
    EXPECT_EQ(a[i].dword, b[i].dword) << at << i;
    EXPECT_EQ(a[i].bytes, b[i].bytes) << at << i;
  }
}

void ExpectSameKeys(const std::vector<RegistryKeyEntry>& a, const std::vector<RegistryKeyEntry>& b,
                    const std::string& at) {
  ASSERT_EQ(a.size(), b.size()) << at;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name) << at;
    EXPECT_EQ(a[i].wholeKey, b[i].wholeKey) << at << a[i].name;
    ExpectSameValues(a[i].values, b[i].values, at + "\\" + a[i].name);
    ExpectSameKeys(a[i].keys, b[i].keys, at + "\\" + a[i].name);
  }
}

void ExpectSameTree(const std::vector<RegistryRootEntry>& a, const std::vector<RegistryRootEntry>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].root, b[i].root);
    EXPECT_EQ(a[i].wholeKey, b[i].wholeKey);
    ExpectSameValues(a[i].values, b[i].values, a[i].root);
    ExpectSameKeys(a[i].keys, b[i].keys, a[i].root);
  }
}

TEST(RegistryDataWriter, WritesTheLayout) {
  EXPECT_EQ(EncodeRegistryData(SampleTree()), SampleBytes());
  EXPECT_EQ(EncodeRegistryData({}), "");
  EXPECT_EQ(Raised([] { CheckRegistryData(EncodeRegistryData(SampleTree())); }), "");
}

TEST(RegistryDataWriter, ReadsBackWhatItWrote) {
  ExpectSameTree(DecodeRegistryData(SampleBytes()), SampleTree());
  // Another order comes back in the writer's; a name without a value and
  // what follows the last root are dropped.
  const std::string shuffled =
      Root("HKEY_LOCAL_MACHINE", Key("B", Name("x") + Sz("1")) + Name("dangling") + Name("v") + Dword(2) + kWholeKey) +
      Tag(0) + "rest";
  const auto tree = DecodeRegistryData(shuffled);
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_TRUE(tree[0].wholeKey);
  ASSERT_EQ(tree[0].values.size(), 1u);
  EXPECT_EQ(tree[0].values[0].name, "v");
  EXPECT_EQ(tree[0].values[0].dword, 2u);
  ASSERT_EQ(tree[0].keys.size(), 1u);
  EXPECT_EQ(tree[0].keys[0].values[0].text, "1");
  // The setup and the builder share the reader; the builder's messages
  // speak of the data alone, the setup's of a damaged package.
  const std::string cut = SampleBytes().substr(0, 9);
  EXPECT_EQ(Raised([&] { DecodeRegistryData(cut); }).rfind("The registry data ", 0), 0u);
  EXPECT_EQ(Raised([&] { CheckRegistryData(cut); }).rfind(kDamaged, 0), 0u);
  EXPECT_NE(Raised([] { DecodeRegistryData(Root("HKEY_CURRENT_USER", Nested(65, ""))); }), "");
  EXPECT_NE(Raised([] { DecodeRegistryData(Root("HKEY_CURRENT_USER", Sz("x"))); }), "");
}

TEST(RegistryDataWriter, RefusesWhatTheSetupWouldRefuse) {
  using T = RegistryValueEntry::Type;
  auto fails = [](std::vector<RegistryRootEntry> roots) { return Raised([&] { EncodeRegistryData(roots); }); };
  auto withValue = [](RegistryValueEntry v) {
    return std::vector<RegistryRootEntry>{{"HKEY_CURRENT_USER", false, {}, {RegistryKeyEntry{"K", false, {v}, {}}}}};
  };
  EXPECT_EQ(fails({{"HKEY_NOWHERE", false, {}, {}}}),
            "registry[0]: the root \"HKEY_NOWHERE\" is none of HKEY_AUTO, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, "
            "HKEY_LOCAL_MACHINE, HKEY_USERS");
  EXPECT_EQ(fails({{"HKEY_CURRENT_USER", true, {}, {}}}),
            "registry[0]: a whole root cannot be removed by the uninstaller");
  EXPECT_EQ(fails(withValue({false, "", false, false, T::String, "x", 0, ""})),
            "registry[0].keys[0].values[0]: a value needs a name or to be the default value");
  EXPECT_EQ(fails(withValue({true, "n", false, false, T::String, "x", 0, ""})),
            "registry[0].keys[0].values[0]: the default value has no name, yet \"n\" is given");
  EXPECT_EQ(fails(withValue({false, "n", false, false, T::None, "", 0, ""})),
            "registry[0].keys[0].values[0]: a value needs data: a string, a dword or binary");
  EXPECT_EQ(fails(withValue({false, "n", false, true, T::Dword, "", 1, ""})),
            "registry[0].keys[0].values[0]: a log-only value carries no data");
  EXPECT_NE(fails(withValue({false, "a\tb", false, false, T::Dword, "", 1, ""})).find("tab"), std::string::npos);
  EXPECT_EQ(fails(withValue({false, "n", false, false, T::String, std::string(65536, 'x'), 0, ""})),
            "registry[0].keys[0].values[0]: the string is longer than 65535 bytes");
  EXPECT_EQ(Raised([] {
              EncodeRegistryData({{"HKEY_CURRENT_USER", false, {}, {RegistryKeyEntry{"", false, {}, {}}}}});
            }),
            "registry[0].keys[0]: a key needs a name");
  // 64 levels are written, 65 refused.
  RegistryKeyEntry k{"K", false, {}, {}};
  for (int i = 1; i < 64; ++i) k = RegistryKeyEntry{"K", false, {}, {k}};
  EXPECT_EQ(fails({{"HKEY_CURRENT_USER", false, {}, {k}}}), "");
  k = RegistryKeyEntry{"K", false, {}, {k}};
  std::string at = "registry[0]";
  for (int i = 0; i < 65; ++i) at += ".keys[0]";
  EXPECT_EQ(fails({{"HKEY_CURRENT_USER", false, {}, {k}}}), at + ": keys nest deeper than 64 levels");
}

// ---------------------------------------------------------------- the manifest (both builds)

const char* const kManifestRegistry = R"([
  {"root": "HKEY_AUTO", "keys": [{"name": "Software\\Demo", "wholeKey": true, "values": [
      {"name": "Path", "string": "%APPFOLDER%"}, {"default": true, "string": "x"}, {"name": "Count", "dword": 5},
      {"name": "Bin", "binary": "00ff10"}, {"name": "Keep", "keepExisting": true, "string": "a"},
      {"name": "Gone", "logOnly": true}],
    "keys": [{"name": "Sub", "values": [{"name": "Deep", "dword": 4294967295}]}]}]},
  {"root": "HKEY_CLASSES_ROOT", "values": [{"name": "Empty", "binary": ""}],
   "keys": [{"name": ".demo", "values": [{"default": true, "string": "x"}]}]}
])";

std::string ManifestError(const std::string& registry) {
  return Raised([&] { ManifestFromJson(json::parse(R"({"registry": )" + registry + "}"), ""); });
}

TEST(RegistryDataManifest, TheRegistryTreeBecomesTheStream) {
  const json j = {{"registry", json::parse(kManifestRegistry)}};
  EXPECT_EQ(ManifestFromJson(j, "").registryData, SampleBytes());
  // Spaces may part the bytes of binary data.
  const PackageManifest spaced = ManifestFromJson(
      json::parse(R"({"registry": [{"root": "HKEY_CURRENT_USER", "values": [{"name": "B", "binary": "0A 0b ff"}]}]})"),
      "");
  EXPECT_EQ(spaced.registryData, Root("HKEY_CURRENT_USER", Name("B") + Bin("\x0a\x0b\xff")));
  // The raw form still works.
  EXPECT_EQ(ManifestFromJson(json::parse(R"({"registryData": {"hex": "01020304"}})"), "").registryData,
            "\x01\x02\x03\x04");
  EXPECT_EQ(ManifestFromJson(json::parse(R"({"registryData": "raw"})"), "").registryData, "raw");
  EXPECT_EQ(ManifestFromJson(json::parse(R"({"registry": []})"), "").registryData, "");
}

TEST(RegistryDataManifest, ErrorsNameTheEntry) {
  EXPECT_EQ(ManifestError(R"({})"), "registry: a list of roots");
  EXPECT_EQ(ManifestError(R"([{"keys": []}])"), "registry[0]: a root needs \"root\"");
  EXPECT_EQ(ManifestError(R"([{"root": 1}])"), "registry[0].root: a string");
  EXPECT_EQ(ManifestError(R"([{"root": "HKEY_NOWHERE"}])"),
            "registry[0]: the root \"HKEY_NOWHERE\" is none of HKEY_AUTO, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, "
            "HKEY_LOCAL_MACHINE, HKEY_USERS");
  EXPECT_EQ(ManifestError(R"([{"root": "HKEY_AUTO", "wholeKey": true}])"), "registry[0]: unknown member \"wholeKey\"");
  const std::string head = R"([{"root": "HKEY_AUTO"}, {"root": "HKEY_AUTO", "keys": [{"name": "A"}, {"name": "B",
      "keys": [{"name": "C", "values": [{"name": "ok", "dword": 1}, )";
  auto value = [&](const std::string& v) { return ManifestError(head + v + "]}]}]}]"); };
  const std::string at = "registry[1].keys[1].keys[0].values[1]";
  EXPECT_EQ(value(R"({"name": "n", "dword": -1})"), at + ".dword: a whole number from 0 to 4294967295");
  EXPECT_EQ(value(R"({"name": "n", "dword": 4294967296})"), at + ".dword: a whole number from 0 to 4294967295");
  EXPECT_EQ(value(R"({"name": "n", "dword": "5"})"), at + ".dword: a whole number from 0 to 4294967295");
  EXPECT_EQ(value(R"({"name": "n", "strng": "x"})"), at + ": unknown member \"strng\"");
  EXPECT_EQ(value(R"({"name": "n", "string": "x", "dword": 1})"),
            at + ": a value needs exactly one of \"string\", \"dword\" and \"binary\"");
  EXPECT_EQ(value(R"({"name": "n"})"), at + ": a value needs exactly one of \"string\", \"dword\" and \"binary\"");
  EXPECT_EQ(value(R"({"name": "n", "logOnly": true, "string": "x"})"),
            at + ": a log-only value carries no \"string\", \"dword\" or \"binary\"");
  EXPECT_EQ(value(R"({"string": "x"})"), at + ": a value needs either \"name\" or \"default\": true");
  EXPECT_EQ(value(R"({"name": "n", "default": true, "string": "x"})"),
            at + ": a value needs either \"name\" or \"default\": true");
  EXPECT_EQ(value(R"({"name": "n", "keepExisting": 1, "string": "x"})"), at + ".keepExisting: true or false");
  EXPECT_EQ(value(R"({"name": "n", "binary": "0f1"})"), at + ".binary: hex digits come in pairs, one pair a byte");
  EXPECT_EQ(value(R"({"name": "n", "binary": "0g"})"), at + ".binary: not a hex digit: 'g'");
  EXPECT_EQ(value(R"({"name": "a\tb", "dword": 1})"),
            at + ": the name \"a\tb\" holds a tab, a line break or a zero, which the log cannot keep");
  EXPECT_EQ(value(R"(5)"), at + ": an object");
  EXPECT_EQ(ManifestError(R"([{"root": "HKEY_AUTO", "keys": [{"values": []}]}])"),
            "registry[0].keys[0]: a key needs \"name\"");
  EXPECT_EQ(ManifestError(R"([{"root": "HKEY_AUTO", "keys": {}}])"), "registry[0].keys: a list of keys");
  EXPECT_EQ(Raised([] { ManifestFromJson(json::parse(R"({"registry": [], "registryData": "x"})"), ""); }),
            "registry: give either \"registry\" or the raw \"registryData\", not both");
}

class RegistryDataPackage : public ::testing::Test {
 protected:
  TestMachine m;
};

TEST_F(RegistryDataPackage, ABuiltPackageCarriesTheStreamAndInspectShowsIt) {
  PackageManifest man = SampleManifest();
  man.registryData = ManifestFromJson({{"registry", json::parse(kManifestRegistry)}}, "").registryData;
  const std::string file = m.Work() + "registry.exe";
  BuildPackage(man, m.Native(file));
  auto o = OpenAndRead(m, file);
  EXPECT_EQ(o->def.RegistryData, SampleBytes());
  const json shown = DefinitionToJson(o->pkg, o->def);
  EXPECT_EQ(shown["Registry"], json::parse(kManifestRegistry));

  // Damaged data are shown as such, and the package still inspects.
  // Another file: the reader keeps the first one open, and Windows renames
  // nothing over an open file.
  man.registryData = Root("HKEY_CURRENT_USER", "") + Tag(1) + Str("HKEY_AUTO") + Tag(42);
  const std::string damaged = m.Work() + "registry-damaged.exe";
  BuildPackage(man, m.Native(damaged));
  auto d = OpenAndRead(m, damaged);
  EXPECT_EQ(DefinitionToJson(d->pkg, d->def)["Registry"],
            (json{{"damaged", "The registry data hold an unknown tag 42 in a key body at byte 33."}}));
}

// On both machines: the simulated one on the host, Windows' own registry
// under Wine, in a key of this run that is deleted again.
TEST_F(RegistryDataPackage, TheMachinesRegistryTakesEveryKindOfValue) {
  IRegistry& reg = m.Registry();
  const std::string key = "Software\\" + UniqueName("StowaRegistryDataTest-");
  const std::string data =
      Root("HKEY_CURRENT_USER",
           Key(key, kDefault + Sz("d") + Name("Text") + Sz("") + Name("N") + Dword(7) + Name("B") +
                        Bin(std::string("\0\1", 2)) + Name("Empty") + Bin("") + Key("Sub", Name("S") + Sz("s"))));
  const auto log = Apply(reg, data, false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\" + key + "\t(Default)", "HKEY_CURRENT_USER\\" + key + "\tText",
                         "HKEY_CURRENT_USER\\" + key + "\tN", "HKEY_CURRENT_USER\\" + key + "\tB",
                         "HKEY_CURRENT_USER\\" + key + "\tEmpty", "HKEY_CURRENT_USER\\" + key + "\\Sub\tS"}));
  const auto def = reg.QueryValue(RegRoot::CurrentUser, key, "");
  const auto text = reg.QueryValue(RegRoot::CurrentUser, key, "Text");
  const auto n = reg.QueryValue(RegRoot::CurrentUser, key, "N");
  const auto b = reg.QueryValue(RegRoot::CurrentUser, key, "B");
  const auto empty = reg.QueryValue(RegRoot::CurrentUser, key, "Empty");
  const auto s = reg.ReadString(RegRoot::CurrentUser, key + "\\Sub", "S");
  reg.DeleteKey(RegRoot::CurrentUser, key);
  ASSERT_TRUE(def && text && n && b && empty);
  EXPECT_EQ(def->kind, RegValue::String);
  EXPECT_EQ(def->text, "d");
  EXPECT_EQ(text->kind, RegValue::String);
  EXPECT_EQ(text->text, "");
  EXPECT_EQ(n->kind, RegValue::Dword);
  EXPECT_EQ(n->dword, 7u);
  EXPECT_EQ(b->kind, RegValue::Binary);
  EXPECT_EQ(b->bytes, std::string("\0\1", 2));
  EXPECT_EQ(empty->kind, RegValue::Binary);
  EXPECT_EQ(empty->bytes, "");
  EXPECT_EQ(s, "s");
}

#ifndef _WIN32
// ---------------------------------------------------------------- the walker on the simulated registry

constexpr RegRoot kUser = RegRoot::CurrentUser;
constexpr RegRoot kMachine = RegRoot::LocalMachine;

// Passes every call on, but for the profiles that do not open and the
// keys that cannot be created; records the profiles written to.
class Guarded : public IRegistry {
 public:
  explicit Guarded(IRegistry& inner) : r_(inner) {}
  std::set<std::string> closedProfiles, failingKeys;
  std::vector<std::string> createdUnderUsers;

  bool KeyExists(RegRoot root, const std::string& key, RegView v) override { return r_.KeyExists(root, key, v); }
  bool CreateKey(RegRoot root, const std::string& key, RegView v) override {
    if (failingKeys.count(key)) return false;
    if (root == RegRoot::Users) createdUnderUsers.push_back(key);
    return r_.CreateKey(root, key, v);
  }
  bool CanWrite(RegRoot root, const std::string& key, RegView v) override {
    if (root == RegRoot::Users && closedProfiles.count(key)) return false;
    return r_.CanWrite(root, key, v);
  }
  std::optional<std::string> ReadString(RegRoot root, const std::string& key, const std::string& name,
                                        RegView v) override {
    return r_.ReadString(root, key, name, v);
  }
  std::optional<uint32_t> ReadDword(RegRoot root, const std::string& key, const std::string& name, RegView v) override {
    return r_.ReadDword(root, key, name, v);
  }
  bool WriteString(RegRoot root, const std::string& key, const std::string& name, const std::string& value,
                   RegView v) override {
    return !failingKeys.count(key) && r_.WriteString(root, key, name, value, v);
  }
  bool WriteDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value, RegView v) override {
    return !failingKeys.count(key) && r_.WriteDword(root, key, name, value, v);
  }
  bool DeleteValue(RegRoot root, const std::string& key, const std::string& name, RegView v) override {
    return r_.DeleteValue(root, key, name, v);
  }
  bool WriteBinary(RegRoot root, const std::string& key, const std::string& name, const std::string& bytes,
                   RegView v) override {
    return !failingKeys.count(key) && r_.WriteBinary(root, key, name, bytes, v);
  }
  std::optional<RegValue> QueryValue(RegRoot root, const std::string& key, const std::string& name,
                                     RegView v) override {
    return r_.QueryValue(root, key, name, v);
  }
  std::vector<std::string> SubkeyNames(RegRoot root, const std::string& key, size_t limit, RegView v) override {
    return r_.SubkeyNames(root, key, limit, v);
  }
  bool DeleteKey(RegRoot root, const std::string& key, RegView v) override { return r_.DeleteKey(root, key, v); }

 private:
  IRegistry& r_;
};

TEST(RegistryData, EveryTagOnTheSimulatedRegistry) {
  HostRegistry reg;
  const std::string key = "Software\\Demo";
  const auto log = Apply(
      reg,
      Root("HKEY_CURRENT_USER", Key(key, kWholeKey + kDefault + Sz("def") + Name("Text") + Sz("t") + Name("Count") +
                                             Dword(0xDEADBEEF) + Name("Bin") + Bin(std::string("\0\xff\x10", 3)) +
                                             Name("Missing") + kKeep + Sz("m") + Name("Gone") + kLogOnly)),
      false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\Software\\Demo\t*", "HKEY_CURRENT_USER\\Software\\Demo\t(Default)",
                         "HKEY_CURRENT_USER\\Software\\Demo\tText", "HKEY_CURRENT_USER\\Software\\Demo\tCount",
                         "HKEY_CURRENT_USER\\Software\\Demo\tBin", "HKEY_CURRENT_USER\\Software\\Demo\tMissing",
                         "HKEY_CURRENT_USER\\Software\\Demo\tGone"}));
  EXPECT_EQ(reg.ReadString(kUser, key, ""), "def");
  EXPECT_EQ(reg.ReadString(kUser, key, "Text"), "t");
  EXPECT_EQ(reg.ReadDword(kUser, key, "Count"), 0xDEADBEEFu);
  const auto bin = reg.QueryValue(kUser, key, "Bin");
  ASSERT_TRUE(bin);
  EXPECT_EQ(bin->kind, RegValue::Binary);
  EXPECT_EQ(bin->bytes, std::string("\0\xff\x10", 3));
  EXPECT_EQ(reg.ReadString(kUser, key, "Missing"), "m");
  // Log-only: logged for the uninstaller, never written.
  EXPECT_FALSE(reg.QueryValue(kUser, key, "Gone"));
}

TEST(RegistryData, EmptyTextAndEmptyBinaryAreWritten) {
  HostRegistry reg;
  Apply(reg,
        Root("HKEY_CURRENT_USER", Key("Software\\E", Name("S") + Sz("") + Name("B") + Bin("") + kDefault + Sz(""))),
        false);
  const auto s = reg.QueryValue(kUser, "Software\\E", "S");
  const auto b = reg.QueryValue(kUser, "Software\\E", "B");
  const auto d = reg.QueryValue(kUser, "Software\\E", "");
  ASSERT_TRUE(s && b && d);
  EXPECT_EQ(s->kind, RegValue::String);
  EXPECT_EQ(s->text, "");
  EXPECT_EQ(b->kind, RegValue::Binary);
  EXPECT_EQ(b->bytes, "");
  EXPECT_EQ(d->kind, RegValue::String);
  EXPECT_EQ(d->text, "");
}

TEST(RegistryData, NestedKeysAreLoggedWithTheirPath) {
  HostRegistry reg;
  const auto log = Apply(
      reg,
      Root("HKEY_LOCAL_MACHINE",
           Key("Software", Key("Vendor\\Product",
                               Name("V") + Dword(1) + Key("A", Key("B", Name("W") + Sz("w")) + Name("X") + Sz("x"))) +
                               Name("Top") + Sz("t"))),
      true);
  EXPECT_EQ(log, Sorted({"HKEY_LOCAL_MACHINE\\Software\\Vendor\\Product\tV",
                         "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Product\\A\\B\tW",
                         "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Product\\A\tX", "HKEY_LOCAL_MACHINE\\Software\tTop"}));
  EXPECT_EQ(reg.ReadDword(kMachine, "Software\\Vendor\\Product", "V"), 1u);
  EXPECT_EQ(reg.ReadString(kMachine, "Software\\Vendor\\Product\\A\\B", "W"), "w");
  EXPECT_EQ(reg.ReadString(kMachine, "Software\\Vendor\\Product\\A", "X"), "x");
  EXPECT_EQ(reg.ReadString(kMachine, "Software", "Top"), "t");
}

TEST(RegistryData, KeepExistingLeavesAValueThatExistsAndDoesNotLogIt) {
  HostRegistry reg;
  const std::string key = "Software\\K";
  ASSERT_TRUE(reg.WriteString(kUser, key, "Old", "user's"));
  ASSERT_TRUE(reg.WriteDword(kUser, key, "OldNumber", 9));
  ASSERT_TRUE(reg.WriteString(kUser, key, "", "user's default"));
  const auto log = Apply(
      reg,
      Root("HKEY_CURRENT_USER", Key(key, Name("Old") + kKeep + Sz("package's") + Name("OldNumber") + kKeep + Bin("x") +
                                             kDefault + kKeep + Sz("d") + Name("New") + kKeep + Dword(3) +
                                             Name("NewGone") + kKeep + kLogOnly + Name("OLD") + Sz("replaced"))),
      false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\Software\\K\tNew", "HKEY_CURRENT_USER\\Software\\K\tNewGone",
                         "HKEY_CURRENT_USER\\Software\\K\tOLD"}));
  EXPECT_EQ(reg.ReadDword(kUser, key, "OldNumber"), 9u);
  EXPECT_EQ(reg.ReadString(kUser, key, ""), "user's default");
  EXPECT_EQ(reg.ReadDword(kUser, key, "New"), 3u);
  // Without the keep mark a value is written over whatever was there.
  EXPECT_EQ(reg.ReadString(kUser, key, "Old"), "replaced");
}

TEST(RegistryData, ANewNameEndsTheKeepMark) {
  HostRegistry reg;
  ASSERT_TRUE(reg.WriteString(kUser, "Software\\K", "Exists", "x"));
  // The keep mark of "Exists" does not hold for the default value named
  // after it, nor for "Other".
  const auto log =
      Apply(reg,
            Root("HKEY_CURRENT_USER", Key("Software\\K", Name("Exists") + kKeep + kDefault + Sz("d") + Name("Exists") +
                                                             kKeep + Name("Other") + Sz("o"))),
            false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\Software\\K\t(Default)", "HKEY_CURRENT_USER\\Software\\K\tOther"}));
  EXPECT_EQ(reg.ReadString(kUser, "Software\\K", ""), "d");
  EXPECT_EQ(reg.ReadString(kUser, "Software\\K", "Other"), "o");
}

TEST(RegistryData, LogOnlyLogsAValueUnlessItIsKept) {
  HostRegistry reg;
  ASSERT_TRUE(reg.WriteString(kUser, "Software\\L", "There", "x"));
  ASSERT_TRUE(reg.WriteString(kUser, "Software\\L", "Also", "y"));
  const auto log =
      Apply(reg,
            Root("HKEY_CURRENT_USER", Key("Software\\L", Name("There") + kLogOnly + Name("Also") + kKeep + kLogOnly +
                                                             Name("Absent") + kKeep + kLogOnly)),
            false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\Software\\L\tThere", "HKEY_CURRENT_USER\\Software\\L\tAbsent"}));
  // Nothing is written, nothing removed: that is the uninstaller's part.
  EXPECT_EQ(reg.ReadString(kUser, "Software\\L", "There"), "x");
  EXPECT_EQ(reg.ReadString(kUser, "Software\\L", "Also"), "y");
  EXPECT_FALSE(reg.QueryValue(kUser, "Software\\L", "Absent"));
}

TEST(RegistryData, AWholeKeyIsLoggedWithAStar) {
  HostRegistry reg;
  const auto log = Apply(reg, Root("HKEY_CURRENT_USER", Key("Software\\W", Key("Inner", kWholeKey))), false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\Software\\W\\Inner\t*"}));
  EXPECT_TRUE(reg.KeyExists(kUser, "Software\\W\\Inner"));
}

TEST(RegistryData, HkeyAutoFollowsTheInstallationType) {
  const std::string data = Root("HKEY_AUTO", Key("Software\\Auto", Name("V") + Sz("v")));
  HostRegistry all, user;
  EXPECT_EQ(Apply(all, data, true), Sorted({"HKEY_AUTO\\Software\\Auto\tV"}));
  EXPECT_EQ(all.ReadString(kMachine, "Software\\Auto", "V"), "v");
  EXPECT_FALSE(all.KeyExists(kUser, "Software\\Auto"));
  EXPECT_EQ(Apply(user, data, false), Sorted({"HKEY_AUTO\\Software\\Auto\tV"}));
  EXPECT_EQ(user.ReadString(kUser, "Software\\Auto", "V"), "v");
  EXPECT_FALSE(user.KeyExists(kMachine, "Software\\Auto"));
}

TEST(RegistryData, ClassesOfACurrentUserInstallationGoToTheUsersClasses) {
  const std::string data = Root("HKEY_CLASSES_ROOT", Key(".demo", kDefault + Sz("Demo.File")));
  HostRegistry reg;
  EXPECT_EQ(Apply(reg, data, false), Sorted({"HKEY_CLASSES_ROOT\\.demo\t(Default)"}));
  EXPECT_EQ(reg.ReadString(kUser, "Software\\Classes\\.demo", ""), "Demo.File");
  EXPECT_EQ(reg.StoredPath(RegRoot::ClassesRoot, ".demo"), "HKCU\\Software\\Classes\\.demo");
  EXPECT_FALSE(reg.KeyExists(kMachine, "Software\\Classes\\.demo"));

  HostRegistry machine;
  EXPECT_EQ(Apply(machine, data, true), Sorted({"HKEY_CLASSES_ROOT\\.demo\t(Default)"}));
  EXPECT_EQ(machine.ReadString(RegRoot::ClassesRoot, ".demo", ""), "Demo.File");
  EXPECT_EQ(machine.ReadString(kMachine, "Software\\Classes\\.demo", ""), "Demo.File");
  EXPECT_FALSE(machine.KeyExists(kUser, "Software\\Classes\\.demo"));
}

TEST(RegistryData, RootNamesAreReadWithoutRegardToCase) {
  HostRegistry reg;
  EXPECT_EQ(Apply(reg, Root("hkey_Current_User", Key("Software\\C", Name("V") + Dword(1))), false),
            Sorted({"HKEY_CURRENT_USER\\Software\\C\tV"}));
  EXPECT_EQ(reg.ReadDword(kUser, "Software\\C", "V"), 1u);
}

TEST(RegistryData, HkeyUsersOfACurrentUserInstallationIsTheCurrentUser) {
  HostRegistry reg;
  ASSERT_TRUE(reg.CreateKey(RegRoot::Users, "S-1-5-21-1"));
  EXPECT_EQ(Apply(reg, Root("HKEY_USERS", Key("Software\\U", Name("V") + Sz("v"))), false),
            Sorted({"HKEY_CURRENT_USER\\Software\\U\tV"}));
  EXPECT_EQ(reg.ReadString(kUser, "Software\\U", "V"), "v");
  EXPECT_FALSE(reg.KeyExists(RegRoot::Users, "S-1-5-21-1\\Software\\U"));
}

TEST(RegistryData, HkeyUsersOfAnAllUsersInstallationIsEveryProfile) {
  HostRegistry host;
  Guarded reg(host);
  for (const char* p : {"S-1-5-21-A", "S-1-5-21-B", "S-1-5-21-C"}) ASSERT_TRUE(host.CreateKey(RegRoot::Users, p));
  ASSERT_EQ(host.SubkeyNames(RegRoot::Users, "", 256),
            (std::vector<std::string>{"S-1-5-21-A", "S-1-5-21-B", "S-1-5-21-C"}));
  reg.closedProfiles = {"S-1-5-21-C"};
  // B, the last one that opens, is walked first and alone with the log:
  // its kept value is not logged, although A gets it written.
  ASSERT_TRUE(host.WriteString(RegRoot::Users, "S-1-5-21-B\\Software\\U", "Kept", "b's"));
  std::vector<uint64_t> progress;
  const std::string data =
      Root("HKEY_USERS", Key("Software\\U", Name("V") + Sz("%X%") + Name("Kept") + kKeep + Sz("new") +
                                                Key("Deeper", kWholeKey + Name("N") + Dword(2))));
  const auto log = Apply(
      reg, data, true, [](const std::string& s) { return s == "%X%" ? std::string("expanded") : s; }, &progress);
  EXPECT_EQ(log, Sorted({"HKEY_USERS\\Software\\U\tV", "HKEY_USERS\\Software\\U\\Deeper\t*",
                         "HKEY_USERS\\Software\\U\\Deeper\tN"}));
  for (const char* p : {"S-1-5-21-A", "S-1-5-21-B"}) {
    EXPECT_EQ(host.ReadString(RegRoot::Users, std::string(p) + "\\Software\\U", "V"), "expanded") << p;
    EXPECT_EQ(host.ReadDword(RegRoot::Users, std::string(p) + "\\Software\\U\\Deeper", "N"), 2u) << p;
  }
  EXPECT_EQ(host.ReadString(RegRoot::Users, "S-1-5-21-B\\Software\\U", "Kept"), "b's");
  EXPECT_EQ(host.ReadString(RegRoot::Users, "S-1-5-21-A\\Software\\U", "Kept"), "new");
  EXPECT_FALSE(host.KeyExists(RegRoot::Users, "S-1-5-21-C\\Software"));
  EXPECT_FALSE(host.KeyExists(kUser, "Software\\U"));
  EXPECT_EQ(reg.createdUnderUsers,
            (std::vector<std::string>{"S-1-5-21-B\\Software\\U", "S-1-5-21-B\\Software\\U\\Deeper",
                                      "S-1-5-21-A\\Software\\U", "S-1-5-21-A\\Software\\U\\Deeper"}));
  // One root record: the gauge moves once, to the end.
  EXPECT_EQ(progress, (std::vector<uint64_t>{data.size()}));
}

TEST(RegistryData, HkeyUsersWithoutAProfileThatOpensGoesToTheCurrentUser) {
  const std::string data = Root("HKEY_USERS", Key("Software\\U", Name("V") + Sz("v")));
  {
    HostRegistry reg;  // no profile at all
    EXPECT_EQ(Apply(reg, data, true), Sorted({"HKEY_USERS\\Software\\U\tV"}));
    EXPECT_EQ(reg.ReadString(kUser, "Software\\U", "V"), "v");
  }
  // Profiles that a user without admin rights cannot open.
  TestMachine m;
  IRegistry& reg = m.Registry();
  ASSERT_TRUE(reg.CreateKey(RegRoot::Users, "S-1-5-21-1"));
  ASSERT_TRUE(reg.CreateKey(RegRoot::Users, "S-1-5-21-2"));
  static_cast<HostSystem&>(m.System()).Set("admin", "0");
  ASSERT_FALSE(reg.CanWrite(RegRoot::Users, "S-1-5-21-1"));
  EXPECT_EQ(Apply(reg, data, true), Sorted({"HKEY_USERS\\Software\\U\tV"}));
  EXPECT_EQ(reg.ReadString(kUser, "Software\\U", "V"), "v");
  EXPECT_FALSE(reg.KeyExists(RegRoot::Users, "S-1-5-21-1\\Software\\U"));
}

TEST(RegistryData, FolderVariablesAreExpandedInValueNamesAndTexts) {
  HostRegistry reg;
  auto expand = [](const std::string& s) {
    std::string out = s;
    const std::string var = "%APPFOLDER%";
    for (size_t p; (p = out.find(var)) != std::string::npos;) out.replace(p, var.size(), "C:\\Program Files\\App");
    return out;
  };
  const auto log =
      Apply(reg,
            Root("HKEY_CURRENT_USER",
                 Key("Software\\%APPFOLDER%", Name("%APPFOLDER%\\app.exe") + Sz("\"%APPFOLDER%\\app.exe\" %1") +
                                                  kDefault + Sz("%APPFOLDER%") + Name("Raw") + Bin("%APPFOLDER%"))),
            false, expand);
  // Key names stay as they are: they name keys, not folders.
  const std::string key = "Software\\%APPFOLDER%";
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\" + key + "\tC:\\Program Files\\App\\app.exe",
                         "HKEY_CURRENT_USER\\" + key + "\t(Default)", "HKEY_CURRENT_USER\\" + key + "\tRaw"}));
  EXPECT_EQ(reg.ReadString(kUser, key, "C:\\Program Files\\App\\app.exe"), "\"C:\\Program Files\\App\\app.exe\" %1");
  EXPECT_EQ(reg.ReadString(kUser, key, ""), "C:\\Program Files\\App");
  const auto raw = reg.QueryValue(kUser, key, "Raw");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->bytes, "%APPFOLDER%");  // binary data are data
}

TEST(RegistryData, AKeyThatCannotBeCreatedGetsNoValuesButTheWalkGoesOn) {
  HostRegistry host;
  Guarded reg(host);
  reg.failingKeys = {"Software\\Locked"};
  const auto log = Apply(reg,
                         Root("HKEY_CURRENT_USER", Key("Software\\Locked", Name("A") + Sz("a") + kWholeKey +
                                                                               Key("Below", Name("B") + Dword(1))) +
                                                       Key("Software\\Open", Name("C") + Sz("c"))) +
                             Root("HKEY_CURRENT_USER", Key("Software\\Next", Name("D") + Sz("d"))),
                         false);
  EXPECT_EQ(log, Sorted({"HKEY_CURRENT_USER\\Software\\Locked\tA", "HKEY_CURRENT_USER\\Software\\Locked\t*",
                         "HKEY_CURRENT_USER\\Software\\Locked\\Below\tB", "HKEY_CURRENT_USER\\Software\\Open\tC",
                         "HKEY_CURRENT_USER\\Software\\Next\tD"}));
  EXPECT_FALSE(host.KeyExists(kUser, "Software\\Locked"));
  EXPECT_FALSE(host.KeyExists(kUser, "Software\\Locked\\Below"));
  EXPECT_EQ(host.ReadString(kUser, "Software\\Open", "C"), "c");
  EXPECT_EQ(host.ReadString(kUser, "Software\\Next", "D"), "d");
}

TEST(RegistryData, MachineKeysOfAUserWithoutRightsAreLoggedButNotWritten) {
  TestMachine m;
  IRegistry& reg = m.Registry();
  static_cast<HostSystem&>(m.System()).Set("admin", "0");
  const auto log = Apply(reg,
                         Root("HKEY_LOCAL_MACHINE", Key("Software\\M", Name("V") + Sz("v"))) +
                             Root("HKEY_CURRENT_USER", Key("Software\\M", Name("V") + Sz("v"))),
                         false);
  EXPECT_EQ(log, Sorted({"HKEY_LOCAL_MACHINE\\Software\\M\tV", "HKEY_CURRENT_USER\\Software\\M\tV"}));
  EXPECT_FALSE(reg.KeyExists(kMachine, "Software\\M"));
  EXPECT_EQ(reg.ReadString(kUser, "Software\\M", "V"), "v");
}

TEST(RegistryData, AValueKeptInAKeyThatCannotBeWrittenIsNotLogged) {
  TestMachine m;
  IRegistry& reg = m.Registry();
  ASSERT_TRUE(reg.WriteString(kMachine, "Software\\ReadOnly", "Kept", "machine's"));
  static_cast<HostSystem&>(m.System()).Set("admin", "0");
  // The key does not open for writing, yet its values can be read: the
  // one that exists is the machine's and must stay out of the log.
  const auto log = Apply(reg,
                         Root("HKEY_LOCAL_MACHINE", Key("Software\\ReadOnly", Name("Kept") + kKeep + Sz("new") +
                                                                                  Name("Missing") + kKeep + Sz("m"))),
                         false);
  EXPECT_EQ(log, Sorted({"HKEY_LOCAL_MACHINE\\Software\\ReadOnly\tMissing"}));
  EXPECT_EQ(reg.ReadString(kMachine, "Software\\ReadOnly", "Kept"), "machine's");
  EXPECT_FALSE(reg.QueryValue(kMachine, "Software\\ReadOnly", "Missing"));
}

TEST(RegistryData, ProgressFollowsEachRootRecord) {
  HostRegistry reg;
  const std::string data = EveryTagStream();
  std::vector<uint64_t> progress;
  Apply(reg, data, false, {}, &progress);
  const std::set<size_t> ends = RootEnds(data);
  EXPECT_EQ(progress, std::vector<uint64_t>(std::next(ends.begin()), ends.end()));
}

TEST(RegistryData, TruncationOnTheSimulatedRegistryRaisesOrAppliesWholeRoots) {
  const std::string data = EveryTagStream();
  const std::set<size_t> ends = RootEnds(data);
  for (size_t n = 0; n <= data.size(); ++n) {
    HostRegistry reg;
    const std::string cut = data.substr(0, n);
    const std::string applied = Raised([&] { Apply(reg, cut, n % 2 == 0); });
    EXPECT_EQ(applied, Raised([&] { CheckRegistryData(cut); })) << n;
    EXPECT_EQ(applied.empty(), ends.count(n) == 1) << n;
  }
}

TEST(RegistryData, TheCheckAgreesWithTheWalkOnEveryChangedByte) {
  const std::string data = EveryTagStream() + Root("HKEY_LOCAL_MACHINE", Key("S", Name("n") + Bin("abc")));
  for (size_t i = 0; i < data.size(); ++i) {
    for (const uint8_t b : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x7F, 0xFE, 0xFF}) {
      std::string changed = data;
      changed[i] = static_cast<char>(b);
      const std::string checked = Raised([&] { CheckRegistryData(changed); });
      for (const bool allUsers : {false, true}) {
        HostRegistry host;
        Guarded reg(host);
        for (const char* p : {"S-1", "S-2"}) host.CreateKey(RegRoot::Users, p);
        EXPECT_EQ(Raised([&] { Apply(reg, changed, allUsers); }), checked) << i << " " << int(b);
      }
    }
  }
}

TEST(RegistryData, DamagedDataWriteNothingAtAll) {
  // A whole first root, then damage in the second: not even the first is
  // written, for the stream is read whole before anything is applied.
  const std::string data = Root("HKEY_CURRENT_USER", Key("Software\\First", Name("V") + Sz("v"))) + Tag(1) +
                           Str("HKEY_CURRENT_USER") + Tag(42);
  HostRegistry reg;
  TSortedStrings log;
  RegistryDataTarget t{reg, false, {}, {}};
  EXPECT_NE(Raised([&] { ApplyRegistryData(data, t, log); }), "");
  EXPECT_FALSE(reg.KeyExists(kUser, "Software\\First"));
  EXPECT_TRUE(log.Items().empty());
}
#endif

}  // namespace
