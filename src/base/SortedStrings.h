// A sorted list of strings compared without regard to case, ignoring
// duplicates: the form in which installed files, earlier files and the
// registry log are kept and merged.
#pragma once
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/Text.h"

namespace stw {

// Each text is kept under its CaseKey, computed once when it is added or
// looked up: a lookup then costs one mapping of the text (a system call on
// Windows for a name outside ASCII) and byte comparisons, however long the
// list. The keys' byte order is CompareTextIgnoreCase's order, so the list
// is sorted as that comparison sorts and finds what it calls equal. Not
// synchronised: callers that share a list hold their lock around each use.
class TSortedStrings {
 public:
  struct Less {
    bool operator()(const std::string& a, const std::string& b) const { return CompareTextIgnoreCase(a, b) < 0; }
  };

  // Walks the texts (as first added) in order.
  class const_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string*;
    using reference = const std::string&;
    const_iterator() = default;
    explicit const_iterator(std::map<std::string, std::string>::const_iterator it) : it_(it) {}
    reference operator*() const { return it_->second; }
    pointer operator->() const { return &it_->second; }
    const_iterator& operator++() { return ++it_, *this; }
    const_iterator operator++(int) { return const_iterator(it_++); }
    const_iterator& operator--() { return --it_, *this; }
    const_iterator operator--(int) { return const_iterator(it_--); }
    bool operator==(const const_iterator& o) const { return it_ == o.it_; }
    bool operator!=(const const_iterator& o) const { return it_ != o.it_; }

   private:
    std::map<std::string, std::string>::const_iterator it_;
  };

  // False when a text equal but for case is already there (it keeps its spelling).
  bool Add(const std::string& s) { return items_.emplace(CaseKey(s), s).second; }
  bool Contains(const std::string& s) const { return items_.count(CaseKey(s)) != 0; }
  bool Remove(const std::string& s) { return items_.erase(CaseKey(s)) != 0; }
  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  void Clear() { items_.clear(); }
  std::vector<std::string> Items() const { return std::vector<std::string>(begin(), end()); }
  const_iterator begin() const { return const_iterator(items_.begin()); }
  const_iterator end() const { return const_iterator(items_.end()); }

 private:
  std::map<std::string, std::string> items_;  // CaseKey -> the text
};

}  // namespace stw
