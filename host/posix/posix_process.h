// Starting and waiting for the SQL client on POSIX. The command line is split by the Windows rules,
// the program part gets `\` turned into `/` (and is looked up in PATH when it holds no separator),
// and it is started with posix_spawn, never through a shell, with standard input from /dev/null.
// A child is reaped exactly once, by the wait that sees it end; no signal handler is installed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/host.h"

namespace qelrestore::posix {

class PosixProcesses {
 public:
  PosixProcesses();
  PosixProcesses(const PosixProcesses&) = delete;
  PosixProcesses& operator=(const PosixProcesses&) = delete;
  // Closes every handle still open; children still running are left to run on.
  ~PosixProcesses();

  // Throws Error (53 program not found, 70 not executable, 5 empty or malformed command line).
  uint32_t Start(const std::wstring& commandLine, int windowStyle);
  // A handle for a child started here, also one that has already ended; 0 for any other pid.
  ProcessHandle Open(uint32_t processId);
  // kEnded as soon as the child has ended (a child that ends is reaped here), kTimedOut once
  // `milliseconds` have passed (0xFFFFFFFF: no limit), kFailed for an unknown handle or a wait
  // the system refuses.
  WaitOutcome Wait(ProcessHandle handle, uint32_t milliseconds);
  void Close(ProcessHandle handle);

 private:
  struct Child;     // one started process and whether a wait of ours has reaped it
  struct Waitable;  // an open handle: the child it waits on and its pidfd

  // Children started here, by pid. A pid is only ever reaped through its entry, once; a later
  // child that happens to get the same pid replaces the entry, while handles opened on the
  // earlier one keep seeing that one as ended.
  std::map<uint32_t, std::shared_ptr<Child>> children_;
  std::map<ProcessHandle, std::unique_ptr<Waitable>> handles_;
  ProcessHandle nextHandle_ = 1;
};

}  // namespace qelrestore::posix
