#include "log/run_log.h"

#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

namespace {
constexpr int kForAppending = 8;
// The create flag as the log has always passed it: non-zero, so a missing file is created.
constexpr int kCreateIfMissing = -2;
}  // namespace

std::wstring DefaultLogPath(Host& host) {
  const int day = host.Now().day;
  std::wstring digits = std::to_wstring(day);
  if (digits.size() < 2) digits.insert(0, 1, L'0');
  return host.ProgramFolder() + L"\\qelRestorelog.txt" + digits;
}

void RunLog::Open(const std::wstring& logFilePath) {
  fileSystem_ = host_.CreateFileSystemObject();
  if (!fileSystem_->FileExists(logFilePath)) {
    logStream_ = fileSystem_->CreateTextFile(logFilePath, true);
    if (!fileSystem_->FileExists(logFilePath)) {
      host_.MessageBox(
          L"Cannot Create logfile because path incorrect, directory not found.Pls. check");
    }
  } else {
    logStream_ = fileSystem_->OpenTextFile(logFilePath, kForAppending, kCreateIfMissing);
  }
  LogMessage(L"QEL start Restore");
}

void RunLog::LogMessage(const std::wstring& message) {
  if (backgroundFlag_ != L"N") host_.MessageBox(message);
  WriteLogLine(message);
}

std::wstring RunLog::TimeText() {
  return host_.FormatDateTime(host_.Now());
}

void RunLog::WriteLogLine(const std::wstring& message) {
  if (!logStream_) throw Error(code::kObjectNotSet);
  logStream_->writeLine(TimeText() + L": " + message);
}

void RunLog::ErrorReport(int32_t errorCode, const std::wstring& description, int32_t checkpoint) {
  host_.MessageBox(L"Unexpected error" + NumberText(errorCode) + L" line no" +
                   NumberText(checkpoint) + L" in printing.\r\n" + description);
  if (!logStream_) return;
  logStream_->writeLine(TimeText() + L"Error:" + NumberText(errorCode) + L"line no:" +
                        NumberText(checkpoint) + L"Desc:" + description);
  logStream_->Close();
}

FileSystem& RunLog::fileSystem() {
  if (!fileSystem_) throw Error(code::kObjectNotSet);
  return *fileSystem_;
}

void RunLog::CloseAndReleaseStream() {
  if (!logStream_) return;
  logStream_->Close();
  logStream_.reset();
}

}  // namespace qelrestore
