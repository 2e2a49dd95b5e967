#include "support/windows_command_line.h"

#include <cstddef>

namespace qelrestore {
namespace {

bool IsBlank(wchar_t ch) {
  return ch == L' ' || ch == L'\t';
}

// Reads one argument that starts at `pos` (not a blank) and leaves `pos` after it.
std::wstring ReadArgument(std::wstring_view line, size_t& pos) {
  std::wstring argument;
  bool quoted = false;
  size_t backslashes = 0;  // a run of backslashes is only settled by what follows it
  for (; pos < line.size(); ++pos) {
    const wchar_t ch = line[pos];
    if (ch == L'\\') {
      ++backslashes;
      continue;
    }
    if (ch == L'"') {
      argument.append(backslashes / 2, L'\\');
      if (backslashes % 2 == 1) {
        argument += L'"';
      } else if (quoted && pos + 1 < line.size() && line[pos + 1] == L'"') {
        // A doubled quote inside a quoted stretch: one literal quote, and the stretch is over.
        argument += L'"';
        ++pos;
        quoted = false;
      } else {
        quoted = !quoted;
      }
      backslashes = 0;
      continue;
    }
    argument.append(backslashes, L'\\');
    backslashes = 0;
    if (!quoted && IsBlank(ch)) break;
    argument += ch;
  }
  argument.append(backslashes, L'\\');
  return argument;
}

}  // namespace

std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view commandLine) {
  std::vector<std::wstring> pieces;
  if (commandLine.empty()) return pieces;

  // The program name knows no escapes: a quoted one ends at the next quote, so a folder ending in
  // a backslash before the closing quote stays intact.
  size_t pos = 0;
  if (commandLine[0] == L'"') {
    const size_t close = commandLine.find(L'"', 1);
    const size_t end = close == std::wstring_view::npos ? commandLine.size() : close;
    pieces.emplace_back(commandLine.substr(1, end - 1));
    pos = close == std::wstring_view::npos ? commandLine.size() : close + 1;
  } else {
    while (pos < commandLine.size() && !IsBlank(commandLine[pos])) ++pos;
    pieces.emplace_back(commandLine.substr(0, pos));
  }

  for (;;) {
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    if (pos == commandLine.size()) break;
    pieces.push_back(ReadArgument(commandLine, pos));
  }
  return pieces;
}

}  // namespace qelrestore
