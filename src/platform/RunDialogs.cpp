#include "platform/RunDialogs.h"

#include <iostream>

namespace stw {

int TRunDialogs::MessageBox(const std::string& text, const std::string& title, unsigned style) {
  if (echo_) {
    std::string flat = text;
    for (char& c : flat)
      if (c == '\r') c = '\n';
    std::cerr << (title.empty() ? "" : title + ": ") << flat << std::endl;
  }
  if (!suppress_) return inner_.MessageBox(text, title, style);
  // Unattended: the default answer of each kind of box. A question after
  // an error stops; a prompt that waits for the user to do something (a
  // missing volume) cannot be satisfied and fails; anything else goes on.
  if (style & MB_YESNO_) return (style & MB_ICONERROR_) ? IDNO_ : IDYES_;
  if ((style & (MB_ICONERROR_ | MB_ICONQUESTION_ | MB_ICONINFORMATION_)) == 0) return IDNONE_;
  return IDOK_;
}

}  // namespace stw
