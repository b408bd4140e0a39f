// Message boxes answered by a script: for tests and unattended runs.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace stw {

// Answers message boxes from a script; records every box shown.
class ScriptedDialogs : public IDialogs {
 public:
  struct Shown {
    std::string text, title;
    unsigned style;
  };
  // Answers are taken in order; when none is left, `fallback` is returned.
  void Answer(int answer) { answers_.push_back(answer); }
  // Called with each box before it is answered (a test can, say, put a
  // missing volume in place, as a user would before pressing OK).
  std::function<void(const Shown&)> onShow;
  int fallback = IDNONE_;
  std::vector<Shown> shown;

  int MessageBox(const std::string& text, const std::string& title, unsigned style) override;

 private:
  std::deque<int> answers_;
  std::mutex mutex_;
};

// Days since 1899-12-30 (local date-time) to seconds since 1970 and back;
// the simulated machine's local time is UTC.
double UnixToDateTime(int64_t unixSeconds);
int64_t DateTimeToUnix(double dateTime);

}  // namespace stw
