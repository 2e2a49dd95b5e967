// The clock: the time of day for the log's lines and the elapsed time of a wait.
#pragma once

#include <cstdint>
#include <string>

namespace qelrestore {

// A clock reading. The calendar fields are local time; `serialSeconds` counts whole seconds on a
// clock that never goes back, so that the difference of two readings is the elapsed time even
// when the machine's clock is changed in between.
struct DateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int64_t serialSeconds = 0;
};

// Whole seconds from `start` to `end` (start first).
inline int64_t ElapsedSeconds(const DateTime& start, const DateTime& end) {
  return end.serialSeconds - start.serialSeconds;
}

class Clock {
 public:
  virtual ~Clock() = default;
  virtual DateTime Now() = 0;
  // The host's default text form of a date-time; it never holds ": ".
  virtual std::wstring FormatDateTime(const DateTime& when) = 0;
};

}  // namespace qelrestore
