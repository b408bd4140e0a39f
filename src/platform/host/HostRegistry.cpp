// The registry of the simulated machine (see HostPlatform.h).
#include <locale.h>
#include <wctype.h>

#include <cstdlib>
#include <map>

#include "base/Text.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/MachineFiles.h"

namespace stw {
namespace {

// The comparison form of a key or value name. Windows compares names by
// upper-casing each UTF-16 unit, non-ASCII letters included, so "Ä" and
// "ä" name one key; towupper under a UTF-8 locale does the same here,
// whatever locale the program itself runs in.
std::string Fold(std::string_view name) {
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u16string w = Utf8ToUtf16(name);
  for (char16_t& c : w) {
    if (c < 0x80) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    } else if (utf8 && (c < 0xD800 || c > 0xDFFF)) {
      const wint_t up = ::towupper_l(static_cast<wint_t>(c), utf8);
      if (up <= 0xFFFF) c = static_cast<char16_t>(up);
    }
  }
  return Utf16ToUtf8(w);
}

struct Value {
  std::string name;  // as first written
  bool isDword = false, isBinary = false;
  std::string text;  // a string's text, or a binary value's bytes
  uint32_t dword = 0;
};

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool FromHex(const std::string& hex, std::string& bytes) {
  if (hex.size() % 2) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

struct Node {
  std::string name;  // as first created
  std::map<std::string, std::unique_ptr<Node>> keys;  // by Fold(name)
  std::map<std::string, Value> values;  // by Fold(name)
};

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find('\\', start);
    if (end == std::string::npos) end = key.size();
    // Empty parts (a leading, trailing or doubled "\") name nothing.
    if (end > start) parts.push_back(key.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool Is(const std::string& part, const char* name) { return Fold(part) == Fold(name); }

// Under a "Classes" key, the parts of the registry that hold COM's
// registrations are separate for 32-bit programs.
void RedirectClasses(std::vector<std::string>& parts, size_t classesEnd) {
  static const char* const kRedirected[] = {"CLSID", "DirectShow", "Interface", "Media Type", "MediaFoundation"};
  if (parts.size() <= classesEnd) return;
  for (const char* r : kRedirected) {
    if (Is(parts[classesEnd], r)) {
      parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(classesEnd), "Wow6432Node");
      return;
    }
  }
}

// The stored parts of a key of HKLM ("HKLM") or HKCU ("HKCU") as a 32-bit
// program sees them on a 64-bit system.
void RedirectFor32Bit(const std::string& storedRoot, std::vector<std::string>& parts) {
  if (parts.empty() || !Is(parts[0], "Software")) return;
  const bool classes = parts.size() >= 2 && Is(parts[1], "Classes");
  if (classes) {
    RedirectClasses(parts, 2);
  } else if (storedRoot == "HKLM" && !(parts.size() >= 2 && Is(parts[1], "Wow6432Node"))) {
    parts.insert(parts.begin() + 1, "Wow6432Node");
  }
}

Node* Child(Node& n, const std::string& name) {
  const auto it = n.keys.find(Fold(name));
  return it == n.keys.end() ? nullptr : it->second.get();
}

Node* MakeChild(Node& n, const std::string& name, bool& created) {
  std::unique_ptr<Node>& slot = n.keys[Fold(name)];
  if (!slot) {
    slot = std::make_unique<Node>();
    slot->name = name;
    created = true;
  }
  return slot.get();
}

void Serialise(const Node& n, const std::string& path, std::string& out) {
  out += "key\t" + host::EscapeField(path) + "\n";
  for (const auto& [fold, v] : n.values) {
    if (v.isDword) {
      out += "dword\t" + host::EscapeField(v.name) + "\t" + std::to_string(v.dword) + "\n";
    } else if (v.isBinary) {
      out += "bin\t" + host::EscapeField(v.name) + "\t" + Hex(v.text) + "\n";
    } else {
      out += "sz\t" + host::EscapeField(v.name) + "\t" + host::EscapeField(v.text) + "\n";
    }
  }
  for (const auto& [fold, child] : n.keys) Serialise(*child, path + "\\" + child->name, out);
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

bool ParseDword(const std::string& s, uint32_t& v) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t n = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > 0xFFFFFFFFu) return false;
  v = static_cast<uint32_t>(n);
  return true;
}

// Reads the file's text into `top`. Lines it does not understand (a hand
// edit gone wrong, a newer format's additions) are skipped, not fatal: the
// rest of the machine's registry stays usable.
void Parse(const std::string& text, Node& top) {
  Node* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> f = SplitFields(line);
    if (f.size() == 2 && f[0] == "key") {
      const std::vector<std::string> parts = SplitKey(host::UnescapeField(f[1]));
      current = nullptr;
      if (parts.empty() || !(parts[0] == "HKCU" || parts[0] == "HKLM" || parts[0] == "HKU" || parts[0] == "HKCC"))
        continue;
      bool created = false;
      current = &top;
      for (const std::string& p : parts) current = MakeChild(*current, p, created);
    } else if (f.size() == 3 && current && (f[0] == "sz" || f[0] == "dword" || f[0] == "bin")) {
      Value v;
      v.name = host::UnescapeField(f[1]);
      if (f[0] == "sz") {
        v.text = host::UnescapeField(f[2]);
      } else if (f[0] == "bin") {
        v.isBinary = true;
        if (!FromHex(f[2], v.text)) continue;
      } else {
        v.isDword = true;
        if (!ParseDword(f[2], v.dword)) continue;
      }
      current->values[Fold(v.name)] = std::move(v);
    }
  }
}

