// Starting the SQL client on Windows and waiting for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/host.h"
#include "host/windows/windows_api.h"

namespace qelrestore::windows {

// A started process, held by a handle opened for waiting and reading its exit code. Destroying
// the object closes the handle; the process runs on.
class WindowsProcess final : public Process {
 public:
  explicit WindowsProcess(UniqueProcessHandle handle) : handle_(std::move(handle)) {}

  // WAIT_TIMEOUT: running; WAIT_OBJECT_0: exited with GetExitCodeProcess's code (an unsigned
  // 32-bit value, so an NTSTATUS such as 0xC0000005 stays positive); anything else, or an exit
  // code that cannot be read: the wait failed.
  ProcessState Wait(uint32_t milliseconds) override;

 private:
  UniqueProcessHandle handle_;
};

// CreateProcessW with the window shown maximized (or normally), then OpenProcess for the wait.
// Throws the program's error when the program cannot be started (53 not found, 76 its folder not
// found, 70 access refused, else 75); null when it started but could not be opened.
std::unique_ptr<Process> StartProcess(const std::wstring& commandLine, bool maximized);

}  // namespace qelrestore::windows
