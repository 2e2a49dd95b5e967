// The Windows program: a console program (linked with -municode) whose arguments are read from
// GetCommandLineW by the host, not from the C runtime's split.
#include "driver/program.h"
#include "driver/run_settings.h"
#include "host/windows/windows_host.h"

int wmain() {
  // Every setting of the environment, read once here.
  const qelrestore::RunSettings settings =
      qelrestore::ReadRunSettings(qelrestore::windows::ProcessVariable);
  qelrestore::windows::WindowsHost host(qelrestore::kProgramTitle,
                                        qelrestore::windows::ClientWindow::kMaximized,
                                        settings.boxesOnConsole);
  return qelrestore::RunProgram(host, settings);
}
