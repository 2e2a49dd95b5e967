// What a copy keeps of a node besides its content: owner and group, extended attributes (POSIX
// ACLs among them, copied as the attributes they are stored as), permission bits and times.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace qelrestore::posix {

// Why an entry is named when the file system of its copy refuses the ACL it needs.
inline constexpr char kNoAclsHere[] = "the file system here keeps no ACLs";

// What MetadataCopier::CopyAttributes did to a node's ACLs.
struct AclCopy {
  // An access ACL was written or taken off, which moves the group bits: the mode is to be set
  // again.
  bool changed = false;
  // The errno with which the destination refused an ACL of the source that says more than a mode
  // can (an access ACL with named users or groups or a mask, or a folder's default ACL), else 0.
  // The copy then lacks what the ACL kept out or let in, and the entry is reported
  // (RefusedAclReason).
  int refused = 0;
  // The group bits the copy may have: with an access ACL refused, those its owning group had.
  // The mode's group bits are the mask's, which also served the named entries now lost: given to
  // the owning group, they would open the copy to an account the backup kept out.
  mode_t groupBits = S_IRWXG;
  mode_t Narrow(mode_t mode) const { return mode & (static_cast<mode_t>(~S_IRWXG) | groupBits); }
};

// The reason an entry is named for when its ACL was refused with `error`.
std::string RefusedAclReason(int error);

class MetadataCopier {
 public:
  MetadataCopier();

  // Gives the node of `fd` (any descriptor, O_PATH ones too) the owner and group of `source`
  // where this run may set them; otherwise the run's own. Both are always set, never left to the
  // folder (a set-group-ID folder hands its group to what is made in it). Returns the permission
  // bits the copy then gets: the set-user-ID and set-group-ID bits only where the owner and group
  // are the source's, and no group bits where the group is neither the source's nor the run's.
  mode_t SetOwnerAndGetMode(int fd, const struct stat& source) const;

  // Takes off a new node the ACLs it inherited from its folder's default ACL, before anything
  // (a chmod) can make their entries effective. False when they cannot be taken off.
  static bool DropInheritedAcls(int fd);

  // True when this run may give a copy another owner and group than its own.
  bool MaySetOwner() const { return root_; }

  // True when `node` is owned by this run's account, as every node the run makes is until it is
  // given its owner: a node another account put in its place under its name is not (no account
  // but root makes nodes owned by another).
  bool OwnedByRun(const struct stat& node) const { return node.st_uid == uid_; }

  // True when the owner and group of `existing` already are those the copy would give it (for a
  // run that may not set them: the group is the source's or the run's own).
  bool OwnerInLine(const struct stat& existing, const struct stat& source) const;

  // Gives `out` exactly the extended attributes of `in`, as a fresh copy has them: with `exact`,
  // every one `in` lacks is first taken off `out` (an attribute or ACL the backup no longer has,
  // one another hand put on an earlier copy, the ACLs a new node inherits from its folder's
  // default ACL, even one given to the folder after the copy looked at it), but for the labels
  // the system gives every node (security.* but security.capability). Then every attribute of
  // `in` is set. One this run may not set (security.* and trusted.* without privilege) or that
  // the destination's file system refuses is left out: a refused attribute is no reason to leave
  // the file itself out. An ACL that says more than the mode can is not left out in silence
  // (`acl.refused`), nor may the mode give the owning group what only the ACL's mask gave others
  // (`acl.Narrow`). Returns 0, or the errno of a failure that left the node short of an attribute
  // it should have (no space), or with an ACL or capability it should not have.
  int CopyAttributes(int in, int out, bool exact, AclCopy& acl);
  // The same between two nodes named by paths that lead to them whatever they are (FIFOs and
  // device nodes, which give no descriptor to read attributes through: /proc/self/fd/N of an
  // O_PATH descriptor).
  int CopyAttributes(const char* in, const char* out, bool exact, AclCopy& acl);

  // True when `in` has any extended attribute; a failing query counts as none.
  bool HasAttributes(int in);

  // True when the folder `fd` has a default ACL, which its new entries inherit.
  static bool HasDefaultAcl(int fd);

  // Which ACLs the node `fd` has, from one listing of its attributes. When they cannot be told,
  // both are taken to be there, which costs a refused removal at most.
  void AclsOf(int fd, bool& access, bool& defaultAcl);

 private:
  bool root_;
  uid_t uid_;
  gid_t gid_;
  template <typename Node>
  int CopyAttributesOf(Node in, Node out, bool exact, AclCopy& acl);

  std::vector<char> names_;
  std::vector<char> present_;  // the destination's names
  std::vector<char> value_;
};

}  // namespace qelrestore::posix
