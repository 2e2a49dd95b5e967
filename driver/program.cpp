#include "driver/program.h"

#include "driver/restore_main.h"
#include "log/run_log.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

int RunProgram(Host& host) {
  try {
    return Main(host);
  } catch (...) {
    const Error error = CurrentExceptionAsError();
    try {
      // The host's own report of an error nobody trapped: its code and its description.
      host.MessageBox(L"Unhandled error" + NumberText(error.code()) + L"\r\n" +
                      EscapeControlCharacters(error.description()));
    } catch (...) {
      // Nothing is left to tell it with; the exit status still says how the run ended.
    }
    return kExitUnhandled;
  }
}

}  // namespace qelrestore
