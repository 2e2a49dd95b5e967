#include "host/posix/posix_file_system.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "host/posix/posix_errors.h"
#include "host/posix/posix_text.h"

namespace qelrestore::posix {
namespace {

constexpr size_t kRangeChunk = size_t{1} << 30;
constexpr size_t kBufferSize = size_t{256} << 10;
constexpr int kAppending = 8;

// A path with a NUL inside would silently name a shorter path at the system call.
const char* SystemPath(const std::string& nativePath, const char* call) {
  if (nativePath.find('\0') != std::string::npos) throw ErrnoError(EINVAL, call, nativePath);
  return nativePath.c_str();
}

// Writes all of `data`, going on after partial writes and interruptions. Returns 0 or errno.
int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

bool StatPath(const std::wstring& path, struct stat& info) {
  const std::string native = NativePath(path);
  if (native.find('\0') != std::string::npos) return false;
  return ::stat(native.c_str(), &info) == 0;
}

// The log's stream. Nothing is buffered here: each line goes to the file in one write(), so a run
// that is killed keeps every line it logged, and concurrent appenders do not split a line.
class PosixTextStream final : public TextStream {
 public:
  PosixTextStream(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  void writeLine(const std::wstring& text) override {
    if (!fd_.valid()) throw Error(code::kBadFileNumber);
    std::string line = EncodeUtf8(text);
    line += "\r\n";
    if (const int failure = WriteAll(fd_.get(), line.data(), line.size()); failure != 0) {
      throw ErrnoError(failure, "write", path_);
    }
  }

  void Close() override {
    if (!fd_.valid()) return;
    if (const int failure = fd_.reset(); failure != 0) throw ErrnoError(failure, "close", path_);
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

std::unique_ptr<TextStream> OpenStream(const std::wstring& path, int flags) {
  const std::string native = NativePath(path);
  const int fd = ::open(SystemPath(native, "open"), flags | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) throw ErrnoError(errno, "open", native);
  return std::make_unique<PosixTextStream>(UniqueFd(fd), native);
}

class PosixByteSource final : public ByteSource {
 public:
  PosixByteSource(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  size_t Read(char* buffer, size_t size) override {
    if (size > SSIZE_MAX) size = SSIZE_MAX;
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer, size);
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) throw ErrnoError(errno, "read", path_);
    }
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  return std::exchange(fd_, -1);
}

int UniqueFd::reset() {
  if (fd_ < 0) return 0;
  // Linux releases the descriptor even when close() reports an error, so it is never retried.
  const int result = ::close(std::exchange(fd_, -1));
  return result == 0 || errno == EINTR ? 0 : errno;
}

int ByteCopier::Copy(int in, int out, off_t size, const char*& failedCall) {
  copied_ = 0;
  // An empty size may still hide content (files of pseudo file systems); the read loop settles it.
  if (size == 0) return ReadWrite(in, out, failedCall);
  if (!cloneRefused_) {
    if (::ioctl(out, FICLONE, in) == 0) {
      copied_ = size;
      return 0;
    }
    const int failure = errno;
    // Only "not on this file system" is remembered; any other refusal leaves the next file free to
    // try again, and this one falls through to the paths below, which report real faults.
    if (failure == EOPNOTSUPP || failure == ENOTTY || failure == EXDEV || failure == EINVAL ||
        failure == ENOSYS) {
      cloneRefused_ = true;
    }
  }
  if (!rangeRefused_) {
    for (;;) {
      const ssize_t moved = ::copy_file_range(in, nullptr, out, nullptr, kRangeChunk, 0);
      if (moved > 0) {
        // The size seen at the open is what is copied; asking once more only to hear "end of
        // file" would cost a call per file.
        copied_ += moved;
        if (copied_ >= size) return 0;
        continue;
      }
      if (moved == 0) {
        if (copied_ > 0) return 0;  // the file shrank while being copied
        break;                      // nothing moved from a non-empty file: let the read loop decide
      }
      const int failure = errno;
      if (failure == EINTR) continue;
      if (failure == EXDEV || failure == ENOSYS || failure == EINVAL || failure == EOPNOTSUPP ||
          failure == EBADF) {
        // Refused outright; the offsets moved only by what was copied, so the loop below goes
        // on from there.
        rangeRefused_ = true;
        break;
      }
      failedCall = "copy_file_range";
      return failure;
    }
  }
  return ReadWrite(in, out, failedCall);
}

int ByteCopier::ReadWrite(int in, int out, const char*& failedCall) {
  if (buffer_.empty()) buffer_.resize(kBufferSize);
  for (;;) {
    const ssize_t got = ::read(in, buffer_.data(), buffer_.size());
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      failedCall = "read";
      return errno;
    }
    if (const int failure = WriteAll(out, buffer_.data(), static_cast<size_t>(got)); failure != 0) {
      failedCall = "write";
      return failure;
    }
    copied_ += got;
  }
}

bool PosixFileSystem::FileExists(const std::wstring& path) {
  struct stat info {};
  return StatPath(path, info) && !S_ISDIR(info.st_mode);
}

bool PosixFileSystem::FolderExists(const std::wstring& path) {
  struct stat info {};
  return StatPath(path, info) && S_ISDIR(info.st_mode);
}

std::unique_ptr<TextStream> PosixFileSystem::CreateTextFile(const std::wstring& path,
                                                            bool overwrite) {
  return OpenStream(path, O_CREAT | (overwrite ? O_TRUNC : O_EXCL));
}

std::unique_ptr<TextStream> PosixFileSystem::OpenTextFile(const std::wstring& path, int ioMode,
                                                          int create) {
  if (ioMode != kAppending) throw Error(code::kInvalidCall);
  return OpenStream(path, O_APPEND | (create != 0 ? O_CREAT : 0));
}

std::unique_ptr<ByteSource> OpenInputFile(const std::string& nativePath) {
  UniqueFd fd(::open(SystemPath(nativePath, "open"), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) throw ErrnoError(errno, "open", nativePath);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw ErrnoError(errno, "fstat", nativePath);
  if (S_ISDIR(info.st_mode)) throw ErrnoError(EISDIR, "open", nativePath);
  return std::make_unique<PosixByteSource>(std::move(fd), nativePath);
}

void CopyWholeFile(const std::string& source, const std::string& destination) {
  UniqueFd in(::open(SystemPath(source, "open"), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!in.valid()) throw ErrnoError(errno, "open", source);
  struct stat from {};
  if (::fstat(in.get(), &from) != 0) throw ErrnoError(errno, "fstat", source);
  if (S_ISDIR(from.st_mode)) throw ErrnoError(EISDIR, "open", source);

  // Opened without O_TRUNC: whether the destination is the source itself is known only once it is
  // open, and truncating first would have destroyed the very file to be copied.
  const auto creationMode = static_cast<mode_t>(from.st_mode & 0777);
  UniqueFd out(::open(SystemPath(destination, "open"), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY,
                      creationMode));
  if (!out.valid()) throw ErrnoError(errno, "open", destination);
  struct stat to {};
  if (::fstat(out.get(), &to) != 0) throw ErrnoError(errno, "fstat", destination);
  if (to.st_dev == from.st_dev && to.st_ino == from.st_ino) {
    throw Error(code::kPermissionDenied, StandardDescription(code::kPermissionDenied) +
                                             L" (copy onto itself: " + DecodeUtf8(destination) +
                                             L")");
  }
  if (S_ISREG(to.st_mode) && ::ftruncate(out.get(), 0) != 0) {
    throw ErrnoError(errno, "ftruncate", destination);
  }

  ByteCopier copier;
  const char* failedCall = "copy";
  if (const int failure = copier.Copy(in.get(), out.get(), from.st_size, failedCall);
      failure != 0) {
    throw ErrnoError(failure, failedCall,
                     std::string_view(failedCall) == "read" ? source : destination);
  }
  if (S_ISREG(to.st_mode) && ::fchmod(out.get(), from.st_mode & 07777) != 0) {
    throw ErrnoError(errno, "fchmod", destination);
  }
  if (const int failure = out.reset(); failure != 0)
    throw ErrnoError(failure, "close", destination);
}

}  // namespace qelrestore::posix
