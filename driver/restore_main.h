// `Main`: one run of the restore, from the defaults to the exit block.
#pragma once

#include "host/host.h"

namespace qelrestore {

// Runs the restore and returns its exit status (see ExitStatus in driver/program.h). From
// checkpoint 53 on an error is reported in the log; one raised before, or while the error report
// runs, leaves as an exception for the host's own report.
int Main(Host& host);

}  // namespace qelrestore
