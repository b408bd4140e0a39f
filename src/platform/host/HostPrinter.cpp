// The simulated machine's printing: no printer (as a fresh Windows without
// one, so the setup hides its Print button), and the host's clock in the
// simulated user's formats, ISO 8601 dates and 24-hour times.
#include "platform/host/HostPrinter.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace stw {

std::unique_ptr<IPrinter> CreateNativePrinter() {
  auto printer = std::make_unique<HostPrinter>();
  printer->installed = false;
  return printer;
}

double LocalDateTimeNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  const int64_t day = DayNumberFromDate(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                        static_cast<unsigned>(local.tm_mday));
  const int seconds = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  return static_cast<double>(day) + seconds / 86400.0;
}

std::string ShortDateText(double localDateTime) {
  int y = 0, m = 0, d = 0;
  DateFromDayNumber(static_cast<int64_t>(std::floor(localDateTime)), y, m, d);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  return text;
}

std::string ShortTimeText(double localDateTime) {
  // Rounded to the second first: 11:00 as a fraction of a day is not exact
  // in binary and may fall a hair short, which would show as 10:59.
  const double fraction = localDateTime - std::floor(localDateTime);
  const long seconds = std::lround(fraction * 86400.0) % 86400;
  char text[16];
  std::snprintf(text, sizeof text, "%02ld:%02ld", seconds / 3600, seconds / 60 % 60);
  return text;
}

}  // namespace stw
