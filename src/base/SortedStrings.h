// A sorted list of strings compared without regard to case, ignoring
// duplicates: the form in which installed files, earlier files and the
// registry log are kept and merged.
#pragma once
#include <set>
#include <string>
#include <vector>

namespace stw {

// Case-insensitive comparison of UTF-8 texts: letters are folded code unit
// by code unit, so that any two texts that differ only in case compare equal.
int CompareTextIgnoreCase(const std::string& a, const std::string& b);
bool SameTextIgnoreCase(const std::string& a, const std::string& b);

class TSortedStrings {
 public:
  struct Less {
    bool operator()(const std::string& a, const std::string& b) const { return CompareTextIgnoreCase(a, b) < 0; }
  };
  bool Add(const std::string& s) { return set_.insert(s).second; }
  bool Contains(const std::string& s) const { return set_.count(s) != 0; }
  bool Remove(const std::string& s) { return set_.erase(s) != 0; }
  size_t Count() const { return set_.size(); }
  bool Empty() const { return set_.empty(); }
  void Clear() { set_.clear(); }
  std::vector<std::string> Items() const { return {set_.begin(), set_.end()}; }
  auto begin() const { return set_.begin(); }
  auto end() const { return set_.end(); }

 private:
  std::set<std::string, Less> set_;
};

}  // namespace stw
