// What the POSIX undo set writes of each entry, and the walks it shares between its keeping and
// its undo.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "copy/copy_node.h"

namespace qelrestore::posix {

// One line of "entries".
struct UndoEntry {
  char kind = 'K';      // K kept as it was, A added by the copy, D a folder the copy changes
  char type = 'f';      // f file, l link, s special file, d folder
  bool copied = false;  // K: the tree holds a copy, not the node itself
  uint64_t size = 0;
  uint64_t inode = 0;  // K: the node kept (itself, where not copied)
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  struct timespec atime {};
  struct timespec mtime {};
  std::string path;  // below the installation folder, '/' between names; "" for the folder itself
};

// What "left" says of one entry's path after the run: nothing there, or the node and its state.
struct LeftState {
  bool present = false;
  uint64_t inode = 0, size = 0;
  int64_t modified = 0, changed = 0;
  friend bool operator==(const LeftState&, const LeftState&) = default;
};

char TypeOf(const struct stat& info);
std::string FormatEntry(const UndoEntry& entry);
bool ParseEntry(std::string_view line, UndoEntry& entry);
LeftState StateOf(const struct stat* info);
std::string FormatLeft(const LeftState& state);
bool ParseLeft(std::string_view line, LeftState& state);

// The lines of the file `name` in the folder `folder`; false when it cannot be read.
bool ReadLines(int folder, const char* name, std::vector<std::string>& lines);
// Writes `text` as the file `name` of `folder` (a temporary file renamed over it, made durable);
// throws Error when it cannot.
void WriteWhole(int folder, const char* name, const std::string& text);

// The name of an installation folder's part of the set.
std::string ItemName(const struct stat& installation);
// Opens the installation folder's part of the set; invalid when the set holds none.
UniqueFd OpenItem(const std::string& set, const std::string& installation,
                  UniqueFd* root = nullptr);

// Opens the folder `relative` below the folder `root`, one name at a time, none followed through
// a link; with `make`, folders that are missing are made (mode 0700). Invalid where it fails.
UniqueFd OpenBelow(int root, std::string_view relative, bool make = false);
// The folder part of `path` ("" for a name in the root) and its last name.
std::string_view FolderOf(std::string_view path);
std::string NameOf(std::string_view path);

// Removes the entry `name` of `folder`, and everything in it when it is a folder, no link
// followed; false when something is left.
bool RemoveTree(int folder, const char* name);

// A folder descriptor kept for the entries of one folder after another, as they come in walk
// order.
class FolderCache {
 public:
  explicit FolderCache(int root) : root_(root) {}
  int Open(std::string_view folder);

 private:
  int root_;
  std::string path_ = "\x01";
  UniqueFd fd_;
};

}  // namespace qelrestore::posix

namespace qelrestore::posix {

class FileDataCopier;
class MetadataCopier;

// Makes `toName` in the folder `to` a copy of the file or link `fromName` of the folder `from`
// (`info` its lstat): content, owner and group (where the run may), extended attributes and ACLs,
// mode and times. 0, or the errno of the failure (ENOTSUP for a special file).
int CopyNode(int from, const char* fromName, const struct stat& info, int to, const char* toName,
             FileDataCopier& data, MetadataCopier& metadata);

}  // namespace qelrestore::posix
