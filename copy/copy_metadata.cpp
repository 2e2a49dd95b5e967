#include "copy/copy_metadata.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

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

mode_t MetadataCopier::SetOwnerAndGetMode(int fd, const struct stat& source) const {
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

// An ACL as the kernel stores it: a version (2), then entries of a tag, permission bits and an
// id, little-endian. What of it a mode can say: the bits of the owner, of the owning group (within
// the mask) and of others; `extended` when it says more (named users or groups, a mask).
struct AclBits {
  bool valid = false;
  bool extended = false;
  mode_t owner = 0, group = 0, other = 0;
};

AclBits ReadAcl(const char* value, size_t size) {
  const auto number = [value](size_t at, int bytes) {
    uint32_t result = 0;
    for (int i = bytes - 1; i >= 0; --i) {
      result = result << 8 | static_cast<unsigned char>(value[at + static_cast<size_t>(i)]);
    }
    return result;
  };
  AclBits acl;
  if (size < 4 || (size - 4) % 8 != 0 || number(0, 4) != 2) return acl;
  mode_t mask = 7;
  for (size_t at = 4; at < size; at += 8) {
    const mode_t bits = number(at + 2, 2) & 7;
    switch (number(at, 2)) {
      case 0x01:
        acl.owner = bits;
        break;
      case 0x04:
        acl.group = bits;
        break;
      case 0x20:
        acl.other = bits;
        break;
      case 0x10:
        mask = bits;
        [[fallthrough]];
      default:
        acl.extended = true;
    }
  }
  acl.group &= mask;
  acl.valid = true;
  return acl;
}

// An attribute that grants access or privilege: one the copy should not have and keeps is reported.
bool Grants(const char* name) {
  return std::strcmp(name, kAccessAcl) == 0 || std::strcmp(name, kDefaultAcl) == 0 ||
         std::strcmp(name, "security.capability") == 0;
}

// The labels and hashes the system gives every node it makes (security modules, integrity): a
// fresh copy has its own, so the backup's lack of one is no reason to take it off.
bool SystemsOwn(const char* name) {
  return std::strncmp(name, "security.", 9) == 0 && !Grants(name);
}

bool Absent(int error) {
  return error == ENODATA || error == ENOTSUP || error == EOPNOTSUPP;
}

// True when the `length` bytes of `names` (a listing) hold `name`.
bool Listed(const std::vector<char>& names, ssize_t length, const char* name) {
  for (const char* at = names.data(); at < names.data() + length; at += std::strlen(at) + 1) {
    if (std::strcmp(at, name) == 0) return true;
  }
  return false;
}

// Takes the access ACL off `out`: written first as the ACL its mode alone would say, the owning
// group's bits within the mask, which the kernel keeps as the mode only. A plain removal would
// leave the mask's bits as the group's, opening the node to the owning group, until the caller
// sets its mode again, wider than either the old ACL or the final mode may give it. 0, or the
// errno of a failure that left the ACL on.
template <typename Node>
int TakeOffAccessAcl(Node out, std::vector<char>& buffer) {
  const ssize_t length =
      Fetch(buffer, [out](char* value, size_t size) { return out.Get(kAccessAcl, value, size); });
  if (length < 0) return Absent(errno) ? 0 : errno;
  const AclBits acl = ReadAcl(buffer.data(), static_cast<size_t>(length));
  if (acl.valid) {
    std::string base;
    const auto put = [&base](uint32_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) base.push_back(static_cast<char>(value >> (8 * i)));
    };
    put(2, 4);
    for (const auto& [tag, bits] :
         {std::pair{0x01u, acl.owner}, {0x04u, acl.group}, {0x20u, acl.other}}) {
      put(tag, 2);
      put(bits, 2);
      put(~0u, 4);
    }
    out.Set(kAccessAcl, base.data(), base.size());
  }
  return out.Remove(kAccessAcl) == 0 || Absent(errno) ? 0 : errno;
}

}  // namespace

std::string RefusedAclReason(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP ? kNoAclsHere : std::strerror(error);
}

int MetadataCopier::CopyAttributes(int in, int out, bool exact, AclCopy& acl) {
  return CopyAttributesOf(FdNode{in}, FdNode{out}, exact, acl);
}

int MetadataCopier::CopyAttributes(const char* in, const char* out, bool exact, AclCopy& acl) {
  return CopyAttributesOf(PathNode{in}, PathNode{out}, exact, acl);
}

template <typename Node>
int MetadataCopier::CopyAttributesOf(Node in, Node out, bool exact, AclCopy& acl) {
  acl = AclCopy{};
  const ssize_t listed =
      Fetch(names_, [in](char* list, size_t size) { return in.List(list, size); });
  // Not knowing the source's attributes would take all of the copy's off: a source on a file
  // system without attributes has none, any other failure is reported.
  if (listed < 0 && !Absent(errno)) return errno;
  // What the source lacks goes first, so that no instant has both the old attributes and the new.
  bool accessLeft = false;  // the destination's access ACL, to be replaced by the source's
  if (exact) {
    const ssize_t present =
        Fetch(present_, [out](char* list, size_t size) { return out.List(list, size); });
    if (present < 0 && !Absent(errno)) return errno;
    for (ssize_t at = 0; at < present;) {
      const char* name = present_.data() + at;
      at += static_cast<ssize_t>(std::strlen(name)) + 1;
      const bool access = std::strcmp(name, kAccessAcl) == 0;
      if (Listed(names_, listed, name)) {
        accessLeft = accessLeft || access;
      } else if (access) {
        if (const int failure = TakeOffAccessAcl(out, value_)) return failure;
        acl.changed = true;
      } else if (!SystemsOwn(name) && out.Remove(name) != 0 && !Absent(errno) &&
                 (Grants(name) || !Refused(errno))) {
        return errno;
      }
    }
  }
  for (ssize_t at = 0; at < listed;) {
    const char* name = names_.data() + at;
    at += static_cast<ssize_t>(std::strlen(name)) + 1;
    const ssize_t length =
        Fetch(value_, [in, name](char* value, size_t size) { return in.Get(name, value, size); });
    if (length < 0) continue;  // gone meanwhile
    const bool access = std::strcmp(name, kAccessAcl) == 0;
    if (out.Set(name, value_.data(), static_cast<size_t>(length)) == 0) {
      acl.changed = acl.changed || access;
      accessLeft = accessLeft && !access;
      continue;
    }
    const int error = errno;
    if (!Refused(error)) return error;
    // An ACL a mode cannot say, refused: the entry is reported, and the copy's owning group gets
    // what the ACL gave it, not what its mask gave every entry.
    if (access) {
      const AclBits bits = ReadAcl(value_.data(), static_cast<size_t>(length));
      if (!bits.valid || bits.extended) {
        acl.refused = error;
        acl.groupBits = bits.valid ? bits.group << 3 : 0;
      }
    } else if (std::strcmp(name, kDefaultAcl) == 0) {
      acl.refused = error;
    }
  }
  // An access ACL of the source that could not be written does not leave the destination's in
  // force either: then the mode alone decides.
  if (accessLeft) {
    if (const int failure = TakeOffAccessAcl(out, value_)) return failure;
    acl.changed = true;
  }
  return 0;
}

}  // namespace qelrestore::posix
