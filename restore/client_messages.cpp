#include "restore/client_messages.h"

namespace qelrestore {

namespace {

constexpr long kLowestErrorSeverity = 11;
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

// Takes a word (no blank, separator or digit), any blanks, then a number; false when the text
// does not.
bool TakeWordAndNumber(std::wstring_view& text, long& number) {
  size_t i = 0;
  while (i < text.size() && !IsBlank(text[i]) && !IsFieldSeparator(text[i]) &&
         DigitValue(text[i]) < 0)
    ++i;
  if (i == 0) return false;
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

// A line that begins "RESTORE DATABASE" as the server's messages do and is no echo of the
// statement, which names the database in brackets and the backup file as N'...'.
bool IsRestoreDatabaseLine(std::wstring_view line) {
  return line.substr(0, kRestoreDatabase.size()) == kRestoreDatabase &&
         line.find_first_of(L"[\"") == std::wstring_view::npos &&
         line.find(L"N'") == std::wstring_view::npos;
}

// The client's header of an error of its own network or driver layer.
bool IsResultCodeHeader(std::wstring_view line) {
  return StartsWithNoCase(SkipBlanks(line), L"HResult 0x");
}

}  // namespace

bool IsBlankLine(std::wstring_view line) {
  return SkipBlanks(line).empty();
}

bool ParseMessageHeader(std::wstring_view line, MessageHeader& header) {
  std::wstring_view text = SkipBlanks(line);
  long state = 0;
  return TakeWordAndNumber(text, header.message) && TakeSeparator(text) &&
         TakeWordAndNumber(text, header.severity) && TakeSeparator(text) &&
         TakeWordAndNumber(text, state);
}

bool IsRestoreProcessedText(std::wstring_view line) {
  if (!IsRestoreDatabaseLine(line)) return false;
  for (size_t i = 1; i + 1 < line.size(); ++i) {
    if ((line[i] == L'.' || line[i] == L',') && IsAsciiDigit(line[i - 1]) &&
        IsAsciiDigit(line[i + 1]))
      return true;
  }
  return false;
}

bool IsErrorHeader(std::wstring_view line) {
  MessageHeader header;
  return (ParseMessageHeader(line, header) && header.severity >= kLowestErrorSeverity) ||
         IsResultCodeHeader(line);
}

bool IsClientError(std::wstring_view line) {
  // The bracketed names of the network libraries and drivers that speak for the clients, the
  // old network libraries' own among them ("[TCP/IP Sockets]Specified SQL server not found.").
  static constexpr std::wstring_view kDrivers[] = {
      L"DBNETLIB", L"DBMS",           L"SQL Native Client", L"SQL Server",    L"Microsoft",
      L"ODBC",     L"TCP/IP Sockets", L"Named Pipes",       L"Shared Memory", L"Multi-Protocol",
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
  if (!IsRestoreDatabaseLine(line)) return false;
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

}  // namespace qelrestore
