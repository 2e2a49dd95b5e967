// Starting and waiting for the SQL client on POSIX. The command line is split by the Windows rules,
// the program part gets `\` turned into `/` (and is looked up in PATH when it holds no separator),
// and it is started with posix_spawn, never through a shell. Its standard input, output and error
// are /dev/null: a client that outlives the program must hold none of the caller's pipes open.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/host.h"

namespace qelrestore::posix {

// One child started here. It is reaped exactly once, by the wait that sees it end, and the end is
// remembered; no signal handler is involved. Destroying the object closes its pidfd and leaves a
// running child to run on.
class PosixProcess final : public Process {
 public:
  // Takes over `pidfd` (-1 where pidfd_open was refused: the waits then poll).
  PosixProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  PosixProcess(const PosixProcess&) = delete;
  PosixProcess& operator=(const PosixProcess&) = delete;
  ~PosixProcess() override;

  // kExited with the exit status or kSignaled with the signal number once the child has ended;
  // kRunning when `milliseconds` have passed first (0xFFFFFFFF: no limit); kWaitFailed when the
  // system refuses the wait.
  ProcessState Wait(uint32_t milliseconds) override;

  pid_t pid() const { return pid_; }

 private:
  // Collects the child if it has ended; nothing when it still runs.
  std::optional<ProcessState> Reap(bool block);

  pid_t pid_;
  int pidfd_;
  std::optional<ProcessState> end_;
};

// Starts the command line. Throws Error: 53 program not found, 70 not executable, 5 empty or
// malformed command line, 75 for another refusal.
std::unique_ptr<PosixProcess> StartProcess(const std::wstring& commandLine);

}  // namespace qelrestore::posix