Node* Find(Node& top, const std::string& root, const std::vector<std::string>& parts) {
  Node* n = Child(top, root);
  for (size_t i = 0; n && i < parts.size(); ++i) n = Child(*n, parts[i]);
  return n;
}

Node* Make(Node& top, const std::string& root, const std::vector<std::string>& parts, bool& created) {
  Node* n = MakeChild(top, root, created);
  for (const std::string& p : parts) n = MakeChild(*n, p, created);
  return n;
}

}  // namespace

struct HostRegistry::State {
  Node top;  // its keys are the stored roots "HKCU", "HKLM" and "HKU"
  host::FileStamp stamp;  // of the file the tree was read from
  bool loaded = false;
};

HostRegistry::HostRegistry(std::string machineRoot)
    : root_(std::move(machineRoot)), system_(root_), state_(std::make_unique<State>()) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (!root_.empty()) {
    file_ = root_ + "/registry.txt";
    lock_ = root_ + "/registry.lock";
  }
}

HostRegistry::~HostRegistry() = default;

void HostRegistry::Refresh() {
  if (file_.empty()) return;
  // The stamp is taken before the read: should the file be replaced in
  // between, the next call sees a newer stamp and reads it again.
  const host::FileStamp stamp = host::StampOf(file_);
  if (state_->loaded && stamp == state_->stamp) return;
  state_->top = Node{};
  if (stamp.exists) {
    if (const std::optional<std::string> text = host::ReadWholeFile(file_)) Parse(*text, state_->top);
  }
  state_->stamp = stamp;
  state_->loaded = true;
}

bool HostRegistry::Save() {
  if (file_.empty()) return true;
  std::string text = "stw-registry 1\n";
  for (const auto& [fold, root] : state_->top.keys) Serialise(*root, root->name, text);
  if (!host::ReplaceFileContent(file_, text)) return false;
  state_->stamp = host::StampOf(file_);
  return true;
}

template <class F>
bool HostRegistry::Modify(F&& change) {
  std::lock_guard<std::mutex> g(mutex_);
  // Read, change and write back as one step against other processes and
  // objects of the same machine, so that no one's change is lost.
  host::FileLock lock(lock_);
  Refresh();
  bool changed = false;
  const bool result = change(changed);
  if (changed && !Save()) {
    // What could not be saved must not live on in this object alone.
    state_->loaded = false;
    Refresh();
    return false;
  }
  return result;
}

