#include "restore/restore_verdict.h"

#include <optional>

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

namespace {

// What every judgement of a client's run shares: its output read, and the verdict its end alone
// gives (failed, or not verified), or nothing when the output decides.
struct ClientRun {
  ClientOutput output;
  std::optional<VerdictLine> ended;
};

ClientRun JudgeEnd(InputFiles& files, const LaunchResult& launch, const std::wstring& outputFile,
                   int32_t waitSeconds, const std::wstring& staleOutput) {
  ClientRun run;
  std::wstring unreadable;
  bool noOutputFile = false;
  if (!staleOutput.empty()) {
    unreadable = L"the output of an earlier run could not be removed: " + staleOutput;
  } else {
    try {
      // A client left running may write on for ever: its output is read as it stands now.
      run.output =
          ReadClientOutput(files, outputFile, launch.end == LaunchResult::End::kStillRunning);
    } catch (...) {
      const Error error = CurrentExceptionAsError();
      noOutputFile = error.code() == code::kFileNotFound;
      unreadable =
          noOutputFile ? L"the SQL client wrote no output file " + outputFile : error.description();
    }
  }

  if (!run.output.error.empty()) {
    run.ended = Failed(run.output.error);
  } else if (launch.end == LaunchResult::End::kExited && noOutputFile) {
    // A client that ended without its output file refused its options or failed to start:
    // nothing was done, whatever status it ended with.
    run.ended = Failed(launch.code != 0
                           ? L"the SQL client ended with status " + std::to_wstring(launch.code) +
                                 L" and wrote no output file " + outputFile
                           : L"the SQL client ended without writing its output file " + outputFile);
  } else if (launch.end == LaunchResult::End::kExited && launch.code != 0) {
    run.ended = Failed(L"the SQL client ended with status " + std::to_wstring(launch.code));
  } else if (launch.end == LaunchResult::End::kSignaled) {
    run.ended = Failed(L"the SQL client was ended by signal " + std::to_wstring(launch.code));
  } else if (launch.end == LaunchResult::End::kStillRunning) {
    run.ended =
        NotVerified(L"the SQL client was still running after " + std::to_wstring(waitSeconds) +
                    L" seconds; its output goes to " + outputFile);
  } else if (launch.end != LaunchResult::End::kExited) {
    run.ended = NotVerified(L"the end of the SQL client could not be watched; its output is in " +
                            outputFile);
  } else if (!unreadable.empty()) {
    run.ended = NotVerified(unreadable);
  } else if (run.output.empty) {
    run.ended = NotVerified(L"the SQL client's output " + outputFile + L" is empty");
  }
  return run;
}

}  // namespace

VerdictLine JudgeRestore(InputFiles& files, const LaunchResult& launch,
                         const std::wstring& outputFile, int32_t waitSeconds,
                         const std::wstring& staleOutput) {
  const ClientRun run = JudgeEnd(files, launch, outputFile, waitSeconds, staleOutput);
  if (run.ended) return *run.ended;
  if (!run.output.success.empty()) {
    return {DatabaseOutcome::kVerified, L"SQL restore verified: " + run.output.success};
  }
  return NotVerified(outputFile +
                     L" holds neither an error message nor the line of a processed restore");
}

std::wstring JudgeVerify(InputFiles& files, const LaunchResult& launch,
                         const std::wstring& outputFile, int32_t waitSeconds,
                         const std::wstring& staleOutput) {
  const ClientRun run = JudgeEnd(files, launch, outputFile, waitSeconds, staleOutput);
  if (!run.ended) return L"";
  // The reason alone: the run's line says what was not verified.
  const std::wstring& message = run.ended->message;
  return message.substr(message.find(L": ") + 2);
}

}  // namespace qelrestore
