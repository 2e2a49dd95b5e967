// The scripted host's processes: each Start takes the next scripted process, which runs on the
// fake clock (it moves only while the logic waits) and leaves its output files when a wait sees
// it end.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/processes.h"
#include "support/error.h"
#include "tests/unit/fake_calls.h"
#include "tests/unit/fake_clock.h"
#include "tests/unit/fake_files.h"

namespace qelrestore::test {

// How a scripted process behaves.
struct FakeProcess {
  std::optional<Error> startError;  // Start throws this
  int64_t runMilliseconds = 0;      // how long it runs; negative: for ever
  bool vanishes = false;            // it is gone before it can be waited for: Start returns null
  bool waitFails = false;           // every wait on it fails
  int64_t exitStatus = 0;           // the status it ends with
  std::optional<int64_t> signal;    // it is ended by this signal instead
  // Files it leaves when it ends (path -> content), written when a wait first sees the end.
  std::map<std::wstring, std::string> output;
};

inline FakeProcess ProcessRunningFor(int64_t milliseconds, int64_t exitStatus = 0) {
  FakeProcess process;
  process.runMilliseconds = milliseconds;
  process.exitStatus = exitStatus;
  return process;
}

inline FakeProcess ProcessNotStarting(Error error) {
  FakeProcess process;
  process.startError = std::move(error);
  return process;
}

class FakeProcesses {
 public:
  FakeProcesses(FakeCalls& counter, FakeClock& clock, FakeFiles& files)
      : counter_(counter), clock_(clock), files_(files) {}

  // --- Script ---
  std::vector<FakeProcess> processes;  // taken in order by Start
  int32_t defaultClientWait = 5;       // DefaultClientWaitSeconds

  // --- Observation ---
  std::vector<std::wstring> startedCommands;
  int openProcesses = 0;  // started processes still owned by the logic

  // --- Processes ---
  std::unique_ptr<Process> Start(const std::wstring& command);
  int32_t DefaultClientWaitSeconds();
  std::optional<std::wstring> SubstituteClient(const std::wstring& clientToolsFolder,
                                               const std::wstring& program);

 private:
  FakeCalls& counter_;
  FakeClock& clock_;
  FakeFiles& files_;
};

}  // namespace qelrestore::test
