#include "restore/client_output.h"

#include <cstdint>
#include <vector>

#include "support/utf8_text.h"

namespace qelrestore {

namespace {

// A line longer than this is cut there: nothing the verdict looks for is longer.
constexpr size_t kMaxLineCharacters = 4096;
constexpr size_t kChunk = 64 * 1024;
constexpr long kLowestErrorSeverity = 11;
// The server's number for its message of a processed restore, printed in front of it with -m-1.
constexpr long kRestoreProcessedMessage = 3014;
constexpr std::wstring_view kRestoreDatabase = L"RESTORE DATABASE";

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == 0x00A0 || c == 0x3000;
}

bool IsAsciiDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

// 0 to 9 for an ASCII or a full-width digit, -1 for anything else.
int DigitValue(wchar_t c) {
  if (IsAsciiDigit(c)) return static_cast<int>(c - L'0');
  if (c >= 0xFF10 && c <= 0xFF19) return static_cast<int>(c - 0xFF10);
  return -1;
}

// ", " in most languages, "、" (ideographic comma) in Japanese, "，" (full-width) in Chinese.
bool IsFieldSeparator(wchar_t c) {
  return c == L',' || c == 0x3001 || c == 0xFF0C;
}

std::wstring_view SkipBlanks(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

bool IsBlankLine(std::wstring_view line) {
  return SkipBlanks(line).empty();
}

wchar_t LowerAscii(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

// Takes a word (no blank, separator or digit), blanks, then a number; false when the text does not.
bool TakeWordAndNumber(std::wstring_view& text, long& number) {
  size_t i = 0;
  while (i < text.size() && !IsBlank(text[i]) && !IsFieldSeparator(text[i]) &&
         DigitValue(text[i]) < 0)
    ++i;
  if (i == 0 || i == text.size() || !IsBlank(text[i])) return false;
  while (i < text.size() && IsBlank(text[i])) ++i;
  const size_t digits = i;
  number = 0;
  while (i < text.size() && DigitValue(text[i]) >= 0 && i - digits < 9) {
    number = number * 10 + DigitValue(text[i]);
    ++i;
  }
  if (i == digits) return false;
  text.remove_prefix(i);
  return true;
}

bool TakeSeparator(std::wstring_view& text) {
  if (text.empty() || !IsFieldSeparator(text.front())) return false;
  text = SkipBlanks(text.substr(1));
  return true;
}

struct Header {
  long message = 0;
  long severity = 0;
};

// "WORD N, WORD L, WORD S": the header of a message the server sent, any language.
bool ParseHeader(std::wstring_view line, Header& header) {
  std::wstring_view text = SkipBlanks(line);
  long state = 0;
  return TakeWordAndNumber(text, header.message) && TakeSeparator(text) &&
         TakeWordAndNumber(text, header.severity) && TakeSeparator(text) &&
         TakeWordAndNumber(text, state);
}

// The client's header of an error of its own network or driver layer.
bool IsResultCodeHeader(std::wstring_view line) {
  return StartsWithNoCase(SkipBlanks(line), L"HResult 0x");
}

// A line that begins "RESTORE DATABASE" as the server's messages do, and that is no echo of the
// statement, which names the database in brackets and the backup file as N'...'.
bool IsRestoreDatabaseMessage(std::wstring_view line) {
  return line.substr(0, kRestoreDatabase.size()) == kRestoreDatabase &&
         line.find_first_of(L"[\"") == std::wstring_view::npos &&
         line.find(L"N'") == std::wstring_view::npos;
}

// Cuts the text into lines (LF, with a CR before it dropped) and keeps what the verdict needs.
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
    if ((awaitingReason_ || awaitingProcessed_) && IsBlankLine(line)) return;
    if (awaitingReason_) {
      output_.error += L" " + line;
      awaitingReason_ = false;
      return;
    }
    if (awaitingProcessed_) {
      awaitingProcessed_ = false;
      if (IsRestoreDatabaseMessage(line)) {
        if (output_.success.empty()) output_.success = line;
        return;
      }
    }
    Header header;
    if (ParseHeader(line, header) && header.severity < kLowestErrorSeverity) {
      awaitingProcessed_ = header.message == kRestoreProcessedMessage;
    } else if (IsErrorHeader(line)) {
      output_.error = line;
      awaitingReason_ = true;
    } else if (IsClientError(line)) {
      output_.error = line;
    } else if (output_.success.empty() && IsRestoreProcessedLine(line)) {
      output_.success = line;
    }
  }

  ClientOutput& output_;
  std::wstring line_;
  bool awaitingReason_ = false;     // an error header was the last line that was not blank
  bool awaitingProcessed_ = false;  // so was the header of a processed restore's message
};

// Turns the bytes of the file into characters: the byte-order mark at its start decides.
class ByteDecoder {
 public:
  ByteDecoder(InputFiles& files, LineSplitter& lines) : files_(files), lines_(lines) {}

