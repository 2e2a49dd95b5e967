#include "restore/launch.h"

#include "support/error.h"

namespace qelrestore {

namespace {
constexpr uint32_t kWaitSliceMilliseconds = 250;

LaunchResult Ended(const ProcessState& state) {
  switch (state.kind) {
    case ProcessState::Kind::kExited:
      return {LaunchResult::End::kExited, state.code, {}};
    case ProcessState::Kind::kSignaled:
      return {LaunchResult::End::kSignaled, state.code, {}};
    case ProcessState::Kind::kRunning:
      return {LaunchResult::End::kStillRunning, 0, {}};
    case ProcessState::Kind::kWaitFailed:
      break;
  }
  return {LaunchResult::End::kWaitFailed, 0, {}};
}
}  // namespace

LaunchResult RunAndWait(Processes& processes, Console& console, Clock& clock,
                        const std::wstring& commandLine, int32_t timeLimitSeconds,
                        ClientProgress* progress) {
  std::unique_ptr<Process> process;
  try {
    process = processes.Start(commandLine);
  } catch (...) {
    const Error error = CurrentExceptionAsError();
    console.MessageBox(L"error");
    return {LaunchResult::End::kNotStarted, 0, error.description()};
  }
  console.YieldToEvents();
  if (!process) return {LaunchResult::End::kNotOpened, 0, {}};

  const DateTime start = clock.Now();
  for (;;) {
    const ProcessState state = process->Wait(kWaitSliceMilliseconds);
    // The last lines are due once the process has ended.
    if (progress != nullptr) progress->Look();
    if (state.kind != ProcessState::Kind::kRunning) return Ended(state);
    console.YieldToEvents();
    if (timeLimitSeconds <= 0) continue;
    if (ElapsedSeconds(start, clock.Now()) > timeLimitSeconds) return Ended(state);
  }
}

}  // namespace qelrestore
