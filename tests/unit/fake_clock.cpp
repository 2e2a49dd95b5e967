#include "tests/unit/fake_clock.h"

#include <cwchar>

namespace qelrestore::test {

DateTime FakeClock::Now() {
  counter_.EnterOrThrow("Now");
  // The tests stay within the day.
  const int64_t seconds = clockMilliseconds / 1000;
  DateTime when;
  when.year = 2026;
  when.month = 12;
  when.day = 7;
  when.hour = 10 + static_cast<int>(seconds / 3600);
  when.minute = static_cast<int>(seconds / 60 % 60);
  when.second = static_cast<int>(seconds % 60);
  when.serialSeconds = seconds;
  return when;
}

std::wstring FakeClock::FormatDateTime(const DateTime& when) {
  counter_.EnterOrThrow("FormatDateTime");
  wchar_t text[32];
  swprintf(text, 32, L"%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day, when.hour,
           when.minute, when.second);
  return text;
}

}  // namespace qelrestore::test
