#include "log/run_log.h"

#include <cstdint>

#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

std::wstring DefaultLogPath(Clock& clock, Environment& environment) {
  const int day = clock.Now().day;
  std::wstring digits = std::to_wstring(day);
  if (digits.size() < 2) digits.insert(0, 1, L'0');
  return environment.DefaultLogFolder() + L"\\qelRestorelog.txt" + digits;
}

namespace {

bool Between(uint32_t c, uint32_t first, uint32_t last) {
  return c >= first && c <= last;
}

// Characters that print nothing of their own or move what follows: C1 controls, separators,
// format characters a terminal acts on or that hide in a name (the soft hyphen, the tags),
// non-characters and values that are no character.
bool Invisible(uint32_t c) {
  // Every format character (general category Cf) and the blank-looking fillers and selectors,
  // by range, so that a name cannot pass for another.
  static constexpr struct {
    uint32_t first;
    uint32_t last;
  } kRanges[] = {
      {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},
      {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
      {0x08E2, 0x08E2},   {0x115F, 0x1160},   {0x17B4, 0x17B5},   {0x180B, 0x180F},
      {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x206F},   {0x3164, 0x3164},
      {0xD800, 0xDFFF},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
      {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
      {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
  };
  for (const auto& range : kRanges) {
    if (Between(c, range.first, range.last)) return true;
  }
  return c > 0x10FFFF;
}

}  // namespace

std::wstring EscapeControlCharacters(std::wstring_view text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<uint32_t>(text[i]);
    const bool pair = sizeof(wchar_t) == 2 && Between(c, 0xD800, 0xDBFF) && i + 1 < text.size() &&
                      Between(static_cast<uint32_t>(text[i + 1]), 0xDC00, 0xDFFF);
    // A pair of UTF-16 halves is one character beyond the first plane, judged as that character.
    if (pair) c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
    if (c < 0x20 || c == 0x7F || Between(c, 0xDC80, 0xDCFF)) {
      escaped += L"\\x";
      AppendHex(escaped, c & 0xFF, 2);
    } else if (Invisible(c)) {
      AppendCodePointEscape(escaped, c);
      if (pair) ++i;
    } else {
      escaped += text[i];
      if (pair) escaped += text[++i];
    }
  }
  return escaped;
}

void PrintDryRunLine(Clock& clock, Console& console, const std::wstring& message) {
  const std::wstring line =
      clock.FormatDateTime(clock.Now()) + L": " + EscapeControlCharacters(message);
  console.OpenStandardOutput()->writeLine(line);
}

void RunLog::Open(const std::wstring& logFilePath, const std::wstring& startLine) {
  const bool existed = files_.FileExists(logFilePath);
  logStream_ = files_.OpenLog(logFilePath);
  if (!existed && !files_.FileExists(logFilePath)) {
    console_.MessageBox(
        L"Cannot Create logfile because path incorrect, directory not found.Pls. check");
  }
  LogMessage(startLine);
}

void RunLog::OpenDryRun(const std::wstring& logFilePath, const std::wstring& startLine) {
  const size_t separator = logFilePath.find_last_of(L"\\/");
  const std::wstring folder =
      separator == std::wstring::npos ? std::wstring() : logFilePath.substr(0, separator);
  if (!folder.empty() && !files_.FileExists(logFilePath) && !files_.FolderExists(folder)) {
    throw Error(code::kPathNotFound, L"Path not found: " + folder);
  }
  // A log the real run could not open ends it before anything is done: so it ends this one.
  files_.ProbeLog(logFilePath);
  dryRun_ = true;
  logStream_ = console_.OpenStandardOutput();
  LogMessage(startLine);
}

void RunLog::LogMessage(const std::wstring& message) {
  const std::wstring text = EscapeControlCharacters(message);
  lastMessage_ = text;
  if (backgroundFlag_ != L"N" && !dryRun_) console_.MessageBox(text);
  Write(TimeText() + L": " + text);
}

void RunLog::WriteLogLine(const std::wstring& message) {
  Write(TimeText() + L": " + EscapeControlCharacters(message));
}

std::wstring RunLog::TimeText() {
  return clock_.FormatDateTime(clock_.Now());
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
    console_.MessageBox(L"Unexpected error" + NumberText(errorCode) + L" line no" +
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
