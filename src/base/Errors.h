// Exceptions shared by every layer of the setup runtime.
#pragma once
#include <stdexcept>
#include <string>

namespace stw {

// A failure whose text is shown to the user. `Reason()` carries the precise
// internal cause (field, offset, file) for tests and diagnostics; the two
// layers of text meet here so the caller decides which one to show.
class ESetupException : public std::runtime_error {
 public:
  explicit ESetupException(const std::string& message) : std::runtime_error(message), reason_(message) {}
  ESetupException(const std::string& message, std::string reason)
      : std::runtime_error(message), reason_(std::move(reason)) {}
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

// The user chose to stop the installation.
class EAbortInstallation : public std::runtime_error {
 public:
  EAbortInstallation() : std::runtime_error("installation stopped by the user") {}
};

}  // namespace stw
