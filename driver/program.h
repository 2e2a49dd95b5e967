// The program's entry for every host form: one run of the restore, ended with its exit status.
#pragma once

#include "driver/run_settings.h"
#include "host/host.h"

namespace qelrestore {

// How a run ended, as the batch file that started it sees it.
enum ExitStatus : int {
  kExitCompleted = 0,    // both completed ends of the run
  kExitUsage = 1,        // the usage message was shown
  kExitStopped = 2,      // a failed check stopped the run
  kExitErrorReport = 3,  // an error was trapped and reported
  kExitUnhandled = 4,    // an error before the trap was armed (the host's own report)
  kExitIncomplete = 5,   // completed, but something failed (see the README's table)
  kExitNotVerified = 6,  // completed, nothing failed, but the database restore was not verified
};

// Runs `Main` on the host; an error that escapes it (one raised before errors are reported, or
// while the error report runs) is shown in the host's own report box (on standard output in a dry
// run), naming its code and description, and gives kExitUnhandled. Never throws.
int RunProgram(Host& host, const RunSettings& settings);

// The program's title, the caption of its boxes, and its version.
inline constexpr wchar_t kProgramTitle[] = L"qelrestore";
inline constexpr char kProgramVersion[] = QELRESTORE_VERSION;

}  // namespace qelrestore
