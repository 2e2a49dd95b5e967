// Starting a command line and waiting for it, for at most a time limit.
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"

namespace qelrestore {

// How the started command ended, as far as the wait saw it.
struct LaunchResult {
  enum class End {
    kNotStarted,    // the program could not be started (`reason` says why)
    kNotOpened,     // it started but could not be opened for waiting
    kExited,        // it ended with the exit status in `code`
    kSignaled,      // it was ended by the signal in `code`
    kStillRunning,  // the time limit passed; it runs on
    kWaitFailed,    // a wait failed; whether it still runs is unknown
  };
  End end = End::kNotStarted;
  int64_t code = 0;
  std::wstring reason;
};

// Starts `commandLine` shown as `style` says and waits for it in 250-millisecond slices,
// servicing pending events between them, until it ends or more than `timeLimitSeconds` whole
// seconds have passed (0 or less: no limit). A process still running then is left to run on.
// A command line that cannot be started is answered with the box "error"; nothing is thrown for
// it. `progressFile`: where the command reports its progress, for the host to show (may be empty).
LaunchResult RunAndWait(Host& host, const std::wstring& commandLine, WindowStyle style,
                        int32_t timeLimitSeconds, const std::wstring& progressFile = {});

}  // namespace qelrestore
