#include "platform/ScriptedDialogs.h"

#include <cmath>

namespace stw {

double UnixToDateTime(int64_t s) { return 25569.0 + static_cast<double>(s) / 86400.0; }
int64_t DateTimeToUnix(double d) { return static_cast<int64_t>(std::llround((d - 25569.0) * 86400.0)); }

int ScriptedDialogs::MessageBox(const std::string& text, const std::string& title, unsigned style) {
  Shown s{text, title, style};
  std::function<void(const Shown&)> hook;
  int answer;
  {
    std::lock_guard<std::mutex> g(mutex_);
    shown.push_back(s);
    hook = onShow;
    if (answers_.empty()) {
      answer = fallback;
    } else {
      answer = answers_.front();
      answers_.pop_front();
    }
  }
  if (hook) hook(s);
  return answer;
}

}  // namespace stw
