// `Main`: one run of the restore, from the defaults to the exit block.
#pragma once

#include <string>

#include "driver/run_settings.h"
#include "host/host.h"

namespace qelrestore {

// Runs the restore and returns its exit status (see ExitStatus in driver/program.h). From
// checkpoint 53 on an error is reported in the log; one raised before, or while the error report
// runs, leaves as an exception for the host's own report. `logInUse` receives the log's path once
// the log is open. A run that does not end with status 0 ends with its failure line.
int Main(Host& host, const RunSettings& settings, std::wstring& logInUse);

// The failure line: the program's name, what went wrong, and where the log is (or that a dry run
// changed nothing).
std::wstring FailureLine(const std::wstring& what, const std::wstring& logFilePath, bool dryRun);

}  // namespace qelrestore
