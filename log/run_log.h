// The run log: its default path, every message line with its optional box, and the error report.
// Lines are "time text: message"; error records are "time textError: 76line no:
// 81Desc:description".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/clock.h"
#include "host/console.h"
#include "host/environment.h"
#include "host/files.h"

namespace qelrestore {

// The program folder, "\qelRestorelog.txt" and the day of the month as two digits: all runs of
// the same day of the month share one file.
std::wstring DefaultLogPath(Clock& clock, Environment& environment);

// The text with every character that does not print as itself escaped, so that a name or a
// setting can neither forge a line of the log nor steer the terminal that shows it: C0 controls
// and DEL as \xNN, a byte that was not valid UTF-8 (decoded as U+DC80..U+DCFF) as the \xNN of
// that byte, and C1 controls, line and paragraph separators, invisible format characters (bidi
// overrides, zero-width marks), lone surrogates, non-characters and values beyond Unicode as
// \u{NNNN}.
std::wstring EscapeControlCharacters(std::wstring_view text);

// One line in the log's form ("time text: message", control characters escaped) on standard
// output: what a dry run tells instead of showing a box, which would wait for somebody.
void PrintDryRunLine(Clock& clock, Console& console, const std::wstring& message);

inline constexpr wchar_t kStartRestore[] = L"QEL start Restore";
inline constexpr wchar_t kStartUndo[] = L"QEL start Undo";

class RunLog {
 public:
  // `backgroundFlag` is the run's message-box flag, read at every message: exactly "N" silences
  // the boxes of logged messages.
  RunLog(Console& console, Clock& clock, Files& files, const std::wstring& backgroundFlag)
      : console_(console), clock_(clock), files_(files), backgroundFlag_(backgroundFlag) {}

  // Opens (or creates) the log for appending, then logs `startLine` ("QEL start Restore", or
  // "QEL start Undo" for an undo). Throws the host's error when the log cannot be created or
  // opened.
  void Open(const std::wstring& logFilePath, const std::wstring& startLine = kStartRestore);
  // For a dry run: the lines go to standard output and no box is shown. Error 76 when a real run
  // could not create its log (the folder `logFilePath` names does not exist), and the host's error
  // when it could not open it (a folder of that name, a file it may not append to).
  void OpenDryRun(const std::wstring& logFilePath, const std::wstring& startLine = kStartRestore);

  // The message in a box (unless the flag is exactly "N" or the run is dry), then its line in
  // the log.
  void LogMessage(const std::wstring& message);
  // One message line without a box, stamped with the time at which it is written.
  void WriteLogLine(const std::wstring& message);

  // The error box (always shown, but in a dry run), then the error record when a stream is there,
  // then the stream is closed; later lines find it closed.
  void ErrorReport(int32_t errorCode, const std::wstring& description, int32_t checkpoint);

  // Closes the stream when there is one and lets it go.
  void CloseAndRelease();
  // The last message logged through LogMessage, as written; empty before the first.
  const std::wstring& LastMessage() const { return lastMessage_; }

 private:
  std::wstring TimeText();
  // Writes one line; after a line that failed part-way, the next one starts on a line of its own.
  void Write(const std::wstring& line);

  Console& console_;
  Clock& clock_;
  Files& files_;
  const std::wstring& backgroundFlag_;
  std::unique_ptr<TextStream> logStream_;
  bool lastLineCut_ = false;
  bool dryRun_ = false;
  std::wstring lastMessage_;
};

}  // namespace qelrestore
