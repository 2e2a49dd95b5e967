// What the folder copy knows of one file-system node: its identity as the kernel gives it, and a
// path that reaches it through a descriptor. Kept
// apart from the rest of host/posix so that the copy engine builds on its own (the benchmark links
// it alone).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <utility>

#include "host/posix/unique_fd.h"

namespace qelrestore::posix {

// One file-system object: equal ids are the same object, whatever names lead to it.
struct NodeId {
  dev_t device = 0;
  ino_t inode = 0;

  friend bool operator==(const NodeId&, const NodeId&) = default;
  friend auto operator<=>(const NodeId&, const NodeId&) = default;
};

inline NodeId IdOf(const struct stat& info) {
  return {info.st_dev, info.st_ino};
}

struct NodeIdHash {
  size_t operator()(const NodeId& id) const {
    return std::hash<ino_t>()(id.inode) * 31 + std::hash<dev_t>()(id.device);
  }
};

// The path through which a descriptor opened with O_PATH reaches its node for the calls that take
// no descriptor of that kind (chmod, utimensat, linkat without privilege).
struct FdPath {
  explicit FdPath(int fd) { std::snprintf(text, sizeof text, "/proc/self/fd/%d", fd); }
  char text[32];
};

}  // namespace qelrestore::posix
