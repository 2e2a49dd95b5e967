#include "host/posix/posix_process.h"

#include <fcntl.h>
#include <poll.h>
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
#include <thread>
#include <vector>

#include "host/posix/posix_text.h"
#include "host/posix/windows_command_line.h"
#include "support/error.h"

namespace qelrestore::posix {

struct PosixProcesses::Child {
  explicit Child(pid_t id) : pid(id) {}
  pid_t pid;
  bool reaped = false;
};

// Owns the pidfd of one handle; -1 where pidfd_open is refused and the wait polls instead.
struct PosixProcesses::Waitable {
  Waitable(std::shared_ptr<Child> waitedOn, int fd) : child(std::move(waitedOn)), pidfd(fd) {}
  Waitable(const Waitable&) = delete;
  Waitable& operator=(const Waitable&) = delete;
  ~Waitable() {
    if (pidfd >= 0) ::close(pidfd);
  }
  std::shared_ptr<Child> child;
  int pidfd;
};

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// How often the wait looks at a child where no pidfd can be had.
constexpr std::chrono::milliseconds kPollInterval(5);

// "File not found (posix_spawn /x/y: No such file or directory)", with the code chosen here
// rather than from errno alone: a program in a missing folder is still a program not found.
Error StartError(int32_t errorCode, int errnoValue, const char* call, const std::string& path) {
  const std::string detail = std::string(call) + ' ' + path + ": " + std::strerror(errnoValue);
  return Error(errorCode, StandardDescription(errorCode) + L" (" + DecodeUtf8(detail) + L")");
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

// The spawn's file actions, destroyed however the start ends.
class SpawnActions {
 public:
  SpawnActions() {
    if (const int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
      throw StartError(code::kPathFileAccess, error, "posix_spawn_file_actions_init", "");
    }
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Reaps a child known to have ended. ECHILD means it is gone already (something reaps children
// automatically), which is as good as an end.
WaitOutcome Reap(pid_t pid, int flags, bool& reaped) {
  for (;;) {
    int status = 0;
    const pid_t result = ::waitpid(pid, &status, flags);
    if (result == pid || (result < 0 && errno == ECHILD)) {
      reaped = true;
      return WaitOutcome::kEnded;
    }
    if (result == 0) return WaitOutcome::kTimedOut;  // WNOHANG: still running
    if (errno != EINTR) return WaitOutcome::kFailed;
  }
}

WaitOutcome WaitOnPidfd(int pidfd, pid_t pid, bool forever, Clock::time_point deadline,
                        bool& reaped) {
  for (;;) {
    int timeout = -1;
    if (!forever) {
      const auto remaining =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(remaining, 0, INT_MAX));
    }
    pollfd entry{pidfd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeout);
    // Readable means the child has ended, so the blocking reap returns at once.
    if (ready > 0) {
      return (entry.revents & POLLIN) != 0 ? Reap(pid, 0, reaped) : WaitOutcome::kFailed;
    }
    if (ready == 0 && Clock::now() >= deadline) return WaitOutcome::kTimedOut;
    if (ready < 0 && errno != EINTR) return WaitOutcome::kFailed;
  }
}

WaitOutcome WaitByPolling(pid_t pid, bool forever, Clock::time_point deadline, bool& reaped) {
  for (;;) {
    const WaitOutcome outcome = Reap(pid, WNOHANG, reaped);
    if (outcome != WaitOutcome::kTimedOut) return outcome;
    const Clock::time_point now = Clock::now();
    if (!forever && now >= deadline) return WaitOutcome::kTimedOut;
    std::this_thread::sleep_for(forever ? kPollInterval
                                        : std::min<Clock::duration>(kPollInterval, deadline - now));
  }
}

}  // namespace

PosixProcesses::PosixProcesses() = default;

PosixProcesses::~PosixProcesses() {
  handles_.clear();
  // Children that have ended are collected so that none stays a zombie; the others run on.
  for (auto& [pid, child] : children_) {
    if (!child->reaped) Reap(child->pid, WNOHANG, child->reaped);
  }
}

uint32_t PosixProcesses::Start(const std::wstring& commandLine, int /*windowStyle*/) {
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

  SpawnActions actions;
  if (const int error =
          ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      error != 0) {
    throw StartError(code::kPathFileAccess, error, "posix_spawn_file_actions_addopen", "/dev/null");
  }
  // glibc reports a failed exec through posix_spawn's result (and collects that child itself).
  pid_t pid = 0;
  if (const int error =
          ::posix_spawn(&pid, executable.c_str(), actions.get(), nullptr, argv.data(), environ);
      error != 0) {
    throw StartError(StartErrorCode(error), error, "posix_spawn", executable);
  }
  children_[static_cast<uint32_t>(pid)] = std::make_shared<Child>(pid);
  return static_cast<uint32_t>(pid);
}

ProcessHandle PosixProcesses::Open(uint32_t processId) {
  const auto found = children_.find(processId);
  if (found == children_.end()) return 0;
  int pidfd = -1;
  if (!found->second->reaped) {
    // Refused where the kernel is too old or a sandbox forbids it; the wait then polls.
    pidfd = ::pidfd_open(found->second->pid, 0);
  }
  const ProcessHandle handle = nextHandle_++;
  handles_.emplace(handle, std::make_unique<Waitable>(found->second, pidfd));
  return handle;
}

WaitOutcome PosixProcesses::Wait(ProcessHandle handle, uint32_t milliseconds) {
  const auto found = handles_.find(handle);
  if (found == handles_.end()) return WaitOutcome::kFailed;
  const Waitable& waitable = *found->second;
  Child& child = *waitable.child;
  if (child.reaped) return WaitOutcome::kEnded;
  const bool forever = milliseconds == kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  if (waitable.pidfd >= 0) {
    return WaitOnPidfd(waitable.pidfd, child.pid, forever, deadline, child.reaped);
  }
  return WaitByPolling(child.pid, forever, deadline, child.reaped);
}

void PosixProcesses::Close(ProcessHandle handle) {
  handles_.erase(handle);
}

}  // namespace qelrestore::posix
