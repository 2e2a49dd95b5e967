#include "host/windows/windows_process.h"

#include <vector>

#include "host/windows/windows_errors.h"

namespace qelrestore::windows {

namespace {

int32_t StartErrorCode(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return code::kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
      return code::kPathNotFound;
    case ERROR_ACCESS_DENIED:
      return code::kPermissionDenied;
    default:
      return code::kPathFileAccess;
  }
}

}  // namespace

ProcessState WindowsProcess::Wait(uint32_t milliseconds) {
  ProcessState state;
  switch (::WaitForSingleObject(handle_.get(), milliseconds)) {
    case WAIT_TIMEOUT:
      state.kind = ProcessState::Kind::kRunning;
      return state;
    case WAIT_OBJECT_0: {
      DWORD exitCode = 0;
      if (!::GetExitCodeProcess(handle_.get(), &exitCode)) return state;
      state.kind = ProcessState::Kind::kExited;
      state.code = static_cast<int64_t>(exitCode);
      return state;
    }
    default:
      return state;  // kWaitFailed
  }
}

std::unique_ptr<Process> StartProcess(const std::wstring& commandLine, bool maximized) {
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(maximized ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
    throw CallError(StartErrorCode(::GetLastError()), L"CreateProcessW", commandLine);
  }
  const UniqueProcessHandle thread(started.hThread);
  // Held until the wait's own handle is open, so that the id cannot pass to another process in
  // between, however soon the client ends.
  const UniqueProcessHandle created(started.hProcess);
  UniqueProcessHandle opened(
      ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, started.dwProcessId));
  if (!opened.valid()) return nullptr;
  return std::make_unique<WindowsProcess>(std::move(opened));
}

}  // namespace qelrestore::windows