HostRegistry::Path HostRegistry::Resolve(RegRoot root, const std::string& key, RegView view) {
  const bool redirect = view == RegView::Default && system_.Is64BitSystem();
  std::vector<std::string> parts = SplitKey(key);
  const bool isRoot = parts.empty();
  auto in = [&](const char* stored, std::vector<std::string> p) {
    if (redirect) RedirectFor32Bit(stored, p);
    return Path{stored, std::move(p), isRoot};
  };
  switch (root) {
    case RegRoot::CurrentUser: return in("HKCU", std::move(parts));
    case RegRoot::LocalMachine: return in("HKLM", std::move(parts));
    case RegRoot::Users: return Path{"HKU", std::move(parts), isRoot};
    case RegRoot::CurrentConfig: return Path{"HKCC", std::move(parts), isRoot};
    case RegRoot::ClassesRoot: break;
  }
  std::vector<std::string> classes = {"Software", "Classes"};
  classes.insert(classes.end(), parts.begin(), parts.end());
  // The user's own class registrations hide the machine's.
  Path user = in("HKCU", classes);
  if (!isRoot && Find(state_->top, user.root, user.parts)) return user;
  return in("HKLM", std::move(classes));
}

bool HostRegistry::MayWrite(const Path& p) { return p.root == "HKCU" || system_.IsAdminMember(); }

std::string HostRegistry::StoredPath(RegRoot root, const std::string& key, RegView view) {
  std::lock_guard<std::mutex> g(mutex_);
  Refresh();
  const Path p = Resolve(root, key, view);
  std::string s = p.root;
  for (const std::string& part : p.parts) s += "\\" + part;
  return s;
}

bool HostRegistry::KeyExists(RegRoot root, const std::string& key, RegView view) {
  std::lock_guard<std::mutex> g(mutex_);
  Refresh();
  const Path p = Resolve(root, key, view);
  // The roots themselves always exist.
  return p.isRoot || Find(state_->top, p.root, p.parts) != nullptr;
}

bool HostRegistry::CreateKey(RegRoot root, const std::string& key, RegView view) {
  return Modify([&](bool& changed) {
    const Path p = Resolve(root, key, view);
    if (!MayWrite(p)) return false;
    Make(state_->top, p.root, p.parts, changed);
    return true;
  });
}

bool HostRegistry::CanWrite(RegRoot root, const std::string& key, RegView view) {
  std::lock_guard<std::mutex> g(mutex_);
  Refresh();
  const Path p = Resolve(root, key, view);
  return (p.isRoot || Find(state_->top, p.root, p.parts) != nullptr) && MayWrite(p);
}

// Under the lock, with the file's current content: `pick` of the value, or
// nothing when the key or the value is missing.
template <class T, class F>
std::optional<T> HostRegistry::ReadValue(RegRoot root, const std::string& key, const std::string& name, RegView view,
                                         F&& pick) {
  std::lock_guard<std::mutex> g(mutex_);
  Refresh();
  const Path p = Resolve(root, key, view);
  Node* n = Find(state_->top, p.root, p.parts);
  if (!n) return std::nullopt;
  const auto it = n->values.find(Fold(name));
  if (it == n->values.end()) return std::nullopt;
  return pick(it->second);
}

std::optional<std::string> HostRegistry::ReadString(RegRoot root, const std::string& key, const std::string& name,
                                                    RegView view) {
  return ReadValue<std::string>(root, key, name, view, [](const Value& v) -> std::optional<std::string> {
    if (v.isDword || v.isBinary) return std::nullopt;
    return v.text;
  });
}

std::optional<uint32_t> HostRegistry::ReadDword(RegRoot root, const std::string& key, const std::string& name,
                                                RegView view) {
  return ReadValue<uint32_t>(root, key, name, view, [](const Value& v) -> std::optional<uint32_t> {
    if (!v.isDword) return std::nullopt;
    return v.dword;
  });
}

bool HostRegistry::WriteString(RegRoot root, const std::string& key, const std::string& name,
                               const std::string& value, RegView view) {
  return Modify([&](bool& changed) {
    const Path p = Resolve(root, key, view);
    if (!MayWrite(p)) return false;
    Value& v = Make(state_->top, p.root, p.parts, changed)->values[Fold(name)];
    if (v.name.empty()) v.name = name;  // an existing value keeps its name's case
    v.isDword = v.isBinary = false;
    v.text = value;
    v.dword = 0;
    changed = true;
    return true;
  });
}

