// The message boxes of a program run: the setup's and the uninstaller's.
#pragma once
#include <string>

#include "platform/Platform.h"

namespace stw {

// Every text also goes to standard error (so a script sees what
// happened); with the switch suppressmsgboxes no box is shown and each
// takes its default answer.
class TRunDialogs : public IDialogs {
 public:
  TRunDialogs(IDialogs& inner, bool suppress, bool echo) : inner_(inner), suppress_(suppress), echo_(echo) {}
  int MessageBox(const std::string& text, const std::string& title, unsigned style) override;

 private:
  IDialogs& inner_;
  bool suppress_, echo_;
};

}  // namespace stw
