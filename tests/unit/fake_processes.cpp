#include "tests/unit/fake_processes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qelrestore::test {
namespace {

// A started process: it ends `runMilliseconds` after its start on the host's clock, which moves
// only while the logic waits for it.
class FakeRunningProcess : public Process {
 public:
  FakeRunningProcess(FakeCalls& counter, FakeClock& clock, FakeFiles& files, int& openProcesses,
                     FakeProcess script)
      : counter_(counter),
        clock_(clock),
        files_(files),
        openProcesses_(openProcesses),
        script_(std::move(script)),
        startedAt_(clock.clockMilliseconds) {
    ++openProcesses_;
  }
  ~FakeRunningProcess() override { --openProcesses_; }
  ProcessState Wait(uint32_t milliseconds) override {
    const std::optional<Fault> fault = counter_.Enter("Wait");
    if (fault == Fault::kThrow) counter_.ThrowInjected();
    if (fault || script_.waitFails) return {ProcessState::Kind::kWaitFailed, 0};
    int64_t& now = clock_.clockMilliseconds;
    const int64_t endsAt = startedAt_ + script_.runMilliseconds;
    if (script_.runMilliseconds < 0 || endsAt > now + milliseconds) {
      now += milliseconds;
      return {ProcessState::Kind::kRunning, 0};
    }
    now = std::max(now, endsAt);
    for (const auto& [path, content] : script_.output) files_.files[path] = content;
    script_.output.clear();
    if (script_.signal) return {ProcessState::Kind::kSignaled, *script_.signal};
    return {ProcessState::Kind::kExited, script_.exitStatus};
  }

 private:
  FakeCalls& counter_;
  FakeClock& clock_;
  FakeFiles& files_;
  int& openProcesses_;
  FakeProcess script_;
  int64_t startedAt_;
};

}  // namespace

std::unique_ptr<Process> FakeProcesses::Start(const std::wstring& command) {
  counter_.EnterOrThrow("Start", command);
  startedCommands.push_back(command);
  if (processes.empty()) {
    ADD_FAILURE() << "a process was started that the test did not script";
    throw Error(code::kFileNotFound);
  }
  const FakeProcess script = processes.front();
  processes.erase(processes.begin());
  if (script.startError) throw *script.startError;
  if (script.vanishes) return nullptr;
  return std::make_unique<FakeRunningProcess>(counter_, clock_, files_, openProcesses, script);
}

int32_t FakeProcesses::DefaultClientWaitSeconds() {
  return defaultClientWait;
}

std::optional<std::wstring> FakeProcesses::SubstituteClient(
    const std::wstring& /*clientToolsFolder*/, const std::wstring& /*program*/) {
  return std::nullopt;
}

}  // namespace qelrestore::test
