// The verdict on a database restore: what the SQL client's end and its output say of it.
#pragma once

#include <cstdint>
#include <string>

#include "host/input_files.h"
#include "restore/launch.h"

namespace qelrestore {

// What the restore of the database came to.
enum class DatabaseOutcome {
  kVerified,     // the client ended well and its output says the restore was processed
  kNotVerified,  // nothing says it failed, nothing says it worked
  kFailed,       // it failed, or no client was run
};

struct VerdictLine {
  DatabaseOutcome outcome = DatabaseOutcome::kNotVerified;
  std::wstring message;  // "SQL restore verified: ...", "... failed: ...", "... not verified: ..."
};

// Judges a client that was started. An error message or a client's own error in its output makes
// the restore failed, and so does a client that ended without writing its output file, with a
// status other than 0 or by a signal; a client that ended with 0 and wrote the server's line of a
// processed restore makes it verified; anything else leaves it not verified. `staleOutput`, when
// not empty, says why an earlier run's output file could not be removed: that file cannot speak for
// this run. Never throws for a file it cannot read.
VerdictLine JudgeRestore(InputFiles& files, const LaunchResult& launch,
                         const std::wstring& outputFile, int32_t waitSeconds,
                         const std::wstring& staleOutput);

// Judges the client's verify of a backup: empty when it ended with 0 and its output, read whole,
// holds neither an error message nor a client's own error; else why not, by the same rules as a
// restore's verdict.
std::wstring JudgeVerify(InputFiles& files, const LaunchResult& launch,
                         const std::wstring& outputFile, int32_t waitSeconds,
                         const std::wstring& staleOutput);

}  // namespace qelrestore