  void Add(const char* bytes, size_t size) {
    if (form_ == Form::kUndecided) {
      // A mark may come in reads of a byte or two.
      const size_t take = std::min(size, kLongestMark - head_.size());
      head_.append(bytes, take);
      bytes += take;
      size -= take;
      if (head_.size() < kLongestMark) return;
      Decide();
    }
    Feed(bytes, size);
  }

  void Finish() {
    if (form_ == Form::kUndecided) Decide();
    if (form_ == Form::kUtf16) {
      FlushHighSurrogate();
    } else {
      FlushNarrow();
    }
    lines_.Finish();
  }

 private:
  enum class Form { kUndecided, kUtf16, kUtf8, kConsole };
  static constexpr size_t kLongestMark = 3;

  void Decide() {
    std::string head;
    head.swap(head_);
    const auto starts = [&head](std::string_view mark) {
      return head.size() >= mark.size() && head.compare(0, mark.size(), mark) == 0;
    };
    size_t mark = 0;
    if (starts("\xFF\xFE")) {
      form_ = Form::kUtf16;
      mark = 2;
    } else if (starts("\xEF\xBB\xBF")) {
      form_ = Form::kUtf8;
      mark = 3;
    } else {
      form_ = Form::kConsole;
    }
    Feed(head.data() + mark, head.size() - mark);
  }

  void Feed(const char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[i]);
      if (form_ == Form::kUtf16) {
        if (pendingByte_ < 0) {
          pendingByte_ = byte;
          continue;
        }
        AddUnit(static_cast<uint16_t>(pendingByte_ | byte << 8));
        pendingByte_ = -1;
      } else if (byte == '\n') {
        FlushNarrow();
        lines_.Add(L'\n');
      } else if (narrow_.size() < kMaxLineCharacters) {
        narrow_ += static_cast<char>(byte);
      }
    }
  }

  // Where wchar_t holds any character, a surrogate pair becomes the one character it stands for.
  void AddUnit(uint16_t unit) {
    if constexpr (sizeof(wchar_t) >= 4) {
      if (unit >= 0xDC00 && unit <= 0xDFFF && highSurrogate_ != 0) {
        const uint32_t high = highSurrogate_ - 0xD800u;
        highSurrogate_ = 0;
        lines_.Add(static_cast<wchar_t>(0x10000u + (high << 10) + (unit - 0xDC00u)));
        return;
      }
      FlushHighSurrogate();
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        highSurrogate_ = unit;
        return;
      }
    }
    lines_.Add(static_cast<wchar_t>(unit));
  }

  void FlushHighSurrogate() {
    if (highSurrogate_ != 0) lines_.Add(static_cast<wchar_t>(highSurrogate_));
    highSurrogate_ = 0;
  }

  void FlushNarrow() {
    if (narrow_.empty()) return;
    const std::wstring text =
        form_ == Form::kUtf8 ? DecodeUtf8Escaping(narrow_) : files_.DecodeConsoleText(narrow_);
    for (const wchar_t c : text) lines_.Add(c);
    narrow_.clear();
  }

  InputFiles& files_;
  LineSplitter& lines_;
  Form form_ = Form::kUndecided;
  std::string head_;      // the first bytes, until they show whether a mark is there
  std::string narrow_;    // the bytes of the current line of single-byte or UTF-8 text
  int pendingByte_ = -1;  // the first half of a UTF-16 unit split between two reads
  uint16_t highSurrogate_ = 0;
};

}  // namespace

