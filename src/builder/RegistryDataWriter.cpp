#include "builder/RegistryDataWriter.h"

#include <string_view>

#include "base/Errors.h"
#include "base/Text.h"
#include "package/RegistryStream.h"

namespace stw {

namespace {

using namespace registry_stream;

bool KnownRoot(const std::string& name) {
  for (const char* r : kRoots)
    if (EqualsIgnoreAsciiCase(name, r)) return true;
  return false;
}

// ---------------------------------------------------------------- writing

class Writer {
 public:
  std::string Encode(const std::vector<RegistryRootEntry>& roots) {
    for (size_t i = 0; i < roots.size(); ++i) {
      const RegistryRootEntry& r = roots[i];
      const std::string at = "registry[" + std::to_string(i) + "]";
      if (!KnownRoot(r.root))
        Fail(at, "the root \"" + r.root +
                     "\" is none of HKEY_AUTO, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS");
      if (r.wholeKey) Fail(at, "a whole root cannot be removed by the uninstaller");
      Tag(kTagRoot);
      String(r.root, at, "the root");
      Content(r.values, r.keys, at, 0);
    }
    return out_;
  }

 private:
  [[noreturn]] static void Fail(const std::string& at, const std::string& what) {
    throw ESetupException(at + ": " + what);
  }

  void Tag(uint8_t t) { out_.push_back(static_cast<char>(t)); }
  void U16(uint16_t v) {
    out_.push_back(static_cast<char>(v & 0xFF));
    out_.push_back(static_cast<char>(v >> 8));
  }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void String(const std::string& s, const std::string& at, const char* what) {
    if (s.size() > 0xFFFF) Fail(at, std::string(what) + " is longer than 65535 bytes");
    U16(static_cast<uint16_t>(s.size()));
    out_ += s;
  }
  static void CheckName(const std::string& name, const std::string& at) {
    if (name.find_first_of(std::string_view("\t\r\n\0", 4)) != std::string::npos)
      Fail(at, "the name \"" + name + "\" holds a tab, a line break or a zero, which the log cannot keep");
  }

  // A key's values and subkeys and its end; the key's own name is written.
  void Content(const std::vector<RegistryValueEntry>& values, const std::vector<RegistryKeyEntry>& keys,
               const std::string& at, int depth) {
    for (size_t i = 0; i < values.size(); ++i) Value(values[i], at + ".values[" + std::to_string(i) + "]");
    for (size_t i = 0; i < keys.size(); ++i) {
      const RegistryKeyEntry& k = keys[i];
      const std::string kat = at + ".keys[" + std::to_string(i) + "]";
      if (depth >= kMaxKeyDepth) Fail(kat, "keys nest deeper than " + std::to_string(kMaxKeyDepth) + " levels");
      if (k.name.empty()) Fail(kat, "a key needs a name");
      CheckName(k.name, kat);
      Tag(kTagSubkey);
      String(k.name, kat, "the name");
      if (k.wholeKey) Tag(kTagWholeKey);
      Content(k.values, k.keys, kat, depth + 1);
    }
    Tag(kTagEnd);
  }

  void Value(const RegistryValueEntry& v, const std::string& at) {
    using T = RegistryValueEntry::Type;
    if (v.isDefault) {
      if (!v.name.empty()) Fail(at, "the default value has no name, yet \"" + v.name + "\" is given");
      Tag(kTagDefaultValue);
    } else {
      // An empty name would be the default value under another log name.
      if (v.name.empty()) Fail(at, "a value needs a name or to be the default value");
      CheckName(v.name, at);
      Tag(kTagValueName);
      String(v.name, at, "the name");
    }
    if (v.logOnly != (v.type == T::None))
      Fail(at, v.logOnly ? "a log-only value carries no data" : "a value needs data: a string, a dword or binary");
    if (v.keepExisting) Tag(kTagKeepExisting);
    switch (v.type) {
      case T::None:
        Tag(kTagLogOnly);
        break;
      case T::String:
        Tag(kTagString);
        String(v.text, at, "the string");
        break;
      case T::Dword:
        Tag(kTagDword);
        U32(v.dword);
        break;
      case T::Binary: {
        const uint32_t n = static_cast<uint32_t>(v.bytes.size());
        if (n != v.bytes.size()) Fail(at, "the binary data are longer than 4294967295 bytes");
        Tag(kTagBinary);
        U32(n);
        out_ += v.bytes;
        break;
      }
    }
  }

  std::string out_;
};

}  // namespace

std::string EncodeRegistryData(const std::vector<RegistryRootEntry>& roots) { return Writer().Encode(roots); }

}  // namespace stw
