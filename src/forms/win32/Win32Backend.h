// Real windows for a form: one top-level window, and a child window of a
// standard class for each control (BUTTON, STATIC, EDIT, SysTreeView32,
// SysListView32, RICHEDIT50W, msctls_progress32), which brings keyboard
// handling, accessibility and themes with it. Every property change of the
// model is mirrored into its window; clicks, typing, the mouse over link
// labels and trees, and the close box come back as the model's events, and
// the dialog keys (Tab, Enter, Esc, Space on a tree) go through the
// model's own rules, so both backends behave alike.
//
// One backend serves one form. Every control window carries the window
// property "StowaName": a global atom of the control's name, so that a
// program outside can find the controls by the names the model gives them.
#pragma once
#include <memory>

#include "forms/Forms.h"

namespace stw::forms {

class Win32Backend : public IBackend {
 public:
  // `owner` (an HWND) owns the form's window: a modal form disables it
  // while it runs and hands the activation back to it afterwards.
  explicit Win32Backend(void* owner = nullptr);
  ~Win32Backend() override;
  Win32Backend(const Win32Backend&) = delete;
  Win32Backend& operator=(const Win32Backend&) = delete;

  void Created(Control& c) override;
  void Destroyed(Control& c) override;
  void FormDestroyed(Form& f) override;
  void Changed(Control& c, Property p) override;
  void FormChanged(Form& f, Property p) override;
  void TimerChanged(Timer& t) override;
  Size MeasureText(const Font& f, const std::string& text) override;
  // From any thread: the form's window runs the dispatcher's queue when it
  // gets the message, in whichever message loop the main thread is (a
  // message box of its own included).
  void Wake() override;
  void RunModal(Form& f) override;
  Screen ScreenOf(Form& f) override;
  void* NativeWindow(Form&) override { return FormWindow(); }

  // Runs the main thread's message loop until the form is closed (or the
  // thread is told to quit; the quit message is then left for the caller).
  // Show the form first.
  void Run(Form& f);

  // The window of a control or of the form (an HWND); nullptr before it
  // exists.
  void* WindowOf(const Control& c) const;
  void* FormWindow() const;
  // Lets the windows handle what is waiting for them, the dialog keys and
  // the dispatcher's calls included; returns at once when nothing is.
  void PumpMessages();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace stw::forms
