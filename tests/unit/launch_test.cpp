#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "restore/launch.h"
#include "support/error.h"
#include "tests/unit/fake_host.h"

namespace qelrestore {
namespace {

using End = LaunchResult::End;
using test::FakeProcess;
using test::ProcessRunningFor;

constexpr wchar_t kCommand[] = L"\"C:\\Tools\\Binn\\OSQL.exe\" -S h,1";

class LaunchTest : public testing::Test {
 protected:
  LaunchResult Launch(const FakeProcess& process, int32_t limit, int64_t clockAtStart = 0) {
    host.processes = {process};
    host.clockMilliseconds = clockAtStart;
    return RunAndWait(host, host, host, kCommand, limit);
  }
  size_t CallCount(const std::string& name) const {
    return static_cast<size_t>(std::count(host.calls.begin(), host.calls.end(), name));
  }
  void TearDown() override { EXPECT_EQ(host.openProcesses, 0); }

  test::FakeHost host;
};

TEST_F(LaunchTest, GivesUpOnlyWhenMoreThanTheLimitInWholeSecondsHasPassed) {
  const struct {
    int64_t clockAtStart;
    int32_t limit;
    int64_t runMilliseconds;
    End end;
    int64_t returnsAt;
    size_t clockReadings;
  } cases[] = {
      {0, 5, -1, End::kStillRunning, 6000, 25},    // 24 slices: 6 s is the first count above 5
      {900, 5, -1, End::kStillRunning, 6150, 22},  // 6 s on the clock come 5.1 s after the start
      {999, 5, -1, End::kStillRunning, 6249, 22},  // the tick that follows 6.0 s
      {0, 5, 5999, End::kExited, 5999, 24},        // it ends in the last slice before the limit
      {0, 0, 60000, End::kExited, 60000, 1},       // no limit: no clock reading in the loop
      {0, -1, 60000, End::kExited, 60000, 1},
      {0, 5, 100, End::kExited, 100, 1},  // the first slice ends the wait at the process's end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    host.calls.clear();
    const LaunchResult result =
        Launch(ProcessRunningFor(c.runMilliseconds), c.limit, c.clockAtStart);
    EXPECT_EQ(result.end, c.end);
    EXPECT_EQ(host.clockMilliseconds, c.returnsAt);
    EXPECT_EQ(CallCount("Now"), c.clockReadings);
  }
}

TEST_F(LaunchTest, WaitsInSlicesAndServicesEventsBetweenThem) {
  Launch(ProcessRunningFor(600), 5);
  const std::vector<std::string> expected = {"Start " + test::Narrow(kCommand),
                                             "YieldToEvents",
                                             "Now",
                                             "Wait",
                                             "YieldToEvents",
                                             "Now",
                                             "Wait",
                                             "YieldToEvents",
                                             "Now",
                                             "Wait"};
  EXPECT_EQ(host.calls, expected);
}

TEST_F(LaunchTest, TellsHowTheProcessEnded) {
  FakeProcess signaled = ProcessRunningFor(100);
  signaled.signal = 9;
  FakeProcess vanished = ProcessRunningFor(-1);
  vanished.vanishes = true;
  FakeProcess waitFails = ProcessRunningFor(-1);
  waitFails.waitFails = true;
  const struct {
    FakeProcess process;
    End end;
    int64_t code;
    std::wstring reason;
    size_t waits;
  } cases[] = {
      {ProcessRunningFor(100, 3), End::kExited, 3, L"", 1},
      {signaled, End::kSignaled, 9, L"", 1},
      {vanished, End::kNotOpened, 0, L"", 0},
      {waitFails, End::kWaitFailed, 0, L"", 1},
      {test::ProcessNotStarting(Error(code::kFileNotFound, L"no OSQL.exe")), End::kNotStarted, 0,
       L"no OSQL.exe", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    host.calls.clear();
    host.boxes.clear();
    const LaunchResult result = Launch(c.process, 0);
    EXPECT_EQ(result.end, c.end);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.reason, c.reason);
    EXPECT_EQ(CallCount("Wait"), c.waits);
    // Only a program that cannot be started is answered with a box.
    EXPECT_EQ(host.boxes, c.end == End::kNotStarted ? std::vector<std::wstring>{L"error"}
                                                    : std::vector<std::wstring>{});
  }
}

}  // namespace
}  // namespace qelrestore
