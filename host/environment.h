// The program's place on the machine: its command line and environment, its folders, the user's
// profile, and the lock that keeps two restores of one installation apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qelrestore {

class Environment {
 public:
  virtual ~Environment() = default;
  // The text that follows the program name on the command line, quotes included.
  virtual std::wstring CommandLine() = 0;
  // The folder of the running executable, without a trailing separator.
  virtual std::wstring ProgramFolder() = 0;
  // Where the default run log goes, and where the kept db.properties is saved: the program
  // folder, or the writable folders an installed package chose. No trailing separator.
  virtual std::wstring DefaultLogFolder() = 0;
  virtual std::wstring KeptSettingsFolder() = 0;
  // The value of an environment variable, or nothing when it is not set. Never throws.
  virtual std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) = 0;
  // The running user's profile folder, however long, without a trailing separator; nothing when
  // it cannot be found. Never throws.
  virtual std::optional<std::wstring> ProfileFolder() = 0;
  // Takes the lock that lets one restore at a time change this installation: an advisory lock on
  // the file `lockFile`, held until the program ends and let go of by the operating system when
  // it dies. Nothing when taken, else the process id of the run that holds it (0 when it cannot be
  // told). Throws, naming the file and the system's reason, when the lock can be neither taken
  // nor found held: only a lock actually taken lets a run go on.
  virtual std::optional<int64_t> LockRun(const std::wstring& lockFile) = 0;
};

}  // namespace qelrestore
