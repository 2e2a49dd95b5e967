// The POSIX form of the undo set (host/undo_set.h), over native paths. Per installation folder,
// a folder of the set named after the installation folder's identity holds:
//   "entries": one line per entry the copy would replace (K), add (A) or change (D, a folder),
//              with what it was: type, size, mode, owner, group and times;
//   "tree":    the kept files, links and special files at their paths below the installation
//              folder: the installation's own nodes, linked there (no data copied), or copies
//              where the set lies on another file system; and a folder for each changed folder,
//              holding its extended attributes and ACLs;
//   "left":    after the run's last change, what the run left under each entry's path.
// Every path is opened one name at a time from a folder descriptor, none of its links followed.
#pragma once

#include <string>
#include <vector>

#include "host/undo_set.h"

namespace qelrestore::posix {

void StartUndoSet(const std::string& set);
// `ownFiles` as CopyOptions takes them.
KeptForUndo KeepReplaced(const std::string& set, const std::string& source,
                         const std::string& installation, const std::vector<std::string>& ownFiles);
void NoteLeft(const std::string& set, const std::string& installation);
// The entries these two name (changed, not put back) are named by their paths below the
// installation folder, '/' between names.
UndoCheck CheckUndo(const std::string& set, const std::string& installation);
UndoneFolder PutBackKept(const std::string& set, const std::string& installation);
void DropUndoSet(const std::string& set);

}  // namespace qelrestore::posix
