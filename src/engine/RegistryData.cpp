#include "engine/RegistryData.h"

#include <string_view>
#include <vector>

#include "base/Errors.h"
#include "base/Text.h"
#include "package/DataStream.h"
#include "package/RegistryStream.h"

namespace stw {

namespace {

using namespace registry_stream;

[[noreturn]] void Damaged(const std::string& what, size_t at) {
  throw ESetupException("The setup package is damaged: the registry data " + what + " at byte " + std::to_string(at) +
                        ".");
}

// The stream with its position; every read is checked against what is left.
class Reader {
 public:
  explicit Reader(std::string_view data) : d_(data) {}
  bool AtEnd() const { return pos_ >= d_.size(); }
  size_t Position() const { return pos_; }
  void SetPosition(size_t p) { pos_ = p; }
  uint8_t PeekByte() const { return static_cast<uint8_t>(d_[pos_]); }

  // The next tag of a key body, which must not end before its tag 255.
  uint8_t Tag() {
    if (AtEnd()) Damaged("end inside a key body", pos_);
    return static_cast<uint8_t>(d_[pos_++]);
  }
  std::string String(const char* what) {
    const size_t at = pos_;
    const uint16_t n = LoadU16(Take(2, what, at));
    return std::string(reinterpret_cast<const char*>(Take(n, what, at)), n);
  }
  uint32_t Dword() { return LoadU32(Take(4, "a number value", pos_)); }
  std::string Block() {
    const size_t at = pos_;
    const uint32_t n = LoadU32(Take(4, "a binary value", at));
    return std::string(reinterpret_cast<const char*>(Take(n, "a binary value", at)), n);
  }

 private:
  const uint8_t* Take(size_t n, const char* what, size_t at) {
    if (n > d_.size() - pos_) Damaged(std::string("have ") + what + " that runs past their end", at);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(d_.data()) + pos_;
    pos_ += n;
    return p;
  }

  std::string_view d_;
  size_t pos_ = 0;
};

// A key as the walk holds it: where the registry calls find it and how the
// log names it, which differ for the current user's classes and for the
// profiles of HKEY_USERS.
struct Key {
  RegRoot root;
  std::string path;  // below the root; "" is the root itself
  std::string logPath;
  bool open;  // created or opened: the values below it are written
};

// The value that tags 3 and 4 named and tags 5 to 9 complete.
struct PendingValue {
  bool named = false;
  std::string name;  // "" for the default value
  std::string display;
  bool keepExisting = false;
};

// Short enough for a message box, whatever the damaged bytes hold.
std::string Quoted(const std::string& s) {
  constexpr size_t kMax = 40;
  return "\"" + (s.size() > kMax ? s.substr(0, kMax) + "..." : s) + "\"";
}

// A name that would break the log's line format (one entry per line, a tab
// before the value's name) or that the system would cut at a zero.
void CheckName(const std::string& name, const char* what, size_t at) {
  if (name.find_first_of(std::string_view("\t\r\n\0", 4)) != std::string::npos)
    Damaged(std::string("have ") + what + " with a tab, a line break or a zero", at);
}

std::string Joined(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "\\" + name;
}

// One walk over the stream: against the target's registry, or without any
// (a dry run) when `target` is null.
class Walker {
 public:
  Walker(const std::string& data, const RegistryDataTarget* target, TSortedStrings* log)
      : r_(data), t_(target), reg_(target ? &target->reg : nullptr), log_(log) {}

  void Run() {
    while (!r_.AtEnd() && r_.PeekByte() == kTagRoot) {
      r_.SetPosition(r_.Position() + 1);
      Root();
      if (t_ && t_->progress) t_->progress(r_.Position());
    }
  }

 private:
  void Root() {
    const size_t at = r_.Position();
    const std::string name = r_.String("a root name");
    const bool allUsers = t_ && t_->allUsers;
    if (EqualsIgnoreAsciiCase(name, kAuto)) {
      // Logged under its own name: the uninstaller maps it back with the
      // user type the log records.
      Body({allUsers ? RegRoot::LocalMachine : RegRoot::CurrentUser, "", kAuto, true}, 0, true);
    } else if (EqualsIgnoreAsciiCase(name, kClassesRoot)) {
      if (allUsers) {
        Body({RegRoot::ClassesRoot, "", kClassesRoot, true}, 0, true);
      } else {
        // The user's own classes, which the system merges into the view of
        // HKEY_CLASSES_ROOT; the uninstaller reads the log the same way.
        // The key is made with the first subkey or value below it.
        Body({RegRoot::CurrentUser, "Software\\Classes", kClassesRoot, true}, 0, true);
      }
    } else if (EqualsIgnoreAsciiCase(name, kCurrentUser)) {
      Body({RegRoot::CurrentUser, "", kCurrentUser, true}, 0, true);
    } else if (EqualsIgnoreAsciiCase(name, kLocalMachine)) {
      Body({RegRoot::LocalMachine, "", kLocalMachine, true}, 0, true);
    } else if (EqualsIgnoreAsciiCase(name, kUsers)) {
      if (allUsers)
        EveryProfile();
      else
        Body({RegRoot::CurrentUser, "", kCurrentUser, true}, 0, true);
    } else {
      Damaged("name an unknown root " + Quoted(name), at);
    }
  }

