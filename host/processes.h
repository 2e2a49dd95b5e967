// The SQL client as a process: starting it, waiting for it, and which program it is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qelrestore {

// What one wait for a process saw.
struct ProcessState {
  enum class Kind {
    kRunning,   // still running when the wait's time was up
    kExited,    // ended with the exit status in `code`
    kSignaled,  // ended by the signal in `code` (POSIX only)
    kWaitFailed,
  };
  Kind kind = Kind::kWaitFailed;
  int64_t code = 0;
};

// A started process, owned: destroying the object lets go of it, and the process runs on.
class Process {
 public:
  virtual ~Process() = default;
  // Waits at most `milliseconds` for the process to end; once it has ended, every later wait
  // says so again at once with the same status.
  virtual ProcessState Wait(uint32_t milliseconds) = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts the command line as a new process, its window (where there are windows) shown as the
  // host is set to show the client's. Throws when the program cannot be started; returns null
  // when it started but cannot be waited for (it ended and was gone before it was opened).
  virtual std::unique_ptr<Process> Start(const std::wstring& commandLine) = 0;
  // How long the restore waits for the SQL client when QELRESTORE_CLIENT_WAIT does not say, in
  // whole seconds; 0 waits until it ends. Where nobody watches a client's window a client is
  // waited for to its end: one left running dies with a service that started the run.
  virtual int32_t DefaultClientWaitSeconds() = 0;
  // The program to run in place of the registered client's `program` below `clientToolsFolder`
  // when that one does not exist and the host has a client of its own there; nothing otherwise.
  virtual std::optional<std::wstring> SubstituteClient(const std::wstring& clientToolsFolder,
                                                       const std::wstring& program) = 0;
};

}  // namespace qelrestore
