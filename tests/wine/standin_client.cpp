// A stand-in for the SQL command-line client, for the wine suite. It writes its whole command line
// (GetCommandLineW, as UTF-8, no line end) to the file named by the argument after -o, so a test
// can compare it with the command line the restore logged; then it sleeps QEL_STANDIN_SECONDS
// seconds when that variable is set, so a test can see the restore give up waiting. Exits 0.
#include <cwchar>
#include <string>

#include "host/windows/windows_api.h"

namespace {

std::string Utf8(const std::wstring& text) {
  const int units = static_cast<int>(text.size());
  const int needed =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string bytes(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, bytes.data(), needed, nullptr, nullptr);
  return bytes;
}

// The argument after -o, split by the system's own rules; empty when there is none.
std::wstring OutputFile(const wchar_t* commandLine) {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(commandLine, &count);
  if (arguments == nullptr) return std::wstring();
  std::wstring file;
  for (int i = 1; i + 1 < count; ++i) {
    if (std::wcscmp(arguments[i], L"-o") == 0) {
      file = arguments[i + 1];
      break;
    }
  }
  ::LocalFree(arguments);
  return file;
}

}  // namespace

int wmain() {
  const wchar_t* commandLine = ::GetCommandLineW();
  const std::wstring file = OutputFile(commandLine);
  if (!file.empty()) {
    HANDLE out = ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
      const std::string bytes = Utf8(commandLine);
      DWORD written = 0;
      ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
      ::CloseHandle(out);
    }
  }
  wchar_t seconds[32] = {};
  if (::GetEnvironmentVariableW(L"QEL_STANDIN_SECONDS", seconds, 32) > 0) {
    const long value = std::wcstol(seconds, nullptr, 10);
    if (value > 0) ::Sleep(static_cast<DWORD>(value) * 1000);
  }
  return 0;
}
