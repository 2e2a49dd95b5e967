// What every suite's tests share for reading a log: a log line is a time text in the form's own
// format followed by ": " and the message, or followed directly by "Error:" and an error record.
// The unit tests read the fake host's lines (wide text), the POSIX tests the program's files.
#pragma once

#include <string>
#include <string_view>

namespace qelrestore::test {

// The message of a log line: the line without its time text and the ": " after it; an error
// record keeps its "Error:". A line with no time text (a time text begins with a digit in every
// format the forms write), as a write that failed half-way leaves, comes back whole.
template <typename Char>
std::basic_string<Char> LogMessage(std::basic_string_view<Char> line) {
  static constexpr Char kSeparator[] = {':', ' ', 0};
  static constexpr Char kRecord[] = {'E', 'r', 'r', 'o', 'r', ':', 0};
  const size_t separator = line.find(kSeparator);
  const size_t record = line.find(kRecord);
  const size_t end = record < separator ? record : separator;
  if (end == line.npos || end == 0 || line[0] < '0' || line[0] > '9') {
    return std::basic_string<Char>(line);
  }
  return std::basic_string<Char>(line.substr(end == record ? end : end + 2));
}

inline std::string LogMessage(const std::string& line) {
  return LogMessage(std::string_view(line));
}
inline std::wstring LogMessage(const std::wstring& line) {
  return LogMessage(std::wstring_view(line));
}

}  // namespace qelrestore::test
