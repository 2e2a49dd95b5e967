#include <gtest/gtest.h>

#include "support/error.h"
#include "support/launch.h"
#include "tests/unit/fake_host.h"

namespace qelrestore {
namespace {

using test::FakeHost;

class LaunchTest : public testing::Test {
 protected:
  LaunchResult Launch(const test::FakeProcess& process, int32_t limit, int64_t clockAtStart = 0) {
    host.processes = {process};
    host.clockMilliseconds = clockAtStart;
    return RunAndWait(host, L"\"C:\\Tools\\Binn\\OSQL.exe\" -S h,1", 3, limit);
  }
  size_t CallCount(const std::string& name) const {
    return static_cast<size_t>(std::count(host.calls.begin(), host.calls.end(), name));
  }
  void TearDown() override { EXPECT_EQ(host.openProcessHandles, 0); }

  FakeHost host;
};

TEST_F(LaunchTest, GivesUpOnlyWhenMoreThanTheLimitInWholeSecondsHasPassed) {
  const struct {
    int64_t clockAtStart, returnsAt;
  } cases[] = {
      {0, 6000},    // 24 slices: 6 whole seconds is the first count above 5
      {900, 6150},  // 6 s on the clock of the start reading come 5.1 s later, then a tick
      {999, 6249},  // the tick that follows 6.0 s
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clockAtStart);
    EXPECT_TRUE(Launch(test::ProcessRunningFor(-1), 5, c.clockAtStart).started);
    EXPECT_EQ(host.clockMilliseconds, c.returnsAt);
  }
}

TEST_F(LaunchTest, NoLimitWaitsForTheEnd) {
  Launch(test::ProcessRunningFor(60000), 0);
  EXPECT_EQ(host.clockMilliseconds, 60000);
  Launch(test::ProcessRunningFor(60000), -1);
  EXPECT_EQ(host.clockMilliseconds, 60000);
}

TEST_F(LaunchTest, AQuickProcessEndsTheWaitAtItsEndWithoutReadingTheClockAgain) {
  Launch(test::ProcessRunningFor(100), 5);
  EXPECT_EQ(host.clockMilliseconds, 100);
  EXPECT_EQ(CallCount("WaitForSingleObject"), 1u);
  EXPECT_EQ(CallCount("Now"), 1u);
}

TEST_F(LaunchTest, AProgramThatCannotStartGetsOneErrorBoxAndNoWait) {
  const LaunchResult result =
      Launch(test::ProcessNotStarting(Error(code::kFileNotFound, L"no OSQL.exe")), 5);
  EXPECT_FALSE(result.started);
  EXPECT_EQ(result.reason, L"no OSQL.exe");
  EXPECT_EQ(host.boxes, std::vector<std::wstring>{L"error"});
  EXPECT_EQ(CallCount("WaitForSingleObject"), 0u);
}

TEST_F(LaunchTest, AVanishedProcessOrAFailedWaitEndsTheCall) {
  test::FakeProcess vanished = test::ProcessRunningFor(-1);
  vanished.vanishes = true;
  EXPECT_TRUE(Launch(vanished, 5).started);
  EXPECT_EQ(CallCount("WaitForSingleObject"), 0u);

  test::FakeProcess failing = test::ProcessRunningFor(-1);
  failing.waitFails = true;
  Launch(failing, 0);
  EXPECT_EQ(CallCount("WaitForSingleObject"), 1u);
  EXPECT_EQ(CallCount("CloseHandle"), 1u);
}

}  // namespace
}  // namespace qelrestore
