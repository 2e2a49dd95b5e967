// The Windows program: a console program (linked with -municode) whose arguments are read from
// GetCommandLineW by the host, not from the C runtime's split.
#include "driver/program.h"
#include "host/windows/windows_host.h"

int wmain() {
  qelrestore::windows::WindowsHost host(qelrestore::kProgramTitle);
  return qelrestore::RunProgram(host);
}
