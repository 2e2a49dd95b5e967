// The Windows-rules split of the client's command line fed any text. Pieces are never longer than
// the line; a line without quotes splits at blanks only; and the arguments survive being quoted
// back into a line as a Windows program expects and split again.
#include <string>
#include <vector>

#include "fuzz/contract.h"
#include "support/windows_command_line.h"

namespace {

using qelrestore::SplitWindowsCommandLine;

bool IsBlank(wchar_t ch) {
  return ch == L' ' || ch == L'\t';
}

// The reading of a line without double quotes: every run of non-blanks is a piece, and a leading
// blank gives an empty program name.
std::vector<std::wstring> SplitAtBlanks(const std::wstring& line) {
  std::vector<std::wstring> pieces;
  if (line.empty()) return pieces;
  if (IsBlank(line[0])) pieces.emplace_back();
  std::wstring current;
  for (const wchar_t ch : line) {
    if (!IsBlank(ch)) {
      current += ch;
    } else if (!current.empty()) {
      pieces.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) pieces.push_back(current);
  return pieces;
}

// The quoting a Windows program's caller applies to one argument so that it reads back unchanged.
void AppendQuoted(const std::wstring& argument, std::wstring& line) {
  line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (const wchar_t ch : argument) {
    if (ch == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(ch == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += ch;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qelrestore::fuzz::Require;
  const std::wstring line = qelrestore::fuzz::WideInput(data, size);
  const std::vector<std::wstring> pieces = SplitWindowsCommandLine(line);

  Require(pieces.empty() == line.empty(), "only the empty line gives no pieces");
  size_t total = 0;
  for (const std::wstring& piece : pieces) total += piece.size();
  Require(total <= line.size(), "the pieces are never longer than the line");
  if (line.find(L'"') == std::wstring::npos) {
    Require(pieces == SplitAtBlanks(line), "a line without quotes splits at blanks");
  } else if (line[0] == L'"') {
    Require(pieces[0].find(L'"') == std::wstring::npos, "a quoted program name holds no quote");
  }

  if (pieces.empty()) return 0;
  std::wstring rebuilt = L"client.exe";
  for (size_t i = 1; i < pieces.size(); ++i) AppendQuoted(pieces[i], rebuilt);
  std::vector<std::wstring> expected = pieces;
  expected[0] = L"client.exe";
  Require(SplitWindowsCommandLine(rebuilt) == expected, "quoted arguments read back unchanged");
  return 0;
}
