// A registry in which every call fails, as for a user without any rights:
// what writes to the registry must still do all its other work. For the
// tests and the fuzzers.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace stw {

class NullRegistry : public IRegistry {
 public:
  bool KeyExists(RegRoot, const std::string&, RegView) override { return false; }
  bool CreateKey(RegRoot, const std::string&, RegView) override { return false; }
  bool CanWrite(RegRoot, const std::string&, RegView) override { return false; }
  std::optional<std::string> ReadString(RegRoot, const std::string&, const std::string&, RegView) override {
    return std::nullopt;
  }
  std::optional<uint32_t> ReadDword(RegRoot, const std::string&, const std::string&, RegView) override {
    return std::nullopt;
  }
  bool WriteString(RegRoot, const std::string&, const std::string&, const std::string&, RegView) override {
    return false;
  }
  bool WriteDword(RegRoot, const std::string&, const std::string&, uint32_t, RegView) override { return false; }
  bool DeleteValue(RegRoot, const std::string&, const std::string&, RegView) override { return false; }
  bool WriteBinary(RegRoot, const std::string&, const std::string&, const std::string&, RegView) override {
    return false;
  }
  std::optional<RegValue> QueryValue(RegRoot, const std::string&, const std::string&, RegView) override {
    return std::nullopt;
  }
  std::vector<std::string> SubkeyNames(RegRoot, const std::string&, size_t, RegView) override { return {}; }
  bool DeleteKey(RegRoot, const std::string&, RegView) override { return false; }
};

}  // namespace stw
