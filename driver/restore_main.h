// `Main`: one run of the restore, from the defaults to the exit block.
#pragma once

#include "host/host.h"

namespace qelrestore {

// Runs the restore and returns its exit status (see ExitStatus in driver/program.h). An error
// raised before the error trap is armed (checkpoint 53), or while the error report runs, leaves
// it as an exception for the host's own report.
int Main(Host& host);

}  // namespace qelrestore
