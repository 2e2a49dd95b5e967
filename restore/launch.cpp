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

LaunchResult RunAndWait(Host& host, const std::wstring& commandLine, WindowStyle style,
                        int32_t timeLimitSeconds, const std::wstring& progressFile) {
  std::unique_ptr<Process> process;
  try {
    process = host.Start(commandLine, style, progressFile);
  } catch (...) {
    const Error error = CurrentExceptionAsError();
    host.MessageBox(L"error");
    return {LaunchResult::End::kNotStarted, 0, error.description()};
  }
  host.YieldToEvents();
  if (!process) return {LaunchResult::End::kNotOpened, 0, {}};

  const DateTime start = host.Now();
  for (;;) {
    const ProcessState state = process->Wait(kWaitSliceMilliseconds);
    if (state.kind != ProcessState::Kind::kRunning) return Ended(state);
    host.YieldToEvents();
    if (timeLimitSeconds <= 0) continue;
    if (ElapsedSeconds(start, host.Now()) > timeLimitSeconds) return Ended(state);
  }
}

}  // namespace qelrestore
