// The copy's record, kept from one run to the next in the state folder: for each file of a
// destination folder, the backup file it was copied from and the copy made, each as the kernel
// describes it (device, inode, size, modification and change time). A re-run keeps a file unread
// only when the record proves it is the run's own copy of that very backup file with nothing
// changed on either side since: any change of a file's content, times, owner, mode, ACL or
// attributes moves its change time, and a file put in another's place has another inode. No
// record, a damaged one, or one that does not match, and the bytes are compared.
//
// One record file per destination folder, named after the folder's identity, in a folder named
// after the installation folder's identity: 88 bytes a file, read when the copy enters the folder
// and replaced whole (a temporary file renamed over it) when the copy leaves it, so that a kill
// leaves each folder's earlier record or its new one, and memory grows with a folder's width only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "copy/copy_node.h"

namespace qelrestore::posix {

class FolderRecord {
 public:
  // The record of the destination folder `folder`, read from the open folder `records` (invalid:
  // none is kept); empty where there is none or it is damaged.
  FolderRecord(int records, const struct stat& folder);

  // True when the record holds `name` as a copy of `backup` that is `copy` as it stands now.
  bool Proves(std::string_view name, const struct stat& backup, const struct stat& copy) const;
  // Notes the copy `copy` made (or found up to date) of `backup` under `name`; by any worker.
  void Note(std::string_view name, const struct stat& backup, const struct stat& copy);
  // Puts what was noted in place of the earlier record, whole; nothing when they are the same. A
  // record that cannot be written is left out: the next run compares those files.
  void Save();

 private:
  struct Side {
    uint64_t device, inode, size;
    int64_t modified, changed;
    friend bool operator==(const Side&, const Side&) = default;
  };
  struct Entry {
    uint64_t name;  // the name's hash
    Side backup, copy;
    friend bool operator==(const Entry&, const Entry&) = default;
  };
  static Side SideOf(const struct stat& info);
  static uint64_t HashOf(std::string_view bytes);

  int records_;
  std::string fileName_;
  std::vector<Entry> earlier_;  // sorted by name
  std::mutex noteLock_;
  std::vector<Entry> noted_;
};

// Opens the folder below `recordRoot` (made when missing) that keeps the records of the tree of
// the destination folder `destination`; invalid when it cannot be made, or is not the run's own
// and private (then nothing is kept unread on a record's word).
UniqueFd OpenRecords(const std::string& recordRoot, const struct stat& destination);

// Removes the records in `records` but those of the folders `kept` (sorted): the folders a
// complete copy did not visit are gone from the backup or the destination.
void DropOtherRecords(int records, const std::vector<NodeId>& kept);

}  // namespace qelrestore::posix
