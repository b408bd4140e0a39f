#include "package/RegistryStream.h"

#include <string_view>

#include "base/Errors.h"
#include "base/Text.h"
#include "package/DataStream.h"

namespace stw {

namespace {

using namespace registry_stream;

// Short enough for a message box, whatever the damaged bytes hold.
std::string Quoted(const std::string& s) {
  constexpr size_t kMax = 40;
  return "\"" + (s.size() > kMax ? s.substr(0, kMax) + "..." : s) + "\"";
}

class Decoder {
 public:
  Decoder(std::string_view data, const std::string& prefix) : d_(data), prefix_(prefix) {}

  std::vector<RegistryRootEntry> Decode() {
    std::vector<RegistryRootEntry> roots;
    while (pos_ < d_.size() && static_cast<uint8_t>(d_[pos_]) == kTagRoot) {
      ++pos_;
      RegistryRootEntry r;
      const size_t at = pos_;
      r.root = String("a root name");
      bool known = false;
      for (const char* name : kRoots) known = known || EqualsIgnoreAsciiCase(r.root, name);
      if (!known) Damaged("name an unknown root " + Quoted(r.root), at);
      Body(r.values, r.keys, r.wholeKey, 0);
      r.streamEnd = pos_;
      roots.push_back(std::move(r));
    }
    return roots;
  }

 private:
  [[noreturn]] void Damaged(const std::string& what, size_t at) const {
    throw ESetupException(prefix_ + what + " at byte " + std::to_string(at) + ".");
  }

  // A name that would break the log's line format (one entry per line, a
  // tab before the value's name) or that the system would cut at a zero.
  void CheckName(const std::string& name, const char* what, size_t at) const {
    if (name.find_first_of(std::string_view("\t\r\n\0", 4)) != std::string::npos)
      Damaged(std::string("have ") + what + " with a tab, a line break or a zero", at);
  }

  void Body(std::vector<RegistryValueEntry>& values, std::vector<RegistryKeyEntry>& keys, bool& wholeKey, int depth) {
    using T = RegistryValueEntry::Type;
    RegistryValueEntry v;
    bool named = false;
    for (;;) {
      const size_t at = pos_;
      if (pos_ >= d_.size()) Damaged("end inside a key body", at);
      const uint8_t tag = static_cast<uint8_t>(d_[pos_++]);
      // Tags 5 to 9 belong to the value that a 3 or 4 named.
      if (tag >= kTagKeepExisting && tag <= kTagBinary && !named)
        Damaged("give tag " + std::to_string(tag) + " to a value that tag 3 or 4 did not name", at);
      switch (tag) {
        case kTagEnd:
          return;
        case kTagSubkey: {
          RegistryKeyEntry k;
          k.name = String("a key name");
          CheckName(k.name, "a key name", at);
          if (depth >= kMaxKeyDepth) Damaged("nest keys deeper than " + std::to_string(kMaxKeyDepth) + " levels", at);
          Body(k.values, k.keys, k.wholeKey, depth + 1);
          keys.push_back(std::move(k));
          break;
        }
        case kTagWholeKey:
          wholeKey = true;
          break;
        case kTagDefaultValue:
          v = {};
          v.isDefault = true;
          named = true;
          break;
        case kTagValueName:
          v = {};
          v.name = String("a value name");
          CheckName(v.name, "a value name", at);
          named = true;
          break;
        case kTagKeepExisting:
          v.keepExisting = true;
          break;
        case kTagLogOnly:
          v.logOnly = true;
          v.type = T::None;
          break;
        case kTagString:
          v.type = T::String;
          v.text = String("a text value");
          break;
        case kTagDword:
          v.type = T::Dword;
          v.dword = LoadU32(Take(4, "a number value", pos_));
          break;
        case kTagBinary: {
          v.type = T::Binary;
          const uint32_t n = LoadU32(Take(4, "a binary value", at + 1));
          v.bytes.assign(reinterpret_cast<const char*>(Take(n, "a binary value", at + 1)), n);
          break;
        }
        default:
          Damaged("hold an unknown tag " + std::to_string(tag) + " in a key body", at);
      }
      if (tag >= kTagLogOnly && tag <= kTagBinary) {
        // Tags 6 to 9 complete the value; the next needs its own name.
        values.push_back(std::move(v));
        v = {};
        named = false;
      }
    }
  }

  std::string String(const char* what) {
    const size_t at = pos_;
    const uint16_t n = LoadU16(Take(2, what, at));
    return std::string(reinterpret_cast<const char*>(Take(n, what, at)), n);
  }
  const uint8_t* Take(size_t n, const char* what, size_t at) {
    if (n > d_.size() - pos_) Damaged(std::string("have ") + what + " that runs past their end", at);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(d_.data()) + pos_;
    pos_ += n;
    return p;
  }

  std::string_view d_;
  const std::string& prefix_;
  size_t pos_ = 0;
};

}  // namespace

std::vector<RegistryRootEntry> DecodeRegistryData(const std::string& data, const std::string& prefix) {
  return Decoder(data, prefix).Decode();
}

}  // namespace stw
