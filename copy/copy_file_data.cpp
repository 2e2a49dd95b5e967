#include "copy/copy_file_data.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qelrestore::posix {
namespace {

constexpr size_t kSlice = 64 * 1024;  // what a comparison reads of each file at a time
constexpr size_t kRangeChunk = size_t{1} << 30;

// Errors that mean "this kind of call does not work between these files", not a failed copy.
bool Refusal(int error) {
  return error == EOPNOTSUPP || error == ENOTTY || error == EXDEV || error == EINVAL ||
         error == ENOSYS || error == EBADF;
}

int WriteAll(int out, const char* data, size_t size, off_t at) {
  while (size > 0) {
    const ssize_t written = ::pwrite(out, data, size, at);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<size_t>(written);
    at += written;
  }
  return 0;
}

}  // namespace

size_t FileDataCopier::BufferFor(unsigned workers) {
  return std::clamp<size_t>((size_t{2} << 20) / std::max(workers, 1u), kSlice, size_t{256} << 10);
}

int FileDataCopier::Copy(int in, int out, const struct stat& source) {
  // Never past the length seen at the open: a file grown meanwhile (to any length, as a hole)
  // costs no more time or space than the one the copy was asked for.
  const off_t size = source.st_size;
  if (size == 0) return 0;
  // Fewer blocks than the length needs: the file has holes (or is compressed, which the extent
  // walk handles as well).
  if (!seekRefused_ && source.st_blocks * 512 < size) return CopySparse(in, out, size);
  if (!cloneRefused_) {
    if (::ioctl(out, FICLONE, in) == 0) return 0;
    // Only "not on this file system" is remembered; any other refusal leaves the next file free to
    // try again, and this one falls through to the paths below, which report real faults.
    if (Refusal(errno)) cloneRefused_ = true;
  }
  return CopyRange(in, out, 0, size);
}

int FileDataCopier::CopySparse(int in, int out, off_t size) {
  off_t at = 0;
  while (at < size) {
    const off_t data = ::lseek(in, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      if (!Refusal(errno)) return errno;
      seekRefused_ = true;
      return CopyRange(in, out, at, size);
    }
    if (data >= size) break;
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0) return errno;
    hole = std::min(hole, size);
    if (const int failure = CopyRange(in, out, data, hole)) return failure;
    at = hole;
  }
  // The length last: what the copy skipped stays a hole at the end too.
  return ::ftruncate(out, size) == 0 ? 0 : errno;
}

int FileDataCopier::CopyRange(int in, int out, off_t from, off_t to) {
  off_t inAt = from;
  off_t outAt = from;
  while (!rangeRefused_ && inAt < to) {
    const auto wanted = static_cast<size_t>(std::min<off_t>(to - inAt, kRangeChunk));
    const ssize_t moved = ::copy_file_range(in, &inAt, out, &outAt, wanted, 0);
    if (moved > 0) continue;  // both offsets moved on
    if (moved == 0) {
      if (inAt > from) return 0;  // the file shrank while being copied
      break;                      // nothing moved from a non-empty range: let the read loop decide
    }
    if (errno == EINTR) continue;
    if (!Refusal(errno)) return errno;
    rangeRefused_ = true;  // the offsets moved only by what was copied; the loop goes on there
  }
  if (inAt >= to) return 0;
  if (buffer_.size() < bufferSize_) buffer_.resize(bufferSize_);
  while (inAt < to) {
    const auto wanted =
        static_cast<size_t>(std::min<off_t>(to - inAt, static_cast<off_t>(bufferSize_)));
    const ssize_t got = ::pread(in, buffer_.data(), wanted, inAt);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (const int failure = WriteAll(out, buffer_.data(), static_cast<size_t>(got), inAt)) {
      return failure;
    }
    inAt += got;
  }
  return 0;
}

namespace {

// Where the data or hole that `at` lies in ends in `fd` (at most `size`); `hole` tells which of the
// two it is. False when the file system cannot tell.
bool ExtentAt(int fd, off_t at, off_t size, bool& hole, off_t& end) {
  const off_t data = ::lseek(fd, at, SEEK_DATA);
  if (data < 0 && errno != ENXIO) return false;
  if (data < 0 || data > at) {  // a hole up to the next data, or to the end
    hole = true;
    end = data < 0 ? size : std::min(data, size);
    return true;
  }
  const off_t next = ::lseek(fd, at, SEEK_HOLE);
  if (next < 0) return false;
  hole = false;
  end = std::min(next, size);
  return true;
}

}  // namespace

bool FileDataCopier::SameContent(int a, int b, off_t size, bool sparse) {
  if (!sparse || seekRefused_) return SameBytes(a, b, 0, size);
  for (off_t at = 0; at < size;) {
    bool holeA = false;
    bool holeB = false;
    off_t endA = 0;
    off_t endB = 0;
    if (!ExtentAt(a, at, size, holeA, endA) || !ExtentAt(b, at, size, holeB, endB)) {
      return SameBytes(a, b, at, size);
    }
    const off_t end = std::max(std::min(endA, endB), at + 1);
    // Data against a hole is compared too: the data may be zeros.
    if (!(holeA && holeB) && !SameBytes(a, b, at, end)) return false;
    at = end;
  }
  return true;
}

bool FileDataCopier::SameBytes(int a, int b, off_t from, off_t size) {
  buffer_.resize(std::max(buffer_.size(), kSlice));
  compared_.resize(kSlice);
  for (off_t at = from; at < size;) {
    const size_t want = static_cast<size_t>(std::min<off_t>(size - at, kSlice));
    const ssize_t gotA = ::pread(a, buffer_.data(), want, at);
    if (gotA <= 0) return false;
    const auto length = static_cast<size_t>(gotA);
    size_t gotB = 0;
    while (gotB < length) {
      const ssize_t got =
          ::pread(b, compared_.data() + gotB, length - gotB, at + static_cast<off_t>(gotB));
      if (got <= 0) return false;
      gotB += static_cast<size_t>(got);
    }
    if (std::memcmp(buffer_.data(), compared_.data(), length) != 0) return false;
    at += gotA;
  }
  return true;
}

}  // namespace qelrestore::posix
