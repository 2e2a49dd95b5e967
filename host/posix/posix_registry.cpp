#include "host/posix/posix_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "host/posix/posix_errors.h"
#include "host/posix/posix_file_system.h"
#include "host/posix/unique_fd.h"
#include "registry/reg_file.h"
#include "support/byte_text.h"
#include "support/text.h"

namespace qelrestore::posix {
namespace {

constexpr std::wstring_view kSoftware = L"software\\";
constexpr std::wstring_view kWow64Node = L"Wow6432Node\\";

// The whole file, or false when it does not exist. It must be a regular file, opened without
// waiting, so that a FIFO or a device in its place is refused at once; other failures throw.
bool ReadWholeFile(const std::string& path, std::string& bytes) {
  struct stat info {};
  UniqueFd file;
  try {
    file = OpenRegularFile(path, 0, info);
  } catch (const Error& error) {
    if (error.code() == code::kFileNotFound || error.code() == code::kPathNotFound) return false;
    throw;
  }
  // Room for the whole file at once: growing the text as it is read would hold up to three times
  // its size for a moment.
  bytes.reserve(static_cast<size_t>(info.st_size));
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

// The key's full path in the file for one view.
std::wstring PathInView(RegistryView view, const std::wstring& keyPath) {
  std::wstring path = L"HKEY_LOCAL_MACHINE\\";
  const bool belowSoftware =
      keyPath.size() > kSoftware.size() &&
      ToLowerAscii(std::wstring_view(keyPath).substr(0, kSoftware.size())) == kSoftware;
  if (view == RegistryView::k32Bit && belowSoftware) {
    path.append(keyPath, 0, kSoftware.size());
    path += kWow64Node;
    path.append(keyPath, kSoftware.size());
  } else {
    path += keyPath;
  }
  return path;
}

}  // namespace

PosixRegistry::PosixRegistry(std::string file) : file_(std::move(file)) {}

PosixRegistry::~PosixRegistry() = default;

const RegistryStore& PosixRegistry::Store() {
  // Loaded on first use, so that a file that cannot be read is reported by the step that reads
  // the registry; a failed load is tried again (and reported again) on the next use.
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

RegistryAnswer PosixRegistry::Query(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName) {
  const RegistryStore& store = Store();
  const std::wstring path = PathInView(view, keyPath);
  RegistryAnswer answer;
  if (!store.HasKey(path)) {
    answer.found = RegistryAnswer::Found::kNoKey;
    return answer;
  }
  const StoredValue* value = store.FindValue(path, valueName);
  if (value == nullptr) {
    answer.found = RegistryAnswer::Found::kNoValue;
    return answer;
  }
  if (value->malformedLine != 0) {
    throw Error(code::kPathFileAccess, MalformedValueMessage(DecodeUtf8(file_), *value));
  }
  answer.found = RegistryAnswer::Found::kValue;
  answer.type = value->type;
  answer.data.assign(value->data.begin(), value->data.end());
  return answer;
}

}  // namespace qelrestore::posix
