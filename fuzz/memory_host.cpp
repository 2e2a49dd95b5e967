#include "fuzz/memory_host.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/posix/posix_text.h"
#include "support/error.h"

namespace qelrestore::fuzz {
namespace {

class MemorySource : public ByteSource {
 public:
  MemorySource(std::string_view bytes, const std::vector<size_t>& readSizes)
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

// No file exists, and nothing can be written.
class EmptyFileSystem : public FileSystem {
 public:
  bool FileExists(const std::wstring&) override { return false; }
  bool FolderExists(const std::wstring&) override { return false; }
  std::unique_ptr<TextStream> CreateTextFile(const std::wstring&, bool) override {
    throw Error(code::kPermissionDenied);
  }
  std::unique_ptr<TextStream> OpenTextFile(const std::wstring&, int, int) override {
    throw Error(code::kPermissionDenied);
  }
};

}  // namespace

std::unique_ptr<FileSystem> MemoryHost::CreateFileSystemObject() {
  return std::make_unique<EmptyFileSystem>();
}

std::unique_ptr<ByteSource> MemoryHost::OpenForInput(const std::wstring&) {
  return std::make_unique<MemorySource>(bytes_, readSizes_);
}

std::wstring MemoryHost::DecodeText(std::string_view bytes) {
  return posix::DecodeUtf8(bytes);
}

void MemoryHost::CopyFile(const std::wstring&, const std::wstring&) {
  throw Error(code::kFileNotFound);
}

int32_t MemoryHost::SHFileOperation(FileOperation& operation) {
  operation.fAnyOperationsAborted = true;
  return 2;  // the Win32 "file not found" result of the shell operation
}

uint32_t MemoryHost::StartProcess(const std::wstring&, int) {
  throw Error(code::kFileNotFound);
}

}  // namespace qelrestore::fuzz
