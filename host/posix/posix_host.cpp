#include "host/posix/posix_host.h"

#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>

#include "driver/program.h"
#include "host/posix/copy_engine.h"
#include "host/posix/posix_file_system.h"
#include "host/posix/posix_text.h"

namespace qelrestore::posix {
namespace {

// Nothing on POSIX corresponds to an access token; the object only tells the profile lookup that
// the "open" succeeded.
class PosixUserToken final : public UserToken {};

// Best effort: there is nobody to tell when standard error itself cannot be written.
void WriteToStandardError(const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

// Reads standard input up to the end of the line (or of the input).
void WaitForEnter() {
  char ch = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &ch, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || ch == '\n') return;
  }
}

std::vector<std::string> ArgumentsAfterProgram(int argc, char** argv) {
  if (argc <= 1 || argv == nullptr) return {};
  return std::vector<std::string>(argv + 1, argv + argc);
}

// The folder of the running executable in native form ("" for the root), or "." when the system
// cannot say.
std::string ExecutableFolder() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return ".";
    if (static_cast<size_t>(length) < path.size()) {
      path.resize(static_cast<size_t>(length));
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string RegistryFile(const std::wstring& programFolder) {
  const char* configured = std::getenv("QELRESTORE_REGISTRY");
  if (configured != nullptr && *configured != '\0') return configured;
  return NativePath(programFolder + L"\\registry.reg");
}

// $HOME when set, else the password database's entry for the running user; "" when neither says.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  for (;;) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int failure = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (failure == ERANGE) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (failure != 0 || found == nullptr || found->pw_dir == nullptr) return "";
    return found->pw_dir;
  }
}

}  // namespace

PosixHost::PosixHost(int argc, char** argv)
    : arguments_(ArgumentsAfterProgram(argc, argv)),
      programFolder_(DecodeUtf8(ExecutableFolder())),
      registry_(RegistryFile(programFolder_)) {}

// The shell has already split the command line; each argument is quoted again, because the
// logic finds its settings between double quotes, as the batch file that starts it writes them.
std::wstring PosixHost::CommandLine() {
  std::string line;
  for (const std::string& argument : arguments_) {
    if (!line.empty()) line += ' ';
    line += '"';
    line += argument;
    line += '"';
  }
  return DecodeUtf8(line);
}

std::wstring PosixHost::ProgramFolder() {
  return programFolder_;
}

void PosixHost::MessageBox(const std::wstring& text) {
  WriteToStandardError(EncodeUtf8(text) + "\n");
  if (::isatty(STDIN_FILENO) == 1) WaitForEnter();
}

bool PosixHost::Unattended() {
  return true;
}

DateTime PosixHost::Now() {
  struct timespec wall {};
  struct timespec steady {};
  ::clock_gettime(CLOCK_REALTIME, &wall);
  ::clock_gettime(CLOCK_MONOTONIC, &steady);
  struct tm local {};
  ::localtime_r(&wall.tv_sec, &local);
  DateTime now;
  now.year = local.tm_year + 1900;
  now.month = local.tm_mon + 1;
  now.day = local.tm_mday;
  now.hour = local.tm_hour;
  now.minute = local.tm_min;
  now.second = local.tm_sec;
  now.serialSeconds = static_cast<int64_t>(steady.tv_sec);
  return now;
}

std::wstring PosixHost::FormatDateTime(const DateTime& when) {
  wchar_t text[64] = {};
  std::swprintf(text, sizeof text / sizeof text[0], L"%04d-%02d-%02d %02d:%02d:%02d", when.year,
                when.month, when.day, when.hour, when.minute, when.second);
  return text;
}

std::unique_ptr<FileSystem> PosixHost::CreateFileSystemObject() {
  return std::make_unique<PosixFileSystem>();
}

std::unique_ptr<ByteSource> PosixHost::OpenForInput(const std::wstring& path) {
  return OpenInputFile(NativePath(path));
}

std::wstring PosixHost::DecodeText(std::string_view bytes) {
  return DecodeUtf8(bytes);
}

void PosixHost::CopyFile(const std::wstring& source, const std::wstring& destination) {
  CopyWholeFile(NativePath(source), NativePath(destination));
}

// No window reports the entries that could not be copied; each goes to standard error, where an
// unattended run's output is kept.
int32_t PosixHost::SHFileOperation(FileOperation& operation) {
  const std::string prefix = EncodeUtf8(kProgramTitle) + ": ";
  return RunFileOperation(operation, [&prefix](std::string_view line) {
    WriteToStandardError(prefix + std::string(line) + "\n");
  });
}

std::unique_ptr<UserToken> PosixHost::OpenProcessToken() {
  return std::make_unique<PosixUserToken>();
}

bool PosixHost::GetUserProfileDirectory(const UserToken* token, std::wstring& profile) {
  if (token == nullptr) return false;
  std::string home = HomeFolder();
  while (!home.empty() && home.back() == '/') home.pop_back();
  if (home.empty()) return false;
  profile = DecodeUtf8(home);
  return true;
}

int32_t PosixHost::RegOpenKeyEx(uint32_t rootKey, const std::wstring& subKey, uint32_t /*options*/,
                                uint32_t access, RegistryKey& key) {
  return registry_.Open(rootKey, subKey, access, key);
}

int32_t PosixHost::RegQueryValueEx(RegistryKey key, const std::wstring& valueName, uint32_t& type,
                                   uint8_t* data, uint32_t& byteCount) {
  return registry_.Query(key, valueName, type, data, byteCount);
}

void PosixHost::RegCloseKey(RegistryKey key) {
  registry_.Close(key);
}

uint32_t PosixHost::StartProcess(const std::wstring& commandLine, int windowStyle) {
  return processes_.Start(commandLine, windowStyle);
}

// There is no window and so no event to service.
void PosixHost::YieldToEvents() {}

ProcessHandle PosixHost::OpenProcess(uint32_t /*access*/, bool /*inherit*/, uint32_t processId) {
  return processes_.Open(processId);
}

WaitOutcome PosixHost::WaitForSingleObject(ProcessHandle handle, uint32_t milliseconds) {
  return processes_.Wait(handle, milliseconds);
}

void PosixHost::CloseHandle(ProcessHandle handle) {
  processes_.Close(handle);
}

}  // namespace qelrestore::posix
