#include "log/run_log.h"

#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

std::wstring DefaultLogPath(Host& host) {
  const int day = host.Now().day;
  std::wstring digits = std::to_wstring(day);
  if (digits.size() < 2) digits.insert(0, 1, L'0');
  return host.DefaultLogFolder() + L"\\qelRestorelog.txt" + digits;
}

std::wstring EscapeControlCharacters(std::wstring_view text) {
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring escaped;
  escaped.reserve(text.size());
  for (const wchar_t c : text) {
    if (c < 0x20 || c == 0x7F) {
      escaped += L"\\x";
      escaped += kHex[(c >> 4) & 0xF];
      escaped += kHex[c & 0xF];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void PrintDryRunLine(Host& host, const std::wstring& message) {
  const std::wstring line =
      host.FormatDateTime(host.Now()) + L": " + EscapeControlCharacters(message);
  host.OpenStandardOutput()->writeLine(line);
}

void RunLog::Open(const std::wstring& logFilePath) {
  const bool existed = host_.FileExists(logFilePath);
  logStream_ = host_.OpenLog(logFilePath);
  if (!existed && !host_.FileExists(logFilePath)) {
    host_.MessageBox(
        L"Cannot Create logfile because path incorrect, directory not found.Pls. check");
  }
  LogMessage(L"QEL start Restore");
}

void RunLog::OpenDryRun(const std::wstring& logFilePath) {
  const size_t separator = logFilePath.find_last_of(L"\\/");
  const std::wstring folder =
      separator == std::wstring::npos ? std::wstring() : logFilePath.substr(0, separator);
  if (!folder.empty() && !host_.FileExists(logFilePath) && !host_.FolderExists(folder)) {
    throw Error(code::kPathNotFound, L"Path not found: " + folder);
  }
  dryRun_ = true;
  logStream_ = host_.OpenStandardOutput();
  LogMessage(L"QEL start Restore");
}

void RunLog::LogMessage(const std::wstring& message) {
  const std::wstring text = EscapeControlCharacters(message);
  lastMessage_ = text;
  if (backgroundFlag_ != L"N" && !dryRun_) host_.MessageBox(text);
  Write(TimeText() + L": " + text);
}

void RunLog::WriteLogLine(const std::wstring& message) {
  Write(TimeText() + L": " + EscapeControlCharacters(message));
}

std::wstring RunLog::TimeText() {
  return host_.FormatDateTime(host_.Now());
}

void RunLog::Write(const std::wstring& line) {
  if (!logStream_) throw Error(code::kObjectNotSet);
  const std::wstring text = lastLineCut_ ? L"\r\n" + line : line;
  lastLineCut_ = true;
  logStream_->writeLine(text);
  lastLineCut_ = false;
}

void RunLog::ErrorReport(int32_t errorCode, const std::wstring& description, int32_t checkpoint) {
  const std::wstring escaped = EscapeControlCharacters(description);
  if (!dryRun_) {
    host_.MessageBox(L"Unexpected error" + NumberText(errorCode) + L" line no" +
                     NumberText(checkpoint) + L" in printing.\r\n" + escaped);
  }
  if (!logStream_) return;
  Write(TimeText() + L"Error:" + NumberText(errorCode) + L"line no:" + NumberText(checkpoint) +
        L"Desc:" + escaped);
  logStream_->Close();
}

void RunLog::CloseAndRelease() {
  if (!logStream_) return;
  logStream_->Close();
  logStream_.reset();
}

}  // namespace qelrestore
