#include "restore/client_output.h"

#include <vector>

namespace qelrestore {

namespace {

// A line longer than this is cut there: nothing the verdict looks for is longer.
constexpr size_t kMaxLineCharacters = 4096;
constexpr size_t kChunk = 64 * 1024;
constexpr int kLowestErrorSeverity = 11;

bool IsDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

// Takes a word (no blank, comma or digit), blanks, then a number; false when the text does not.
bool TakeWordAndNumber(std::wstring_view& text, long& number) {
  size_t i = 0;
  while (i < text.size() && text[i] != L' ' && text[i] != L',' && !IsDigit(text[i])) ++i;
  if (i == 0 || i == text.size() || text[i] != L' ') return false;
  while (i < text.size() && text[i] == L' ') ++i;
  const size_t digits = i;
  number = 0;
  while (i < text.size() && IsDigit(text[i]) && i - digits < 9) {
    number = number * 10 + (text[i] - L'0');
    ++i;
  }
  if (i == digits) return false;
  text.remove_prefix(i);
  return true;
}

bool TakeSeparator(std::wstring_view& text) {
  if (text.size() < 2 || text[0] != L',' || text[1] != L' ') return false;
  text.remove_prefix(2);
  return true;
}

// Cuts the stream into lines (LF, with a CR before it dropped) and hands each to `take`.
class LineSplitter {
 public:
  explicit LineSplitter(ClientOutput& output) : output_(output) {}

  void Add(wchar_t c) {
    if (c == L'\n') {
      Finish();
    } else if (line_.size() < kMaxLineCharacters) {
      line_ += c;
    }
  }

  void Finish() {
    if (!line_.empty() && line_.back() == L'\r') line_.pop_back();
    Take(line_);
    line_.clear();
  }

 private:
  void Take(const std::wstring& line) {
    if (!line.empty()) output_.empty = false;
    if (!output_.error.empty() && !awaitingReason_) return;
    if (awaitingReason_) {
      if (line.find_first_not_of(L" \t") == std::wstring::npos) return;
      output_.error += L" " + line;
      awaitingReason_ = false;
      return;
    }
    if (IsErrorHeader(line)) {
      output_.error = line;
      awaitingReason_ = true;
    } else if (output_.success.empty() &&
               line.rfind(L"RESTORE DATABASE successfully processed", 0) == 0) {
      output_.success = line;
    }
  }

  ClientOutput& output_;
  std::wstring line_;
  bool awaitingReason_ = false;
};

}  // namespace

bool IsErrorHeader(std::wstring_view line) {
  long message = 0;
  long severity = 0;
  long state = 0;
  return TakeWordAndNumber(line, message) && TakeSeparator(line) &&
         TakeWordAndNumber(line, severity) && TakeSeparator(line) &&
         TakeWordAndNumber(line, state) && severity >= kLowestErrorSeverity;
}

ClientOutput ReadClientOutput(InputFiles& files, const std::wstring& path) {
  ClientOutput output;
  const std::unique_ptr<Reader> reader = files.OpenForInput(path);
  LineSplitter lines(output);
  std::vector<char> buffer(kChunk);
  std::string narrow;  // the bytes of the current line, single-byte text
  bool first = true;
  bool wide = false;
  int pendingByte = -1;  // the first half of a UTF-16 unit split between two reads
  for (;;) {
    size_t got = reader->Read(buffer.data(), buffer.size());
    if (got == 0) break;
    size_t i = 0;
    if (first) {
      first = false;
      // A short first read could hide the mark; a client writes it in its first write.
      if (got >= 2 && buffer[0] == '\xFF' && buffer[1] == '\xFE') {
        wide = true;
        i = 2;
      }
    }
    for (; i < got; ++i) {
      const auto byte = static_cast<unsigned char>(buffer[i]);
      if (wide) {
        if (pendingByte < 0) {
          pendingByte = byte;
          continue;
        }
        lines.Add(static_cast<wchar_t>(pendingByte | byte << 8));
        pendingByte = -1;
      } else if (byte == '\n') {
        for (const wchar_t c : files.DecodeText(narrow)) lines.Add(c);
        narrow.clear();
        lines.Add(L'\n');
      } else if (narrow.size() < kMaxLineCharacters) {
        narrow += static_cast<char>(byte);
      }
    }
  }
  for (const wchar_t c : files.DecodeText(narrow)) lines.Add(c);
  lines.Finish();
  return output;
}

}  // namespace qelrestore
