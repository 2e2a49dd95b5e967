#include "host/posix/posix_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
// glibc's header lacks the C++ guards on this platform.
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "host/posix/posix_errors.h"
#include "host/posix/unique_fd.h"
#include "support/byte_text.h"
#include "support/windows_command_line.h"

namespace qelrestore::posix {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// How often the wait looks at a child where no pidfd can be had.
constexpr std::chrono::milliseconds kPollInterval(5);

// "File not found (posix_spawn /x/y: No such file or directory)", with the code chosen here
// rather than from errno alone: a program in a missing folder is still a program not found.
Error StartError(int32_t errorCode, int errnoValue, const char* call, const std::string& path) {
  return PathError(errorCode, call, path, std::strerror(errnoValue));
}

int32_t StartErrorCode(int errnoValue) {
  switch (errnoValue) {
    case ENOENT:
    case ENOTDIR:
      return code::kFileNotFound;
    case EACCES:
    case EPERM:
    case ENOEXEC:
      return code::kPermissionDenied;
    default:
      return code::kPathFileAccess;
  }
}

// The file to execute for `program`: the program itself when it names a folder, else the first
// executable file of that name in PATH.
std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* searchPath = std::getenv("PATH");
  const std::string folders = searchPath != nullptr ? searchPath : "/usr/local/bin:/usr/bin:/bin";
  std::string denied;
  size_t start = 0;
  for (;;) {
    const size_t colon = folders.find(':', start);
    const std::string folder =
        folders.substr(start, colon == std::string::npos ? colon : colon - start);
    // An empty PATH entry means the current folder.
    const std::string candidate = (folder.empty() ? std::string(".") : folder) + '/' + program;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      if (denied.empty()) denied = candidate;
    }
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (!denied.empty()) throw StartError(code::kPermissionDenied, EACCES, "execute", denied);
  throw StartError(code::kFileNotFound, ENOENT, "PATH lookup", program);
}

// The spawn's file actions and attributes, destroyed however the start ends.
class SpawnSettings {
 public:
  SpawnSettings() {
    if (const int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
      throw StartError(code::kPathFileAccess, error, "posix_spawn_file_actions_init", "");
    }
    if (const int error = ::posix_spawnattr_init(&attributes_); error != 0) {
      ::posix_spawn_file_actions_destroy(&actions_);
      throw StartError(code::kPathFileAccess, error, "posix_spawnattr_init", "");
    }
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
  ~SpawnSettings() {
    ::posix_spawnattr_destroy(&attributes_);
    ::posix_spawn_file_actions_destroy(&actions_);
  }

  // The three standard descriptors from /dev/null: nothing of the caller's reaches the client.
  void DetachStandardFiles() {
    for (const auto& [fd, flags] :
         {std::pair{STDIN_FILENO, O_RDONLY}, std::pair{STDOUT_FILENO, O_WRONLY},
          std::pair{STDERR_FILENO, O_WRONLY}}) {
      if (const int error =
              ::posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null", flags, 0);
          error != 0) {
        throw StartError(code::kPathFileAccess, error, "posix_spawn_file_actions_addopen",
                         "/dev/null");
      }
    }
  }

  // The program ignores SIGPIPE, and an ignored signal stays ignored across exec: the client gets
  // the default back, as any program expects.
  void RestoreDefaultSigpipe() {
    sigset_t signals;
    ::sigemptyset(&signals);
    ::sigaddset(&signals, SIGPIPE);
    int error = ::posix_spawnattr_setsigdefault(&attributes_, &signals);
    if (error == 0) error = ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF);
    if (error != 0) throw StartError(code::kPathFileAccess, error, "posix_spawnattr_set", "");
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

}  // namespace

PosixProcess::~PosixProcess() {
  // A child that has ended is collected so that it stays no zombie; a running one runs on.
  if (!end_) Reap(false);
  if (pidfd_ >= 0) ::close(pidfd_);
}

std::optional<ProcessState> PosixProcess::Reap(bool block) {
  for (;;) {
    siginfo_t info{};
    const int flags = WEXITED | (block ? 0 : WNOHANG);
    const int result = pidfd_ >= 0 ? ::waitid(P_PIDFD, static_cast<id_t>(pidfd_), &info, flags)
                                   : ::waitid(P_PID, static_cast<id_t>(pid_), &info, flags);
    if (result != 0) {
      if (errno == EINTR) continue;
      // Only ECHILD and EINVAL come here, and neither passes: the end cannot be known any more.
      end_ = ProcessState{ProcessState::Kind::kWaitFailed, 0};
      return end_;
    }
    if (info.si_pid == 0) return std::nullopt;  // WNOHANG: still running
    const bool exited = info.si_code == CLD_EXITED;
    end_ = ProcessState{exited ? ProcessState::Kind::kExited : ProcessState::Kind::kSignaled,
                        static_cast<int64_t>(info.si_status)};
    return end_;
  }
}

ProcessState PosixProcess::Wait(uint32_t milliseconds) {
  if (end_) return *end_;
  const bool forever = milliseconds == kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (pidfd_ >= 0) {
      int timeout = -1;
      if (!forever) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(remaining, 0, INT_MAX));
      }
      pollfd entry{pidfd_, POLLIN, 0};
      const int ready = ::poll(&entry, 1, timeout);
      if (ready < 0 && errno != EINTR) return ProcessState{ProcessState::Kind::kWaitFailed, 0};
      if (ready > 0) {
        if ((entry.revents & POLLIN) == 0) return ProcessState{ProcessState::Kind::kWaitFailed, 0};
        // Readable means the child has ended, so the blocking reap returns at once.
        if (const auto end = Reap(true)) return *end;
      }
    } else {
      if (const auto end = Reap(false)) return *end;
    }
    const Clock::time_point now = Clock::now();
    if (!forever && now >= deadline) return ProcessState{ProcessState::Kind::kRunning, 0};
    if (pidfd_ < 0) {
      std::this_thread::sleep_for(
          forever ? kPollInterval : std::min<Clock::duration>(kPollInterval, deadline - now));
    }
  }
}

std::unique_ptr<PosixProcess> StartProcess(const std::wstring& commandLine) {
  const std::vector<std::wstring> pieces = SplitWindowsCommandLine(commandLine);
  if (pieces.empty() || pieces[0].empty()) throw Error(code::kInvalidCall);

  std::vector<std::string> arguments;
  arguments.reserve(pieces.size());
  arguments.push_back(NativePath(pieces[0]));
  for (size_t i = 1; i < pieces.size(); ++i) arguments.push_back(EncodeUtf8(pieces[i]));
  const std::string executable = FindProgram(arguments[0]);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  SpawnSettings settings;
  settings.DetachStandardFiles();
  settings.RestoreDefaultSigpipe();
  // glibc reports a failed exec through posix_spawn's result (and collects that child itself).
  pid_t pid = 0;
  if (const int error = ::posix_spawn(&pid, executable.c_str(), settings.actions(),
                                      settings.attributes(), argv.data(), environ);
      error != 0) {
    throw StartError(StartErrorCode(error), error, "posix_spawn", executable);
  }
  // Refused where the kernel is too old or a sandbox forbids it; the waits then poll.
  return std::make_unique<PosixProcess>(pid, ::pidfd_open(pid, 0));
}

}  // namespace qelrestore::posix
