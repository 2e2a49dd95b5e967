// Starting a command line and waiting for it, for at most a time limit.
#pragma once

#include <cstdint>
#include <string>

#include "host/clock.h"
#include "host/console.h"
#include "host/processes.h"
#include "restore/client_progress.h"

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

// Starts `commandLine` and waits for it in 250-millisecond slices, servicing pending events
// between them, until it ends or more than `timeLimitSeconds` whole seconds have passed (0 or
// less: no limit). A process still running then is left to run on. A command line that cannot be
// started is answered with the box "error"; nothing is thrown for it. `progress`, when given,
// looks at the command's progress after every slice and once more when it has ended.
LaunchResult RunAndWait(Processes& processes, Console& console, Clock& clock,
                        const std::wstring& commandLine, int32_t timeLimitSeconds,
                        ClientProgress* progress = nullptr);

}  // namespace qelrestore
