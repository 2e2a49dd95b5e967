#include "copy/copy_metadata.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace qelrestore::posix {
namespace {

constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr const char* kDefaultAcl = "system.posix_acl_default";

// Failures that only say "this attribute cannot go there": not permitted to this run, not
// supported by the destination, or gone from the source meanwhile.
bool Refused(int error) {
  return error == EPERM || error == EACCES || error == ENOTSUP || error == EOPNOTSUPP ||
         error == EINVAL || error == ENODATA || error == ERANGE || error == E2BIG;
}

// Reads into `buffer` with `query` (a listxattr or getxattr), growing it until the answer fits.
template <typename Query>
ssize_t Fetch(std::vector<char>& buffer, Query query) {
  if (buffer.empty()) buffer.resize(4096);
  for (;;) {
    const ssize_t length = query(buffer.data(), buffer.size());
    if (length >= 0 || errno != ERANGE) return length;
    const ssize_t needed = query(nullptr, 0);
    if (needed < 0) return needed;
    buffer.resize(static_cast<size_t>(needed) + 1);
  }
}

}  // namespace

MetadataCopier::MetadataCopier() : root_(::geteuid() == 0), uid_(::geteuid()), gid_(::getegid()) {}

mode_t MetadataCopier::KeepOwner(int fd, const struct stat& source) const {
  mode_t mode = source.st_mode & 07777;
  const auto owner = [fd](uid_t user, gid_t group) {
    return ::fchownat(fd, "", user, group, AT_EMPTY_PATH) == 0;
  };
  bool userKept = false;
  bool groupKept = false;
  bool groupOwn = false;
  if (root_) {
    // A refusal (an id the file system cannot hold) is not reported: the copy then has the run's
    // owner and group, and loses the set-ID bits below.
    userKept = groupKept = owner(source.st_uid, source.st_gid);
    groupOwn = !groupKept && owner(uid_, gid_);
  } else {
    userKept = source.st_uid == uid_;
    groupKept = owner(static_cast<uid_t>(-1), source.st_gid);
    groupOwn = !groupKept && owner(static_cast<uid_t>(-1), gid_);
  }
  if (!userKept) mode &= static_cast<mode_t>(~S_ISUID);
  if (!groupKept) mode &= static_cast<mode_t>(~S_ISGID);
  // The group is whoever the folder gave it to: its bits would open the copy to strangers.
  if (!groupKept && !groupOwn) mode &= static_cast<mode_t>(~S_IRWXG);
  return mode;
}

bool MetadataCopier::OwnerInLine(const struct stat& existing, const struct stat& source) const {
  if (root_) return existing.st_uid == source.st_uid && existing.st_gid == source.st_gid;
  return existing.st_gid == source.st_gid || existing.st_gid == gid_;
}

bool MetadataCopier::DropInheritedAcls(int fd) {
  for (const char* name : {kAccessAcl, kDefaultAcl}) {
    if (::fremovexattr(fd, name) != 0 && errno != ENODATA && errno != ENOTSUP) return false;
  }
  return true;
}

bool MetadataCopier::HasAttributes(int in) {
  return ::flistxattr(in, nullptr, 0) > 0;
}

bool MetadataCopier::HasDefaultAcl(int fd) {
  return ::fgetxattr(fd, kDefaultAcl, nullptr, 0) > 0;
}

void MetadataCopier::AclsOf(int fd, bool& access, bool& defaultAcl) {
  access = defaultAcl = false;
  const ssize_t wanted = ::flistxattr(fd, nullptr, 0);
  if (wanted == 0) return;
  if (wanted > 0) names_.resize(static_cast<size_t>(wanted));
  const ssize_t length = wanted < 0 ? -1 : ::flistxattr(fd, names_.data(), names_.size());
  if (length < 0) {
    access = defaultAcl = errno != ENOTSUP;
    return;
  }
  for (const char* name = names_.data(); name < names_.data() + length;
       name += std::strlen(name) + 1) {
    access = access || std::strcmp(name, kAccessAcl) == 0;
    defaultAcl = defaultAcl || std::strcmp(name, kDefaultAcl) == 0;
  }
}

namespace {

// The attribute calls on a descriptor, and on a path that leads to the node itself.
struct FdNode {
  int fd;
  ssize_t List(char* list, size_t size) const { return ::flistxattr(fd, list, size); }
  ssize_t Get(const char* name, char* value, size_t size) const {
    return ::fgetxattr(fd, name, value, size);
  }
  int Set(const char* name, const char* value, size_t size) const {
    return ::fsetxattr(fd, name, value, size, 0);
  }
  int Remove(const char* name) const { return ::fremovexattr(fd, name); }
};
struct PathNode {
  const char* path;
  ssize_t List(char* list, size_t size) const { return ::listxattr(path, list, size); }
  ssize_t Get(const char* name, char* value, size_t size) const {
    return ::getxattr(path, name, value, size);
  }
  int Set(const char* name, const char* value, size_t size) const {
    return ::setxattr(path, name, value, size, 0);
  }
  int Remove(const char* name) const { return ::removexattr(path, name); }
};

}  // namespace

int MetadataCopier::CopyAttributes(int in, int out, bool dropInheritedAcls, bool& aclSet,
                                   bool folder) {
  return CopyAttributesOf(FdNode{in}, FdNode{out}, dropInheritedAcls, aclSet, folder);
}

int MetadataCopier::CopyAttributes(const char* in, const char* out, bool dropInheritedAcls,
                                   bool& aclSet) {
  return CopyAttributesOf(PathNode{in}, PathNode{out}, dropInheritedAcls, aclSet, false);
}

template <typename Node>
int MetadataCopier::CopyAttributesOf(Node in, Node out, bool dropInheritedAcls, bool& aclSet,
                                     bool folder) {
  aclSet = false;
  const ssize_t listed =
      Fetch(names_, [in](char* list, size_t size) { return in.List(list, size); });
  bool accessSeen = false;
  bool defaultSeen = false;
  for (ssize_t at = 0; at < listed;) {
    const char* name = names_.data() + at;
    at += static_cast<ssize_t>(std::strlen(name)) + 1;
    const ssize_t length =
        Fetch(value_, [in, name](char* value, size_t size) { return in.Get(name, value, size); });
    if (length < 0) continue;  // gone meanwhile
    const bool access = std::strcmp(name, kAccessAcl) == 0;
    accessSeen = accessSeen || access;
    defaultSeen = defaultSeen || std::strcmp(name, kDefaultAcl) == 0;
    if (out.Set(name, value_.data(), static_cast<size_t>(length)) != 0) {
      if (!Refused(errno)) return errno;
      continue;
    }
    aclSet = aclSet || access;
  }
  // An access ACL of the source that could not be written does not leave the inherited one in
  // force either: then the mode alone decides. A failure to take one off is reported: the node
  // would open to the entries it holds.
  const auto absent = [] { return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP; };
  if (dropInheritedAcls && !aclSet) {
    if (out.Remove(kAccessAcl) == 0) {
      aclSet = true;  // one was inherited: the mode is to be set again
    } else if (!absent()) {
      return errno;
    }
  }
  if (dropInheritedAcls && folder && !defaultSeen && out.Remove(kDefaultAcl) != 0 && !absent()) {
    return errno;
  }
  return 0;
}

}  // namespace qelrestore::posix
