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
#include "support/byte_text.h"
#include "host/posix/unique_fd.h"
#include "support/windows_command_line.h"

namespace qelrestore::posix {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// How often the wait looks at a child where no pidfd can be had.
constexpr std::chrono::milliseconds kPollInterval(5);
// How often the client's progress file is looked at, and how much of it at once: a client that
// writes much faster than its lines can be read only makes the lines come later.
constexpr std::chrono::milliseconds kProgressInterval(250);
constexpr size_t kProgressReadBytes = 64 * 1024;
// A longer line is no progress line; it is skipped up to its end without being kept.
constexpr size_t kProgressLineBytes = 4 * 1024;
constexpr std::string_view kProgressEnd = "percent processed.";

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

// The client's "n percent processed." lines, shown on the terminal of standard error as they
// come, so that a restore that takes long is seen to go on. Best effort throughout: whatever
// fails, the wait goes on unchanged, and the run log never sees these lines.
class ClientProgress {
 public:
  explicit ClientProgress(std::string file) : file_(std::move(file)) {}

  // Shows the whole lines written since the last look; `now` looks even when the last look is
  // recent (the client has ended, and its last lines are due).
  void Look(bool now) {
    const Clock::time_point time = Clock::now();
    // A little less than the interval: a caller's waits of just that length each get a look.
    if (!now && lastLook_ && time - *lastLook_ < kProgressInterval * 4 / 5) return;
    lastLook_ = time;
    const UniqueFd fd(
        ::open(file_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    if (info.st_size < offset_) {  // written anew from its start
      offset_ = 0;
      line_.clear();
      skipping_ = false;
    }
    char buffer[kProgressReadBytes];
    const ssize_t got = ::pread(fd.get(), buffer, sizeof buffer, offset_);
    if (got <= 0) return;
    offset_ += got;
    Take(std::string_view(buffer, static_cast<size_t>(got)));
  }

 private:
  void Take(std::string_view bytes) {
    while (!bytes.empty()) {
      const size_t newline = bytes.find('\n');
      const std::string_view piece = bytes.substr(0, newline);
      if (!skipping_) line_.append(piece);
      if (line_.size() > kProgressLineBytes) {
        line_.clear();
        skipping_ = true;
      }
      if (newline == std::string_view::npos) return;
      if (!skipping_) Show(line_);
      line_.clear();
      skipping_ = false;
      bytes.remove_prefix(newline + 1);
    }
  }

  // Only a printable progress line reaches the terminal: nothing in the file can steer it.
  static void Show(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (!line.ends_with(kProgressEnd)) return;
    for (const char ch : line) {  // printable ASCII only: no C0, DEL, C1 or other encoding
      if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7E) return;
    }
    const std::string text = "SQL client: " + std::string(line) + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  }

  std::string file_;
  off_t offset_ = 0;
  std::string line_;  // the start of a line whose end has not been read yet
  bool skipping_ = false;
  std::optional<Clock::time_point> lastLook_;
};

PosixProcess::PosixProcess(pid_t pid, int pidfd, const std::string& progressFile)
    : pid_(pid), pidfd_(pidfd) {
  if (!progressFile.empty() && ::isatty(STDERR_FILENO) == 1) {
    progress_ = std::make_unique<ClientProgress>(progressFile);
  }
}

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
    if (progress_) progress_->Look(false);
    if (pidfd_ >= 0) {
      int timeout = -1;
      if (!forever) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(remaining, 0, INT_MAX));
      }
      // A long wait wakes up to look at the progress file again.
      if (progress_) {
        const int interval = static_cast<int>(kProgressInterval.count());
        timeout = timeout < 0 ? interval : std::min(timeout, interval);
      }
      pollfd entry{pidfd_, POLLIN, 0};
      const int ready = ::poll(&entry, 1, timeout);
      if (ready < 0 && errno != EINTR) return ProcessState{ProcessState::Kind::kWaitFailed, 0};
      if (ready > 0) {
        if ((entry.revents & POLLIN) == 0) return ProcessState{ProcessState::Kind::kWaitFailed, 0};
        // Readable means the child has ended, so the blocking reap returns at once.
        if (const auto end = Reap(true)) return Ended(*end);
      }
    } else {
      if (const auto end = Reap(false)) return Ended(*end);
    }
    const Clock::time_point now = Clock::now();
    if (!forever && now >= deadline) return ProcessState{ProcessState::Kind::kRunning, 0};
    if (pidfd_ < 0) {
      std::this_thread::sleep_for(
          forever ? kPollInterval : std::min<Clock::duration>(kPollInterval, deadline - now));
    }
  }
}

ProcessState PosixProcess::Ended(const ProcessState& end) {
  if (progress_) progress_->Look(true);
  return end;
}

std::unique_ptr<PosixProcess> StartProcess(const std::wstring& commandLine,
                                           const std::wstring& progressFile) {
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
  return std::make_unique<PosixProcess>(pid, ::pidfd_open(pid, 0),
                                        progressFile.empty() ? "" : NativePath(progressFile));
}

}  // namespace qelrestore::posix
