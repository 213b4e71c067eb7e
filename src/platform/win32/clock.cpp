// Win32 clock: GetTickCount and GetLocalTime.
#include <windows.h>

#include "platform/clock.h"

namespace quelma::platform {
namespace {

class Win32Clock final : public Clock {
 public:
  std::uint32_t tickCount() override { return GetTickCount(); }

  LocalTime localTime() override {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.dayOfWeek = st.wDayOfWeek;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.milliseconds = st.wMilliseconds;
    return t;
  }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace quelma::platform
