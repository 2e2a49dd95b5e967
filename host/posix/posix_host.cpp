#include "host/posix/posix_host.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "copy/copy_engine.h"
#include "host/posix/posix_errors.h"
#include "host/posix/posix_file_system.h"
#include "host/posix/posix_process.h"
#include "host/posix/posix_status_line.h"
#include "host/posix/posix_undo_set.h"
#include "support/byte_text.h"
#include "support/text.h"
#include "support/utf8_text.h"

namespace qelrestore::posix {
namespace {

std::vector<std::string> NativeRelativePaths(const std::vector<std::wstring>& paths) {
  std::vector<std::string> native;
  native.reserve(paths.size());
  for (const std::wstring& path : paths) native.push_back(NativePath(path));
  return native;
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

std::string RegistryFile(const RunFolders& folders, const std::string& configured) {
  return configured.empty() ? folders.registryFile : configured;
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

InstalledFolders PackageFolders() {
  InstalledFolders folders;
#ifdef QEL_INSTALLED_BINDIR
  folders = {QEL_INSTALLED_BINDIR, QEL_INSTALLED_LOG_FOLDER, QEL_INSTALLED_STATE_FOLDER,
             QEL_INSTALLED_REGISTRY_FILE};
#endif
  return folders;
}

// An installed program lives in a folder that belongs to the package and that users cannot write
// to, so its writable files go where the package put them for it. The same build run from any
// other folder (its build folder, a copy unpacked by hand) keeps them beside itself as it always
// has, so that a trial run never touches the installed program's files.
RunFolders ChooseRunFolders(const std::string& programFolder, const InstalledFolders& installed) {
  bool fromInstalledFolder = !installed.program.empty() && programFolder == installed.program;
  // The running program's folder has its links resolved; the installed one may be a link (/bin).
  if (!installed.program.empty() && !fromInstalledFolder) {
    if (char* resolved = ::realpath(installed.program.c_str(), nullptr)) {
      fromInstalledFolder = programFolder == resolved;
      std::free(resolved);
    }
  }
  if (fromInstalledFolder) return {installed.log, installed.state, installed.registryFile};
  return {programFolder, programFolder, programFolder + "/registry.reg"};
}

PosixHost::PosixHost(int argc, char** argv, std::wstring /*title*/, PosixHostSettings settings)
    : arguments_(ArgumentsAfterProgram(argc, argv)),
      programFolder_(DecodeUtf8(ExecutableFolder())),
      folders_(ChooseRunFolders(EncodeUtf8(programFolder_), PackageFolders())),
      unattended_(::isatty(STDIN_FILENO) != 1),
      registryFile_(RegistryFile(folders_, settings.registryFile)),
      registry_(registryFile_),
      copyWorkers_(settings.copyWorkers) {}

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

std::wstring PosixHost::DefaultLogFolder() {
  return DecodeUtf8(folders_.log);
}

std::wstring PosixHost::KeptSettingsFolder() {
  return DecodeUtf8(folders_.keptSettings);
}

std::optional<std::wstring> PosixHost::EnvironmentVariable(const std::wstring& name) {
  return ProcessVariable(name);
}

std::optional<std::wstring> ProcessVariable(const std::wstring& name) {
  const std::string native = EncodeUtf8(name);
  if (native.empty() || native.find_first_of(std::string("=\0", 2)) != std::string::npos) {
    return std::nullopt;
  }
  const char* value = std::getenv(native.c_str());
  if (value == nullptr) return std::nullopt;
  return DecodeUtf8(value);
}

// A box is its text on standard error, one line more; it waits for Enter only where somebody at a
// terminal can give it, and then says so.
void PosixHost::MessageBox(const std::wstring& text) {
  WriteToStandardError(EncodeUtf8(text) + "\n");
  if (unattended_) return;
  WriteToStandardError("Press Enter to go on");
  WaitForEnter();
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

// There is no window and so no event to service.
void PosixHost::YieldToEvents() {}

std::optional<std::wstring> PosixHost::ProfileFolder() {
  std::string home = HomeFolder();
  while (!home.empty() && home.back() == '/') home.pop_back();
  if (home.empty()) return std::nullopt;
  return DecodeUtf8(home);
}

void PosixHost::ReportFailure(const std::wstring& line) {
  WriteToStandardError(EncodeUtf8(line) + "\n");
}

// Progress is for somebody at a terminal: a pipe or a file (cron's mail, a journal) gets none.
void PosixHost::ShowProgress(const std::wstring& line) {
  if (::isatty(STDERR_FILENO) == 1) WriteToStandardError(EncodeUtf8(line) + "\n");
}

std::unique_ptr<Reader> PosixHost::OpenForInput(const std::wstring& path) {
  return OpenInputFile(NativePath(path));
}

std::unique_ptr<Reader> PosixHost::OpenSuppliedFile(const std::wstring& path) {
  return OpenInputFile(NativePath(path), O_NOFOLLOW);
}

std::unique_ptr<Reader> PosixHost::OpenSuppliedSettings(const std::wstring& path) {
  return OpenSettingsFile(NativePath(path));
}

std::wstring PosixHost::DecodeText(std::string_view bytes) {
  return DecodeUtf8(bytes);
}

std::wstring PosixHost::DecodeConsoleText(std::string_view bytes) {
  return DecodeUtf8Escaping(bytes);
}

bool PosixHost::FileExists(const std::wstring& path) {
  return IsFile(NativePath(path));
}

bool PosixHost::FolderExists(const std::wstring& path) {
  return IsFolder(NativePath(path));
}

std::unique_ptr<TextStream> PosixHost::OpenLog(const std::wstring& path) {
  return OpenLogFile(NativePath(path));
}

void PosixHost::ProbeLog(const std::wstring& path) {
  ProbeLogFile(NativePath(path));
}

std::unique_ptr<TextStream> PosixHost::OpenStandardOutput() {
  return OpenStandardOutputStream();
}

void PosixHost::RemoveFile(const std::wstring& path) {
  RemoveFileIfPresent(NativePath(path));
}

// The engine has no window that could wait for anybody; the entries it could not copy go to the
// caller, which logs them.
FolderCopy PosixHost::CopyFolderContents(const std::wstring& source,
                                         const std::wstring& destination,
                                         const std::vector<std::wstring>& ownFiles) {
  const CopyOptions options{
      .workers = copyWorkers_,
      .ownFiles = NativeRelativePaths(ownFiles),
      .recordFolder = folders_.keptSettings + "/" + EncodeUtf8(kCopyRecordsName),
  };
  std::optional<CopyStatusLine> statusLine;
  CopyProgress progress;
  if (::isatty(STDERR_FILENO) == 1) {
    // The first walk costs a read of the backup's folders: only a terminal gets to see it used.
    statusLine.emplace(posix::PlanFolderCopy(NativePath(source), NativePath(destination), options));
    progress = [&statusLine](const CopyCounts& done) { statusLine->Update(done); };
  }
  const CopyReport report =
      posix::CopyFolderContents(NativePath(source), NativePath(destination), options, progress);
  statusLine.reset();
  FolderCopy copy;
  copy.outcome = report.complete ? CopyOutcome::kComplete : CopyOutcome::kIncomplete;
  copy.notCopied.reserve(std::min(report.failures.size(), kNotCopiedNamed));
  for (const CopyFailure& failure : report.failures) {
    if (copy.notCopied.size() == kNotCopiedNamed) break;
    copy.notCopied.push_back({DecodeUtf8(failure.path), DecodeUtf8(failure.reason)});
  }
  copy.notCopiedCount = std::max<uint64_t>(report.failureCount, copy.notCopied.size());
  copy.leftoversRemoved = report.leftoversRemoved;
  return copy;
}

CopyPlan PosixHost::PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                                   const std::vector<std::wstring>& ownFiles) {
  return posix::PlanFolderCopy(NativePath(source), NativePath(destination),
                               {.ownFiles = NativeRelativePaths(ownFiles)});
}

void PosixHost::StartUndoSet(const std::wstring& set) {
  posix::StartUndoSet(NativePath(set));
}

KeptForUndo PosixHost::KeepReplaced(const std::wstring& set, const std::wstring& source,
                                    const std::wstring& installation,
                                    const std::vector<std::wstring>& ownFiles) {
  return posix::KeepReplaced(NativePath(set), NativePath(source), NativePath(installation),
                             NativeRelativePaths(ownFiles));
}

void PosixHost::NoteLeft(const std::wstring& set, const std::wstring& installation) {
  posix::NoteLeft(NativePath(set), NativePath(installation));
}

namespace {
// An entry below the installation folder `installation`, as the run names that folder.
std::wstring Below(const std::wstring& installation, const std::wstring& relative) {
  return NormalizeTrailingSeparator(installation) + ReplaceChar(relative, L'/', L'\\');
}
}  // namespace

UndoCheck PosixHost::CheckUndo(const std::wstring& set, const std::wstring& installation) {
  UndoCheck check = posix::CheckUndo(NativePath(set), NativePath(installation));
  for (std::wstring& path : check.changed) path = Below(installation, path);
  return check;
}

UndoneFolder PosixHost::PutBackKept(const std::wstring& set, const std::wstring& installation) {
  UndoneFolder undone = posix::PutBackKept(NativePath(set), NativePath(installation));
  for (NotCopied& entry : undone.notPutBack) entry.path = Below(installation, entry.path);
  return undone;
}

void PosixHost::DropUndoSet(const std::wstring& set) {
  posix::DropUndoSet(NativePath(set));
}

std::optional<FolderIdentity> PosixHost::IdentifyFolder(const std::wstring& path) {
  return FolderIdentityOf(NativePath(path));
}

void PosixHost::CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) {
  const std::string saved = NativePath(destination);
  savedAccess_[saved] = CopyWholeFile(NativePath(source), saved, KeptSettingsCopy::kSave);
}

void PosixHost::CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) {
  // A saved copy this run did not make gets the owner-only access it has.
  const auto saved = savedAccess_.find(NativePath(source));
  struct stat access = saved != savedAccess_.end() ? saved->second : OwnerOnlyAccess();
  access.st_mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
  CopyWholeFile(NativePath(source), NativePath(destination), KeptSettingsCopy::kPutBack, access);
}

namespace {

// The lock file, readable by the run's account alone: any account that may open a file may hold
// a lock on it, and would keep every restore out. One that others may open (as an earlier version
// made it) is replaced; a lock somebody holds on it then locks nothing.
// Throws the error of the call that failed.
UniqueFd OpenLockFile(const std::string& path) {
  constexpr int kFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
  UniqueFd fd(::open(path.c_str(), kFlags, 0600));
  if (!fd.valid()) throw ErrnoError(errno, "open", path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw ErrnoError(errno, "fstat", path);
  if (S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0) return fd;
  if (::unlink(path.c_str()) != 0) throw ErrnoError(errno, "unlink", path);
  UniqueFd fresh(::open(path.c_str(), kFlags | O_EXCL, 0600));
  if (!fresh.valid()) throw ErrnoError(errno, "open", path);
  return fresh;
}

}  // namespace

std::optional<int64_t> PosixHost::LockRun(const std::wstring& lockFile) {
  const std::string path = NativePath(lockFile);
  UniqueFd fd = OpenLockFile(path);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) throw ErrnoError(errno, "flock", path);
    // The holder wrote its process id once it had the lock.
    char text[32] = {};
    const ssize_t got = ::pread(fd.get(), text, sizeof text - 1, 0);
    return got > 0 ? std::strtoll(text, nullptr, 10) : 0;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
  }
  runLock_ = std::move(fd);
  return std::nullopt;
}

RegistryAnswer PosixHost::QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                             const std::wstring& valueName) {
  return registry_.Query(view, keyPath, valueName);
}

