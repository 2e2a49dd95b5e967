#include "host/posix/posix_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "host/posix/posix_errors.h"
#include "host/posix/posix_text.h"
#include "host/posix/reg_file.h"

namespace qelrestore::posix {
namespace {

constexpr int32_t kErrorInvalidHandle = 6;

// The registry file's descriptor for the time of one read.
class ReadFd {
 public:
  explicit ReadFd(int fd) : fd_(fd) {}
  ReadFd(const ReadFd&) = delete;
  ReadFd& operator=(const ReadFd&) = delete;
  ~ReadFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The whole file, or false when it does not exist. Other failures throw.
bool ReadWholeFile(const std::string& path, std::string& bytes) {
  const ReadFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return false;
    throw ErrnoError(error, "open", path);
  }
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
    if (count == 0) return true;
    if (count < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      throw ErrnoError(error, "read", path);
    }
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace

PosixRegistry::PosixRegistry(std::string file) : file_(std::move(file)) {}

PosixRegistry::~PosixRegistry() = default;

const RegistryStore& PosixRegistry::Store() {
  // Loaded on first use, so that a malformed file is reported by the step that reads the
  // registry; a failed load is tried again (and reported again) on the next use.
  if (!store_) {
    std::string bytes;
    if (ReadWholeFile(file_, bytes)) {
      store_ = std::make_unique<RegistryStore>(ParseRegFile(bytes, DecodeUtf8(file_)));
    } else {
      store_ = std::make_unique<RegistryStore>();
    }
  }
  return *store_;
}

int32_t PosixRegistry::Open(uint32_t rootKey, const std::wstring& subKey, uint32_t /*access*/,
                            RegistryKey& key) {
  // One view of the registry: the access mask, WOW64 view flags included, changes nothing.
  const RegistryStore& store = Store();
  std::wstring path;
  if (const auto open = openKeys_.find(rootKey); open != openKeys_.end()) {
    path = open->second;
  } else {
    path = RootKeyName(rootKey);
    if (path.empty()) return kErrorInvalidHandle;
  }
  if (!subKey.empty()) path += L'\\' + subKey;
  // A root exists even when the file holds nothing below it.
  if (!subKey.empty() && !store.HasKey(path)) return ERROR_FILE_NOT_FOUND;
  key = nextKey_++;
  openKeys_.emplace(key, std::move(path));
  return ERROR_SUCCESS;
}

int32_t PosixRegistry::Query(RegistryKey key, const std::wstring& valueName, uint32_t& type,
                             uint8_t* data, uint32_t& byteCount) {
  std::wstring path;
  if (const auto open = openKeys_.find(key); open != openKeys_.end()) {
    path = open->second;
  } else if (key <= UINT32_MAX) {
    path = RootKeyName(static_cast<uint32_t>(key));
  }
  if (path.empty()) return kErrorInvalidHandle;
  const StoredValue* value = Store().FindValue(path, valueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;

  const auto size = static_cast<uint32_t>(value->data.size());
  type = value->type;
  if (data != nullptr && byteCount < size) {
    byteCount = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size > 0) std::memcpy(data, value->data.data(), size);
  byteCount = size;
  return ERROR_SUCCESS;
}

void PosixRegistry::Close(RegistryKey key) {
  openKeys_.erase(key);
}

}  // namespace qelrestore::posix
