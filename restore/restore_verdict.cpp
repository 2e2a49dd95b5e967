#include "restore/restore_verdict.h"

#include "restore/client_output.h"
#include "support/error.h"

namespace qelrestore {

namespace {

VerdictLine Failed(const std::wstring& reason) {
  return {DatabaseOutcome::kFailed, L"SQL restore failed: " + reason};
}

VerdictLine NotVerified(const std::wstring& reason) {
  return {DatabaseOutcome::kNotVerified, L"SQL restore not verified: " + reason};
}

}  // namespace

VerdictLine JudgeRestore(InputFiles& files, const LaunchResult& launch,
                         const std::wstring& outputFile, int32_t waitSeconds,
                         const std::wstring& staleOutput) {
  ClientOutput output;
  std::wstring unreadable;
  bool noOutputFile = false;
  if (!staleOutput.empty()) {
    unreadable = L"the output of an earlier run could not be removed: " + staleOutput;
  } else {
    try {
      // A client left running may write on for ever: its output is read as it stands now.
      output = ReadClientOutput(files, outputFile, launch.end == LaunchResult::End::kStillRunning);
    } catch (...) {
      const Error error = CurrentExceptionAsError();
      noOutputFile = error.code() == code::kFileNotFound;
      unreadable =
          noOutputFile ? L"the SQL client wrote no output file " + outputFile : error.description();
    }
  }

  if (!output.error.empty()) return Failed(output.error);
  // A client that ended without its output file refused its options or failed to start: nothing
  // was restored, whatever status it ended with.
  if (launch.end == LaunchResult::End::kExited && noOutputFile) {
    if (launch.code != 0) {
      return Failed(L"the SQL client ended with status " + std::to_wstring(launch.code) +
                    L" and wrote no output file " + outputFile);
    }
    return Failed(L"the SQL client ended without writing its output file " + outputFile);
  }
  if (launch.end == LaunchResult::End::kExited && launch.code != 0) {
    return Failed(L"the SQL client ended with status " + std::to_wstring(launch.code));
  }
  if (launch.end == LaunchResult::End::kSignaled) {
    return Failed(L"the SQL client was ended by signal " + std::to_wstring(launch.code));
  }
  if (launch.end == LaunchResult::End::kStillRunning) {
    return NotVerified(L"the SQL client was still running after " + std::to_wstring(waitSeconds) +
                       L" seconds; its output goes to " + outputFile);
  }
  if (launch.end != LaunchResult::End::kExited) {
    return NotVerified(L"the end of the SQL client could not be watched; its output is in " +
                       outputFile);
  }
  if (!unreadable.empty()) return NotVerified(unreadable);
  if (!output.success.empty())
    return {DatabaseOutcome::kVerified, L"SQL restore verified: " + output.success};
  if (output.empty) return NotVerified(L"the SQL client's output " + outputFile + L" is empty");
  return NotVerified(outputFile +
                     L" holds neither an error message nor the line of a processed restore");
}

}  // namespace qelrestore
