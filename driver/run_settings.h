// The settings a run takes from its environment, read once where the program starts into one
// value, checked there, and handed to whatever uses them: the host at its construction, the
// logic, the copy.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/folder_copy.h"

namespace qelrestore {

inline constexpr int32_t kDefaultClientWaitSeconds = 5;

inline constexpr wchar_t kClientWaitMessage[] =
    L"QELRESTORE_CLIENT_WAIT must be a whole number of seconds (0 waits until the SQL client "
    L"ends)";
inline constexpr wchar_t kDryRunMessage[] =
    L"QELRESTORE_DRY_RUN must be 1 for a dry run, or 0 or empty for a real one";
inline constexpr wchar_t kVerifyFirstMessage[] =
    L"QELRESTORE_VERIFY_FIRST must be 1 to verify the backup before anything is changed, or 0 or "
    L"empty";
inline constexpr wchar_t kKeepReplacedMessage[] =
    L"QELRESTORE_KEEP_REPLACED must be 1 to keep what the restore replaces for an undo, or 0 or "
    L"empty";
inline constexpr wchar_t kUndoMessage[] =
    L"QELRESTORE_UNDO must be 1 to undo the last keeping restore, or 0 or empty";
inline constexpr wchar_t kCopyWorkersMessage[] =
    L"QELRESTORE_COPY_THREADS must be a whole number of copy workers from 1 to 64";

struct RunSettings {
  // QELRESTORE_DRY_RUN: "1" (or the POSIX program's --dry-run) for a dry run; unset, empty or
  // "0" for a real one; nothing for any other value.
  std::optional<bool> dryRun = false;
  // QELRESTORE_CLIENT_WAIT: the seconds the SQL client is waited for (0: until it ends); unset,
  // the host's default.
  std::optional<int32_t> clientWaitSeconds;
  // QELRESTORE_VERIFY_FIRST: "1" verifies the backup with the SQL client before anything is
  // changed; unset, empty or "0" does not; nothing for any other value.
  std::optional<bool> verifyFirst = false;
  // QELRESTORE_KEEP_REPLACED: "1" keeps what the restore replaces, changes or adds in an undo
  // set; unset, empty or "0" does not; nothing for any other value.
  std::optional<bool> keepReplaced = false;
  // QELRESTORE_UNDO: "1" (or the POSIX program's --undo) takes the last keeping restore back
  // instead of restoring; unset, empty or "0" restores; nothing for any other value.
  std::optional<bool> undo = false;
  bool clientWaitValid = true;  // false: not 1 to 9 digits
  // QELRESTORE_COPY_THREADS (POSIX): the copy's workers, 1 to kMaxCopyWorkers; 0 when unset (one
  // per core).
  unsigned copyWorkers = 0;
  bool copyWorkersValid = true;  // false: not a whole number in that range
  std::wstring registryFile;     // QELRESTORE_REGISTRY (POSIX): "" for the installation's own
  bool boxesOnConsole = false;   // QELRESTORE_BOXES=console (Windows): boxes on standard error
};

// The value of an environment variable, or nothing when it is not set.
using ReadVariable = std::function<std::optional<std::wstring>(const std::wstring& name)>;

// Every QELRESTORE_ setting, read once through `variable`; `dryRunAsked` is the POSIX program's
// --dry-run, which makes the run a dry run whatever QELRESTORE_DRY_RUN says, and `undoAsked` its
// --undo, which makes it an undo.
RunSettings ReadRunSettings(const ReadVariable& variable, bool dryRunAsked = false,
                            bool undoAsked = false);

// The whole number `text` holds as 1 to `maxDigits` digits, or nothing.
std::optional<uint32_t> WholeNumber(std::wstring_view text, size_t maxDigits);

}  // namespace qelrestore
