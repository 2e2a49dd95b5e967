// The input files of a fuzz target: the fuzz input is the only file, served under any name, and
// text decodes as the POSIX host decodes it. Nothing else of a machine is there for a parser to
// stray into.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/input_files.h"

namespace qelrestore::fuzz {

class MemoryFiles : public InputFiles {
 public:
  // `readSizes`, when not empty, caps successive reads of the served file in turn (cycling), so
  // that a reader meets short reads at every kind of boundary; empty: each read fills the buffer.
  explicit MemoryFiles(std::string_view bytes, std::vector<size_t> readSizes = {})
      : bytes_(bytes), readSizes_(std::move(readSizes)) {}

  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  std::wstring DecodeConsoleText(std::string_view bytes) override;

 private:
  std::string_view bytes_;
  std::vector<size_t> readSizes_;
};

}  // namespace qelrestore::fuzz
