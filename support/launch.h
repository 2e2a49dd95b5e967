// Starting a command line and waiting for it, for at most a time limit.
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"

namespace qelrestore {

// Whether the command line could be started, and why not.
struct LaunchResult {
  bool started = false;
  std::wstring reason;  // the start's error description when it was not started
};

// Starts `commandLine` shown as `windowStyle` says and waits for it in 250-millisecond slices,
// servicing pending events between them, until it ends or more than `timeLimitSeconds` whole
// seconds have passed (0 or less: no limit). A process still running then is left to run on.
// A command line that cannot be started is answered with the box "error"; nothing is thrown for
// it.
LaunchResult RunAndWait(Host& host, const std::wstring& commandLine, int windowStyle,
                        int32_t timeLimitSeconds);

}  // namespace qelrestore