  // HKEY_USERS in an all-users installation: the same body for every
  // profile that opens for writing. Only the first walk logs, and under
  // HKEY_USERS without the profile, so each value is logged once and the
  // uninstaller removes it from every profile again.
  void EveryProfile() {
    std::vector<std::string> profiles = reg_->SubkeyNames(RegRoot::Users, "", 256);
    const size_t body = r_.Position();
    bool applied = false;
    for (auto it = profiles.rbegin(); it != profiles.rend(); ++it) {
      if (!reg_->CanWrite(RegRoot::Users, *it)) continue;
      r_.SetPosition(body);
      Body({RegRoot::Users, *it, kUsers, true}, 0, !applied);
      applied = true;
    }
    if (!applied) Body({RegRoot::CurrentUser, "", kUsers, true}, 0, true);
  }

  void Body(const Key& key, int depth, bool logging) {
    PendingValue v;
    for (;;) {
      const size_t at = r_.Position();
      const uint8_t tag = r_.Tag();
      switch (tag) {
        case kTagEnd:
          return;
        case kTagSubkey: {
          const std::string name = r_.String("a key name");
          CheckName(name, "a key name", at);
          if (depth >= kMaxKeyDepth)
            Damaged("nest keys deeper than " + std::to_string(kMaxKeyDepth) + " levels", at);
          Key sub{key.root, Joined(key.path, name), key.logPath + "\\" + name, false};
          // Below a key that failed nothing can be created; the body is
          // still read, for the stream goes on after it.
          sub.open = key.open && (!reg_ || reg_->CreateKey(sub.root, sub.path));
          Body(sub, depth + 1, logging);
          break;
        }
        case kTagWholeKey:
          if (logging) Log(key.logPath + "\t*");
          break;
        case kTagDefaultValue:
          v = {true, "", "(Default)", false};
          break;
        case kTagValueName: {
          const std::string raw = r_.String("a value name");
          CheckName(raw, "a value name", at);
          v.named = true;
          v.name = Expand(raw);
          v.display = v.name;
          v.keepExisting = false;
          break;
        }
        case kTagKeepExisting:
          Named(v, tag, at);
          // Asked even when the key could not be created: a value that is
          // there already must not be logged, or the uninstaller would
          // remove what this installation never wrote.
          if (reg_) v.keepExisting = reg_->QueryValue(key.root, key.path, v.name).has_value();
          break;
        case kTagLogOnly:
          Named(v, tag, at);
          if (logging && !v.keepExisting) Log(key.logPath + "\t" + v.display);
          v.named = false;
          break;
        case kTagString: {
          Named(v, tag, at);
          const std::string text = r_.String("a text value");
          if (!v.keepExisting) {
            if (reg_ && key.open) reg_->WriteString(key.root, key.path, v.name, Expand(text));
            if (logging) Log(key.logPath + "\t" + v.display);
          }
          v.named = false;
          break;
        }
        case kTagDword: {
          Named(v, tag, at);
          const uint32_t n = r_.Dword();
          if (!v.keepExisting) {
            if (reg_ && key.open) reg_->WriteDword(key.root, key.path, v.name, n);
            if (logging) Log(key.logPath + "\t" + v.display);
          }
          v.named = false;
          break;
        }
        case kTagBinary: {
          Named(v, tag, at);
          const std::string bytes = r_.Block();
          if (!v.keepExisting) {
            if (reg_ && key.open) reg_->WriteBinary(key.root, key.path, v.name, bytes);
            if (logging) Log(key.logPath + "\t" + v.display);
          }
          v.named = false;
          break;
        }
        default:
          Damaged("hold an unknown tag " + std::to_string(tag) + " in a key body", at);
      }
    }
  }

  static void Named(const PendingValue& v, uint8_t tag, size_t at) {
    if (!v.named) Damaged("give tag " + std::to_string(tag) + " to a value that tag 3 or 4 did not name", at);
  }

  std::string Expand(const std::string& text) const { return t_ && t_->expand ? t_->expand(text) : text; }

  void Log(const std::string& line) {
    if (log_) log_->Add(line);
  }

  Reader r_;
  const RegistryDataTarget* t_;
  IRegistry* reg_;
  TSortedStrings* log_;
};

}  // namespace

void ApplyRegistryData(const std::string& data, const RegistryDataTarget& target, TSortedStrings& log) {
  Walker(data, &target, &log).Run();
}

void CheckRegistryData(const std::string& data) { Walker(data, nullptr, nullptr).Run(); }

}  // namespace stw
