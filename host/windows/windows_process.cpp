// The process methods of the Windows host: CreateProcessW to start the SQL client, and the
// OpenProcess / WaitForSingleObject / CloseHandle calls the wait loop makes.
#include <cstdint>
#include <string>
#include <vector>

#include "host/windows/windows_errors.h"
#include "host/windows/windows_host.h"

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

uint32_t WindowsHost::StartProcess(const std::wstring& commandLine, int windowStyle) {
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(windowStyle);
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
    throw CallError(StartErrorCode(::GetLastError()), L"CreateProcessW", commandLine);
  }
  UniqueProcessHandle thread(started.hThread);
  started_[started.dwProcessId] = UniqueProcessHandle(started.hProcess);
  return started.dwProcessId;
}

void WindowsHost::YieldToEvents() {
  MSG message{};
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

ProcessHandle WindowsHost::OpenProcess(uint32_t access, bool inherit, uint32_t processId) {
  const HANDLE handle = ::OpenProcess(access, inherit ? TRUE : FALSE, processId);
  if (handle == nullptr) return 0;
  const auto value = static_cast<ProcessHandle>(reinterpret_cast<uintptr_t>(handle));
  opened_[value] = UniqueProcessHandle(handle);
  return value;
}

WaitOutcome WindowsHost::WaitForSingleObject(ProcessHandle handle, uint32_t milliseconds) {
  const auto found = opened_.find(handle);
  if (found == opened_.end()) return WaitOutcome::kFailed;
  switch (::WaitForSingleObject(found->second.get(), milliseconds)) {
    case WAIT_OBJECT_0:
      return WaitOutcome::kEnded;
    case WAIT_TIMEOUT:
      return WaitOutcome::kTimedOut;
    default:
      return WaitOutcome::kFailed;
  }
}

void WindowsHost::CloseHandle(ProcessHandle handle) {
  opened_.erase(handle);
}

}  // namespace qelrestore::windows
