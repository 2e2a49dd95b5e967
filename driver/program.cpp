#include "driver/program.h"

#include "driver/restore_main.h"
#include "log/run_log.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

int RunProgram(Host& host, const RunSettings& settings) {
  std::wstring logInUse;
  try {
    return Main(host, settings, logInUse);
  } catch (...) {
    const Error error = CurrentExceptionAsError();
    bool dryRun = false;
    try {
      // The host's own report of an error nobody trapped: its code and its description. A dry
      // run shows no box, which would wait for somebody: it says so on standard output.
      const std::wstring heading = L"Unhandled error" + NumberText(error.code());
      dryRun = settings.dryRun == true;
      if (dryRun) {
        PrintDryRunLine(host, host, heading + L": " + EscapeControlCharacters(error.description()));
      } else {
        host.MessageBox(heading + L"\r\n" + EscapeControlCharacters(error.description()));
      }
    } catch (...) {
      // Nothing is left to tell it with; the exit status still says how the run ended.
    }
    host.ReportFailure(
        FailureLine(L"error " + std::to_wstring(error.code()) + L": " + error.description(),
                    logInUse.empty() ? L"" : host.PathAsOpened(logInUse), dryRun));
    return kExitUnhandled;
  }
}

}  // namespace qelrestore
