#include "platform/host/HostDesktop.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "base/Text.h"

namespace stw {

void HostDesktop::AddWindow(const std::string& title, const std::string& windowClass) {
  std::lock_guard<std::mutex> g(mutex_);
  windows.push_back({title, windowClass});
}

void HostDesktop::CloseWindow(const std::string& title, const std::string& windowClass) {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto it = windows.begin(); it != windows.end(); ++it)
    if (it->title == title && it->windowClass == windowClass) {
      windows.erase(it);
      return;
    }
}

void HostDesktop::RefuseOpen(const std::string& file) {
  std::lock_guard<std::mutex> g(mutex_);
  refused_.push_back(file);
}

void HostDesktop::SetDrives(std::vector<std::string> roots) {
  std::lock_guard<std::mutex> g(mutex_);
  drives_ = std::move(roots);
}

std::vector<std::string> HostDesktop::Events() const {
  std::lock_guard<std::mutex> g(mutex_);
  return events_;
}

bool HostDesktop::WindowExists(const std::string& title, const std::string& windowClass) {
  std::lock_guard<std::mutex> g(mutex_);
  return std::any_of(windows.begin(), windows.end(), [&](const Window& w) {
    return (title.empty() || w.title == title) && (windowClass.empty() || w.windowClass == windowClass);
  });
}

bool HostDesktop::ShellOpen(const std::string& file, const std::string& verb, const std::string& parameters,
                               const std::string& folder, int show) {
  std::lock_guard<std::mutex> g(mutex_);
  const bool refused = std::find(refused_.begin(), refused_.end(), file) != refused_.end();
  events_.push_back("shell\t" + file + "\t" + verb + "\t" + parameters + "\t" + folder + "\t" +
                    std::to_string(show) + (refused ? "\tfailed" : ""));
  return !refused;
}

bool HostDesktop::RestartSystem() {
  std::lock_guard<std::mutex> g(mutex_);
  events_.push_back("restart");
  return true;
}

std::vector<std::string> HostDesktop::LogicalDrives() {
  std::lock_guard<std::mutex> g(mutex_);
  return drives_;
}

std::string HostDesktop::FormatShortDate(int32_t dayNumber) {
  int y = 0, m = 0, d = 0;
  DateFromDayNumber(dayNumber, y, m, d);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  return text;
}

static char LetterOf(const std::string& root) {
  return root.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
}

void HostDesktop::SetNetworkName(char letter, const std::string& name) {
  std::lock_guard<std::mutex> g(mutex_);
  networkNames_[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = name;
}

void HostDesktop::SetVolumeLabel(char letter, const std::string& label) {
  std::lock_guard<std::mutex> g(mutex_);
  labels_[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = label;
}

bool HostDesktop::IsNetworkDrive(const std::string& root) {
  std::lock_guard<std::mutex> g(mutex_);
  return networkNames_.count(LetterOf(root)) != 0;
}

std::optional<std::string> HostDesktop::UniversalName(const std::string& root) {
  std::lock_guard<std::mutex> g(mutex_);
  const auto it = networkNames_.find(LetterOf(root));
  if (it == networkNames_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> HostDesktop::VolumeLabel(const std::string& root) {
  std::lock_guard<std::mutex> g(mutex_);
  const auto it = labels_.find(LetterOf(root));
  if (it == labels_.end()) return std::nullopt;
  return it->second;
}

}  // namespace stw