bool IsErrorHeader(std::wstring_view line) {
  Header header;
  return (ParseHeader(line, header) && header.severity >= kLowestErrorSeverity) ||
         IsResultCodeHeader(line);
}

bool IsClientError(std::wstring_view line) {
  // The bracketed names of the network libraries and drivers that speak for the clients.
  static constexpr std::wstring_view kDrivers[] = {
      L"DBNETLIB", L"DBMS", L"SQL Native Client", L"SQL Server", L"Microsoft", L"ODBC",
  };
  // The clients' warnings, in the languages they are shipped in, end nothing.
  static constexpr std::wstring_view kWarnings[] = {
      L"Warning", L"Advertencia",    L"Warnung", L"Avertissement", L"Avviso",
      L"Aviso",   L"Предупреждение", L"警告",    L"경고",
  };
  const std::wstring_view text = SkipBlanks(line);
  if (StartsWithNoCase(text, L"Sqlcmd:")) {
    const std::wstring_view rest = SkipBlanks(text.substr(7));
    for (const std::wstring_view warning : kWarnings) {
      if (StartsWithNoCase(rest, warning)) return false;
    }
    return true;
  }
  if (StartsWithNoCase(text, L"usage: osql") || StartsWithNoCase(text, L"usage: sqlcmd")) {
    return true;
  }
  if (!text.empty() && text.front() == L'[') {
    for (const std::wstring_view driver : kDrivers) {
      if (StartsWithNoCase(text.substr(1), driver)) return true;
    }
  }
  return false;
}

bool IsRestoreProcessedLine(std::wstring_view line) {
  if (!IsRestoreDatabaseMessage(line)) return false;
  const std::wstring_view rest = line.substr(kRestoreDatabase.size());
  struct Number {
    bool decimal = false;
    bool inParentheses = false;
    size_t end = 0;
  };
  Number numbers[3];
  size_t count = 0;
  for (size_t i = 0; i < rest.size();) {
    if (!IsAsciiDigit(rest[i])) {
      ++i;
      continue;
    }
    if (count == 3) return false;
    Number& number = numbers[count++];
    size_t before = i;
    while (before > 0 && IsBlank(rest[before - 1])) --before;
    number.inParentheses = before > 0 && (rest[before - 1] == L'(' || rest[before - 1] == 0xFF08);
    while (i < rest.size() && IsAsciiDigit(rest[i])) ++i;
    if (i + 1 < rest.size() && (rest[i] == L'.' || rest[i] == L',') && IsAsciiDigit(rest[i + 1])) {
      number.decimal = true;
      ++i;
      while (i < rest.size() && IsAsciiDigit(rest[i])) ++i;
    }
    number.end = i;
  }
  if (count != 3) return false;
  const Number& rate = numbers[2];
  // Pages (whole) and seconds (with a decimal part), in the order the language puts them.
  if (numbers[0].inParentheses || numbers[1].inParentheses ||
      numbers[0].decimal == numbers[1].decimal || !rate.decimal || !rate.inParentheses) {
    return false;
  }
  // The rate's unit, "MB/sec", "MB/s", "MB/秒", "МБ/сек": a few letters, then "/".
  size_t at = rate.end;
  while (at < rest.size() && IsBlank(rest[at])) ++at;
  const size_t unit = at;
  while (at < rest.size() && at - unit < 4 && rest[at] != L'/' && !IsBlank(rest[at])) ++at;
  return at > unit && at < rest.size() && rest[at] == L'/';
}

ClientOutput ReadClientOutput(InputFiles& files, const std::wstring& path) {
  ClientOutput output;
  const std::unique_ptr<Reader> reader = files.OpenForInput(path);
  LineSplitter lines(output);
  ByteDecoder decoder(files, lines);
  std::vector<char> buffer(kChunk);
  for (;;) {
    const size_t got = reader->Read(buffer.data(), buffer.size());
    if (got == 0) break;
    decoder.Add(buffer.data(), got);
  }
  decoder.Finish();
  return output;
}

}  // namespace qelrestore
