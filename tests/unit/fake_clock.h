// The scripted host's clock: it stands still but while the code waits (for a process, for a box to
// be dismissed), and reads 2026-12-07 10:00:00 plus the time waited.
#pragma once

#include <cstdint>
#include <string>

#include "host/clock.h"
#include "tests/unit/fake_calls.h"

namespace qelrestore::test {

class FakeClock {
 public:
  explicit FakeClock(FakeCalls& counter) : counter_(counter) {}

  int64_t clockMilliseconds = 0;  // the time waited so far

  // --- Clock ---
  DateTime Now();
  std::wstring FormatDateTime(const DateTime& when);

 private:
  FakeCalls& counter_;
};

}  // namespace qelrestore::test
