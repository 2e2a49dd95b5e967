#include "fuzz/memory_host.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/byte_text.h"
#include "support/utf8_text.h"

namespace qelrestore::fuzz {
namespace {

class MemoryReader : public Reader {
 public:
  MemoryReader(std::string_view bytes, const std::vector<size_t>& readSizes)
      : rest_(bytes), readSizes_(readSizes) {}

  size_t Read(char* buffer, size_t size) override {
    size_t count = std::min(size, rest_.size());
    if (!readSizes_.empty()) {
      // A cap of 0 would read as the end of the file: every read returns at least one byte.
      count = std::min(count, std::max<size_t>(readSizes_[next_ % readSizes_.size()], 1));
      ++next_;
    }
    if (count > 0) std::memcpy(buffer, rest_.data(), count);
    rest_.remove_prefix(count);
    return count;
  }

 private:
  std::string_view rest_;
  const std::vector<size_t>& readSizes_;
  size_t next_ = 0;
};

}  // namespace

std::unique_ptr<Reader> MemoryFiles::OpenForInput(const std::wstring&) {
  return std::make_unique<MemoryReader>(bytes_, readSizes_);
}

std::unique_ptr<Reader> MemoryFiles::OpenSuppliedFile(const std::wstring&) {
  return std::make_unique<MemoryReader>(bytes_, readSizes_);
}

std::unique_ptr<Reader> MemoryFiles::OpenSuppliedSettings(const std::wstring&) {
  return std::make_unique<MemoryReader>(bytes_, readSizes_);
}

std::wstring MemoryFiles::DecodeText(std::string_view bytes) {
  return DecodeUtf8(bytes);
}

std::wstring MemoryFiles::DecodeConsoleText(std::string_view bytes) {
  return DecodeUtf8Escaping(bytes);
}

}  // namespace qelrestore::fuzz
