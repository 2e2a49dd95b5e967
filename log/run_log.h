// The run log: its default path, the file-system object and log stream slots, every message line,
// and the error report. Lines are "time text: message"; error records are
// "time textError: 76line no: 81Desc:description".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/host.h"

namespace qelrestore {

// The program folder, "\qelRestorelog.txt" and the day of the month as two digits: all runs of
// the same day of the month share one file.
std::wstring DefaultLogPath(Host& host);

class RunLog {
 public:
  // `backgroundFlag` is the run's message-box flag, read at every message: exactly "N" silences
  // the boxes of logged messages.
  RunLog(Host& host, const std::wstring& backgroundFlag)
      : host_(host), backgroundFlag_(backgroundFlag) {}

  // Creates the file-system object and opens (or creates) the log for appending, then logs
  // "QEL start Restore". Throws the host's error when the log cannot be created or opened.
  void Open(const std::wstring& logFilePath);

  // The message in a box (unless the flag is exactly "N"), then its line in the log.
  void LogMessage(const std::wstring& message);
  // One message line, stamped with the time at which it is written.
  void WriteLogLine(const std::wstring& message);

  // The error box (always shown), then the error record when a stream is there, then the stream
  // is closed; the slot keeps the closed stream.
  void ErrorReport(int32_t errorCode, const std::wstring& description, int32_t checkpoint);

  // The file-system object; error 91 when the slot is empty.
  FileSystem& fileSystem();
  void ReleaseFileSystem() { fileSystem_.reset(); }
  // Closes the stream when there is one and empties the slot.
  void CloseAndReleaseStream();
  bool HasStream() const { return logStream_ != nullptr; }

 private:
  std::wstring TimeText();

  Host& host_;
  const std::wstring& backgroundFlag_;
  std::unique_ptr<FileSystem> fileSystem_;
  std::unique_ptr<TextStream> logStream_;
};

}  // namespace qelrestore
