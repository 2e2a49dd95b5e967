#include "support/launch.h"

#include "support/error.h"

namespace qelrestore {

namespace {

constexpr uint32_t kWaitSliceMilliseconds = 250;

// Closes the process handle however the wait ends.
class OpenProcessHandle {
 public:
  OpenProcessHandle(Host& host, ProcessHandle handle) : host_(host), handle_(handle) {}
  OpenProcessHandle(const OpenProcessHandle&) = delete;
  OpenProcessHandle& operator=(const OpenProcessHandle&) = delete;
  ~OpenProcessHandle() { host_.CloseHandle(handle_); }

 private:
  Host& host_;
  ProcessHandle handle_;
};

}  // namespace

LaunchResult RunAndWait(Host& host, const std::wstring& commandLine, int windowStyle,
                        int32_t timeLimitSeconds) {
  uint32_t processId = 0;
  try {
    processId = host.StartProcess(commandLine, windowStyle);
  } catch (...) {
    const Error error = CurrentExceptionAsError();
    host.MessageBox(L"error");
    return {false, error.description()};
  }
  host.YieldToEvents();

  const ProcessHandle handle = host.OpenProcess(SYNCHRONIZE, false, processId);
  if (handle == 0) return {true, {}};
  const OpenProcessHandle owner(host, handle);

  const DateTime start = host.Now();
  for (;;) {
    if (host.WaitForSingleObject(handle, kWaitSliceMilliseconds) != WaitOutcome::kTimedOut) break;
    host.YieldToEvents();
    if (timeLimitSeconds <= 0) continue;
    if (ElapsedSeconds(start, host.Now()) > timeLimitSeconds) break;
  }
  return {true, {}};
}

}  // namespace qelrestore
