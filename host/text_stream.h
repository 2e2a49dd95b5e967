// A stream of lines: the run log's file, or standard output in a dry run.
#pragma once

#include <string>

namespace qelrestore {

// Single-byte text, each line reaching the file before writeLine returns.
class TextStream {
 public:
  virtual ~TextStream() = default;
  // Appends the text and CR LF. Throws when the line cannot be written.
  virtual void writeLine(const std::wstring& text) = 0;
  // Closes the file; closing a closed stream does nothing.
  virtual void Close() = 0;
};

}  // namespace qelrestore
