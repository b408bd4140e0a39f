#pragma once
#include <memory>

#include "platform/Platform.h"

namespace stw {
// The file system of the machine this program runs on: the real one on
// Windows, the host's native files (and Z:\) on Linux.
std::unique_ptr<IFileSystem> CreateNativeFileSystem();

// Message boxes for command-line tools: the text goes to standard error and
// no answer can be given (IDNONE_), so prompts fail instead of waiting.
class ConsoleDialogs : public IDialogs {
 public:
  int MessageBox(const std::string& text, const std::string& title, unsigned style) override;
};
}  // namespace stw
