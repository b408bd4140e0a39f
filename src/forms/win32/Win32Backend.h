// Real windows for a form: one top-level window, and a child window of a
// standard class for each control (BUTTON, STATIC, EDIT, msctls_progress32),
// which brings keyboard handling, accessibility and themes with it. Every
// property change of the model is mirrored into its window; clicks and
// typing in the windows come back as the model's events, and the dialog
// keys (Tab, Enter, Esc, Space) go through the model's own rules, so both
// backends behave alike. The tree, the report list and the rich edit come
// later; a form that makes one of those with this backend is refused.
#pragma once
#include <memory>

#include "forms/Forms.h"

namespace stw::forms {

class Win32Backend : public IBackend {
 public:
  Win32Backend();
  ~Win32Backend() override;
  void Created(Control& c) override;
  void Destroyed(Control& c) override;
  void Changed(Control& c, Property p) override;
  void FormChanged(Form& f, Property p) override;
  Size MeasureText(const Font& f, const std::string& text) override;
  void RunModal(Form& f) override;
  Screen ScreenOf(Form& f) override;

  // The window of a control or of the form (an HWND); nullptr before it
  // exists.
  void* WindowOf(const Control& c) const;
  void* FormWindow() const;
  // Lets the windows handle what is waiting for them, the dialog keys
  // included; returns at once when nothing is.
  void PumpMessages();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace stw::forms