bool HostRegistry::WriteDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value,
                              RegView view) {
  return Modify([&](bool& changed) {
    const Path p = Resolve(root, key, view);
    if (!MayWrite(p)) return false;
    Value& v = Make(state_->top, p.root, p.parts, changed)->values[Fold(name)];
    if (v.name.empty()) v.name = name;
    v.isDword = true;
    v.isBinary = false;
    v.text.clear();
    v.dword = value;
    changed = true;
    return true;
  });
}

bool HostRegistry::WriteBinary(RegRoot root, const std::string& key, const std::string& name,
                               const std::string& bytes, RegView view) {
  return Modify([&](bool& changed) {
    const Path p = Resolve(root, key, view);
    if (!MayWrite(p)) return false;
    Value& v = Make(state_->top, p.root, p.parts, changed)->values[Fold(name)];
    if (v.name.empty()) v.name = name;
    v.isDword = false;
    v.isBinary = true;
    v.text = bytes;
    v.dword = 0;
    changed = true;
    return true;
  });
}

std::optional<RegValue> HostRegistry::QueryValue(RegRoot root, const std::string& key, const std::string& name,
                                                 RegView view) {
  return ReadValue<RegValue>(root, key, name, view, [](const Value& v) -> std::optional<RegValue> {
    RegValue r;
    if (v.isDword) {
      r.kind = RegValue::Dword;
      r.dword = v.dword;
      for (int i = 0; i < 4; ++i) r.bytes.push_back(static_cast<char>(v.dword >> (8 * i)));
    } else if (v.isBinary) {
      r.kind = RegValue::Binary;
      r.bytes = v.text;
    } else {
      r.kind = RegValue::String;
      r.text = v.text;
      // As Windows stores it: UTF-16 with the terminating zero.
      for (const char16_t c : Utf8ToUtf16(v.text) + u'\0') {
        r.bytes.push_back(static_cast<char>(c & 0xFF));
        r.bytes.push_back(static_cast<char>(c >> 8));
      }
    }
    return r;
  });
}

std::vector<std::string> HostRegistry::SubkeyNames(RegRoot root, const std::string& key, size_t limit,
                                                   RegView view) {
  std::lock_guard<std::mutex> g(mutex_);
  Refresh();
  const Path p = Resolve(root, key, view);
  std::vector<std::string> names;
  Node* n = p.isRoot ? Child(state_->top, p.root) : Find(state_->top, p.root, p.parts);
  if (!n) return names;
  for (const auto& [fold, child] : n->keys) {
    if (names.size() >= limit) break;
    names.push_back(child->name);
  }
  return names;
}

std::optional<std::vector<std::string>> HostRegistry::ValueNames(RegRoot root, const std::string& key, size_t limit,
                                                                RegView view) {
  std::lock_guard<std::mutex> g(mutex_);
  Refresh();
  const Path p = Resolve(root, key, view);
  Node* n = p.isRoot ? Child(state_->top, p.root) : Find(state_->top, p.root, p.parts);
  // A root that holds nothing yet is there all the same.
  if (!n) return p.isRoot ? std::optional<std::vector<std::string>>(std::vector<std::string>{}) : std::nullopt;
  std::vector<std::string> names;
  for (const auto& [fold, v] : n->values) {
    if (names.size() >= limit) break;
    names.push_back(v.name);
  }
  return names;
}

bool HostRegistry::DeleteValue(RegRoot root, const std::string& key, const std::string& name, RegView view) {
  return Modify([&](bool& changed) {
    const Path p = Resolve(root, key, view);
    if (!MayWrite(p)) return false;
    Node* n = Find(state_->top, p.root, p.parts);
    if (!n || n->values.erase(Fold(name)) == 0) return false;
    changed = true;
    return true;
  });
}

bool HostRegistry::DeleteKey(RegRoot root, const std::string& key, RegView view) {
  return Modify([&](bool& changed) {
    const Path p = Resolve(root, key, view);
    // A root cannot be deleted.
    if (p.isRoot || !MayWrite(p)) return false;
    const std::vector<std::string> parentParts(p.parts.begin(), p.parts.end() - 1);
    Node* parent = Find(state_->top, p.root, parentParts);
    if (!parent || parent->keys.erase(Fold(p.parts.back())) == 0) return false;
    changed = true;
    return true;
  });
}

}  // namespace stw
