// What the folder copy knows of one file-system node: its identity as the kernel gives it, and an
// owned descriptor. Kept apart from the rest of host/posix so that the copy engine builds on its
// own (the benchmark links it alone).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <utility>

namespace qelrestore::posix {

// One file-system object: equal ids are the same object, whatever names lead to it.
struct NodeId {
  dev_t device = 0;
  ino_t inode = 0;

  friend bool operator==(const NodeId&, const NodeId&) = default;
};

inline NodeId IdOf(const struct stat& info) {
  return {info.st_dev, info.st_ino};
}

struct NodeIdHash {
  size_t operator()(const NodeId& id) const {
    return std::hash<ino_t>()(id.inode) * 31 + std::hash<dev_t>()(id.device);
  }
};

// Owns one descriptor of the copy; closes it when destroyed.
class CopyFd {
 public:
  CopyFd() = default;
  explicit CopyFd(int fd) : fd_(fd) {}
  CopyFd(CopyFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  CopyFd& operator=(CopyFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  CopyFd(const CopyFd&) = delete;
  CopyFd& operator=(const CopyFd&) = delete;
  ~CopyFd() { Close(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor (if any); returns the errno of a failed close, else 0. A file system
  // may report a failed write only here.
  int Close() {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 || errno == EINTR ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace qelrestore::posix
