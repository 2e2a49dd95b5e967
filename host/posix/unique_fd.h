// An owned file descriptor: whatever unwinds through host code closes what it opened.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace qelrestore::posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any); returns the errno of a failed close, else 0. A file
  // system may report a failed write only here.
  int reset() {
    if (fd_ < 0) return 0;
    // Linux releases the descriptor even when close() reports an error, so it is never retried.
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 || errno == EINTR ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace qelrestore::posix