// There is no window to show the client in.
std::unique_ptr<Process> PosixHost::Start(const std::wstring& commandLine) {
  return StartProcess(commandLine);
}

// The client takes its arguments literally: it gets the very path the host opens, as does a
// reader of the failure line.
std::wstring PosixHost::PathAsOpened(const std::wstring& path) {
  return DecodeUtf8(NativePath(path));
}

// An absolute path stands as it is: a POSIX name may end in blanks, and another folder of that
// name is not this one.
std::wstring PosixHost::FullPath(const std::wstring& path) {
  const std::string native = NativePath(path);
  if (native.empty() || native.front() == '/') return path;
  char* current = ::getcwd(nullptr, 0);
  if (current == nullptr) return path;
  std::wstring full = DecodeUtf8(current);
  std::free(current);
  return full + (full.ends_with(L'/') ? L"" : L"/") + path;
}

// No window shows the client at work, and a client left running is killed with a service that
// started the run: it is waited for until it ends.
int32_t PosixHost::DefaultClientWaitSeconds() {
  return 0;
}

// The command-line tools for Linux install sqlcmd as bin/sqlcmd below their folder, where the
// registered layout has Binn\OSQL.exe or Binn\sqlcmd.exe.
std::optional<std::wstring> PosixHost::SubstituteClient(const std::wstring& clientToolsFolder,
                                                        const std::wstring& program) {
  const std::wstring linuxClient = clientToolsFolder + L"\\bin\\sqlcmd";
  if (IsFile(NativePath(program)) || !IsFile(NativePath(linuxClient))) return std::nullopt;
  return linuxClient;
}

std::wstring PosixHost::RegistryName() {
  return L"the registry file " + DecodeUtf8(registryFile_);
}

}  // namespace qelrestore::posix
