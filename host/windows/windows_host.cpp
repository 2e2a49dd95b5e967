#include "host/windows/windows_host.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "host/windows/windows_api.h"
#include "host/windows/windows_errors.h"
#include "host/windows/windows_file_system.h"
#include "host/windows/windows_folder_copy.h"
#include "host/windows/windows_process.h"
#include "host/windows/windows_registry.h"
#include "host/windows/windows_text.h"
#include "host/windows/windows_undo_set.h"

namespace qelrestore::windows {

namespace {

// An environment variable's value; nothing when it is not set (an empty value is a value).
std::optional<std::wstring> EnvironmentValue(const wchar_t* name) {
  std::wstring value(64, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(value.size());
    // A set but empty variable also gives 0; only the last error tells the two apart.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD got = ::GetEnvironmentVariableW(name, value.data(), size);
    if (got == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (got < size) {
      value.resize(got);
      return value;
    }
    value.resize(got);  // `got` is the size needed, terminator included
  }
}

// The box's text on standard error: through the console when there is one (so any character
// shows), else as UTF-8 bytes for whoever reads the pipe or file.
void WriteToStandardError(const std::wstring& text) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  const std::wstring line = text + L"\r\n";
  DWORD mode = 0;
  DWORD written = 0;
  if (::GetConsoleMode(error, &mode)) {
    ::WriteConsoleW(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } else {
    const std::string bytes = ToUtf8(line);
    ::WriteFile(error, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}

using FormatFunction = int(WINAPI*)(LCID, DWORD, const SYSTEMTIME*, LPCWSTR, LPWSTR, int);

// One of the locale's formats of `when`; empty when the locale call fails.
std::wstring LocaleFormat(FormatFunction format, DWORD flags, const SYSTEMTIME& when) {
  const int needed = format(LOCALE_USER_DEFAULT, flags, &when, nullptr, nullptr, 0);
  if (needed <= 0) return L"";
  std::wstring text(static_cast<size_t>(needed), L'\0');
  const int got = format(LOCALE_USER_DEFAULT, flags, &when, nullptr, text.data(), needed);
  if (got <= 0) return L"";
  text.resize(static_cast<size_t>(got - 1));  // the count includes the terminating NUL
  return text;
}

}  // namespace

struct RunLockFile {
  UniqueFileHandle file;
};

WindowsHost::~WindowsHost() = default;

WindowsHost::WindowsHost(std::wstring title, ClientWindow clientWindow, bool boxesOnConsole)
    : title_(std::move(title)), clientWindow_(clientWindow), boxesOnConsole_(boxesOnConsole) {
  // A drive without a medium would otherwise show the system's own box, which waits for nobody
  // on an unattended run: the failing call reports the error to the program instead, and the run
  // reports it as it reports any other.
  ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS);
}

std::wstring WindowsHost::CommandLine() {
  return std::wstring(ArgumentsOf(::GetCommandLineW()));
}

std::wstring WindowsHost::ProgramFolder() {
  // Paths may exceed MAX_PATH; a full buffer means the name was cut, so grow it and ask again.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD got = ::GetModuleFileNameW(nullptr, path.data(), size);
    if (got == 0) throw Win32Error(::GetLastError(), L"GetModuleFileNameW", L"");
    if (got < size) {
      path.resize(got);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The program is installed as a folder of its own that it may write to: the default log and the
// kept settings sit beside it.
std::wstring WindowsHost::DefaultLogFolder() {
  return ProgramFolder();
}

std::wstring WindowsHost::KeptSettingsFolder() {
  return ProgramFolder();
}

void WindowsHost::MessageBox(const std::wstring& text) {
  if (boxesOnConsole_) {
    WriteToStandardError(text);
    return;
  }
  ::MessageBoxW(nullptr, text.c_str(), title_.c_str(), MB_OK);
}

// Only an unattended run's reader of standard error needs it: windows have shown the rest.
void WindowsHost::ReportFailure(const std::wstring& line) {
  if (boxesOnConsole_) WriteToStandardError(line);
}

// Progress is for somebody at the console the program was started from; a pipe or a file gets
// none.
void WindowsHost::ShowProgress(const std::wstring& line) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (error == nullptr || error == INVALID_HANDLE_VALUE || !::GetConsoleMode(error, &mode)) return;
  const std::wstring text = line + L"\r\n";
  DWORD written = 0;
  ::WriteConsoleW(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The lock file is opened for writing without sharing it for writing: a second run's open fails
// while the first one runs, and the system closes the handle when the program ends however it
// ends. Others may still read the process id written in it.
std::optional<int64_t> WindowsHost::LockRun(const std::wstring& lockFile) {
  UniqueFileHandle file(::CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION) throw Win32Error(error, L"CreateFileW", lockFile);
    const UniqueFileHandle holder(::CreateFileW(lockFile.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char text[32] = {};
    DWORD got = 0;
    if (!holder.valid() || !::ReadFile(holder.get(), text, sizeof text - 1, &got, nullptr)) {
      return 0;
    }
    return std::strtoll(text, nullptr, 10);
  }
  const std::string pid = std::to_string(::GetCurrentProcessId()) + "\r\n";
  DWORD written = 0;
  if (::SetEndOfFile(file.get())) {
    ::WriteFile(file.get(), pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
  }
  runLock_ = std::make_unique<RunLockFile>(RunLockFile{std::move(file)});
  return std::nullopt;
}

std::optional<std::wstring> WindowsHost::EnvironmentVariable(const std::wstring& name) {
  return ProcessVariable(name);
}

std::optional<std::wstring> ProcessVariable(const std::wstring& name) {
  return EnvironmentValue(name.c_str());
}

DateTime WindowsHost::Now() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  DateTime now;
  now.year = local.wYear;
  now.month = local.wMonth;
  now.day = local.wDay;
  now.hour = local.wHour;
  now.minute = local.wMinute;
  now.second = local.wSecond;
  // The tick count is not moved by clock changes, which keeps elapsed times true.
  now.serialSeconds = static_cast<int64_t>(::GetTickCount64() / 1000);
  return now;
}

std::wstring WindowsHost::FormatDateTime(const DateTime& when) {
  SYSTEMTIME fields{};
  fields.wYear = static_cast<WORD>(when.year);
  fields.wMonth = static_cast<WORD>(when.month);
  fields.wDay = static_cast<WORD>(when.day);
  fields.wHour = static_cast<WORD>(when.hour);
  fields.wMinute = static_cast<WORD>(when.minute);
  fields.wSecond = static_cast<WORD>(when.second);
  // A round trip through FILETIME validates the fields and fills in the day of the week, which
  // some locales' short dates show.
  FILETIME asFileTime{};
  SYSTEMTIME checked{};
  std::wstring text;
  if (::SystemTimeToFileTime(&fields, &asFileTime) &&
      ::FileTimeToSystemTime(&asFileTime, &checked)) {
    const std::wstring date = LocaleFormat(::GetDateFormatW, DATE_SHORTDATE, checked);
    const std::wstring time = LocaleFormat(::GetTimeFormatW, 0, checked);
    if (!date.empty() && !time.empty()) text = date + L" " + time;
  }
  if (text.empty()) {
    wchar_t fallback[64];
    std::swprintf(fallback, 64, L"%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day,
                  when.hour, when.minute, when.second);
    text = fallback;
  }
  return WithoutColonBlank(std::move(text));
}

void WindowsHost::YieldToEvents() {
  MSG message{};
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

std::optional<std::wstring> WindowsHost::ProfileFolder() {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return std::nullopt;
  const UniqueTokenHandle token(opened);
  // The first call asks for the size the profile needs, so no length is too long; the wide form
  // keeps characters the ANSI code page does not have.
  DWORD size = 0;
  ::GetUserProfileDirectoryW(token.get(), nullptr, &size);
  if (size == 0) return std::nullopt;
  std::wstring buffer(size, L'\0');
  if (!::GetUserProfileDirectoryW(token.get(), buffer.data(), &size)) return std::nullopt;
  std::wstring profile = buffer.substr(0, buffer.find(L'\0'));
  while (!profile.empty() && profile.back() == L'\\') profile.pop_back();
  if (profile.empty()) return std::nullopt;
  return profile;
}

bool WindowsHost::FileExists(const std::wstring& path) {
  return IsFile(path);
}

bool WindowsHost::FolderExists(const std::wstring& path) {
  return IsFolder(path);
}

std::unique_ptr<TextStream> WindowsHost::OpenLog(const std::wstring& path) {
  return OpenLogFile(path);
}

void WindowsHost::ProbeLog(const std::wstring& path) {
  ProbeLogFile(path);
}

std::unique_ptr<TextStream> WindowsHost::OpenStandardOutput() {
  return OpenStandardOutputStream();
}

// No access of its own is set here: the kept settings are plain copies in the program's folder,
// whose access the installation chose.
void WindowsHost::CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) {
  CopyWholeFile(source, destination);
}

void WindowsHost::CopyFileKeepingAccess(const std::wstring& source,
                                        const std::wstring& destination) {
  CopyWholeFile(source, destination);
}

void WindowsHost::RemoveFile(const std::wstring& path) {
  DeleteFileIfThere(path);
}

// An unattended run keeps the shell's own windows away: no dialog may hold it.
FolderCopy WindowsHost::CopyFolderContents(const std::wstring& source,
                                           const std::wstring& destination,
                                           const std::vector<std::wstring>& ownFiles) {
  return ShellCopyFolderContents(source, destination, ownFiles, boxesOnConsole_);
}

CopyPlan WindowsHost::PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                                     const std::vector<std::wstring>& ownFiles) {
  return PlanShellFolderCopy(source, destination, ownFiles);
}

void WindowsHost::StartUndoSet(const std::wstring& set) {
  windows::StartUndoSet(set);
}

KeptForUndo WindowsHost::KeepReplaced(const std::wstring& set, const std::wstring& source,
                                      const std::wstring& installation,
                                      const std::vector<std::wstring>& ownFiles) {
  return windows::KeepReplaced(set, source, installation, ownFiles);
}

void WindowsHost::NoteLeft(const std::wstring& set, const std::wstring& installation) {
  windows::NoteLeft(set, installation);
}

UndoCheck WindowsHost::CheckUndo(const std::wstring& set, const std::wstring& installation) {
  return windows::CheckUndo(set, installation);
}

UndoneFolder WindowsHost::PutBackKept(const std::wstring& set, const std::wstring& installation) {
  return windows::PutBackKept(set, installation);
}

void WindowsHost::DropUndoSet(const std::wstring& set) {
  windows::DropUndoSet(set);
}

std::optional<FolderIdentity> WindowsHost::IdentifyFolder(const std::wstring& path) {
  return IdentityOfFolder(path);
}

// The logic's paths are Windows paths already.
std::wstring WindowsHost::PathAsOpened(const std::wstring& path) {
  return path;
}

std::wstring WindowsHost::FullPath(const std::wstring& path) {
  return FullPathOf(path);
}

std::unique_ptr<Reader> WindowsHost::OpenForInput(const std::wstring& path) {
  return OpenInputFile(path);
}

// Supplied files are opened as any other here: this form does not tell links apart when it reads.
std::unique_ptr<Reader> WindowsHost::OpenSuppliedFile(const std::wstring& path) {
  return OpenInputFile(path);
}

std::unique_ptr<Reader> WindowsHost::OpenSuppliedSettings(const std::wstring& path) {
  return OpenInputFile(path);
}

std::wstring WindowsHost::DecodeText(std::string_view bytes) {
  return FromAnsi(bytes);
}

std::wstring WindowsHost::DecodeConsoleText(std::string_view bytes) {
  return FromOem(bytes);
}

RegistryAnswer WindowsHost::QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                               const std::wstring& valueName) {
  return ReadRegistry(view, keyPath, valueName);
}

std::wstring WindowsHost::RegistryName() {
  return L"the registry";
}

std::unique_ptr<Process> WindowsHost::Start(const std::wstring& commandLine) {
  return StartProcess(commandLine, clientWindow_ == ClientWindow::kMaximized);
}

// The client's window shows it at work to whoever is at the machine, and one left running is
// seen there: a few seconds are waited for before the run goes on.
int32_t WindowsHost::DefaultClientWaitSeconds() {
  return 5;
}

// The registered client is the only one there is.
std::optional<std::wstring> WindowsHost::SubstituteClient(const std::wstring& /*clientToolsFolder*/,
                                                          const std::wstring& /*program*/) {
  return std::nullopt;
}

}  // namespace qelrestore::windows
