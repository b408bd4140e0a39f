// The desktop of the simulated machine: the top-level windows a test puts
// there, a record of what was handed to the shell, and the restarts that
// were asked for (none happens). Thread-safe.
#pragma once
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "platform/host/HostPrinter.h"

namespace stw {

class HostDesktop : public IDesktop {
 public:
  // The simulated machine has no printer until a test installs one.
  HostDesktop() { printer.installed = false; }
  HostPrinter printer;
  IPrinter& Printer() override { return printer; }
  struct Window {
    std::string title, windowClass;
  };
  void AddWindow(const std::string& title, const std::string& windowClass);
  // Removes the first window with this title and class.
  void CloseWindow(const std::string& title, const std::string& windowClass);
  // Files the shell refuses to open (compared as given).
  void RefuseOpen(const std::string& file);
  void SetDrives(std::vector<std::string> roots);
  // "shell<TAB>file<TAB>verb<TAB>parameters<TAB>folder<TAB>show", "restart".
  std::vector<std::string> Events() const;

  bool WindowExists(const std::string& title, const std::string& windowClass) override;
  bool ShellOpen(const std::string& file, const std::string& verb, const std::string& parameters,
                    const std::string& folder, int show) override;
  bool RestartSystem() override;
  std::vector<std::string> LogicalDrives() override;
  // As ISO 8601 (yyyy-mm-dd): the simulated user's format.
  std::string FormatShortDate(int32_t dayNumber) override;
  bool IsNetworkDrive(const std::string& root) override;
  std::optional<std::string> UniversalName(const std::string& root) override;
  std::optional<std::string> VolumeLabel(const std::string& root) override;
  // The drives' facts, by upper-case letter: a network drive's name, a
  // volume's label; a drive with neither cannot be read.
  void SetNetworkName(char letter, const std::string& name);
  void SetVolumeLabel(char letter, const std::string& label);

 private:
  std::vector<Window> windows;
  mutable std::mutex mutex_;
  std::vector<std::string> events_, refused_;
  std::vector<std::string> drives_{"C:\\"};
  std::map<char, std::string> networkNames_;
  std::map<char, std::string> labels_{{'C', "System"}};
};

}  // namespace stw
