// The undo set: what a keeping restore replaced, changed or added in each installation folder,
// kept so that the restore can be taken back. One set at a time, in a folder of the kept
// settings' folder that only the run's account may enter; a keeping run drops the earlier set
// when it starts. Per installation folder the set holds each file, link and special file the copy
// would replace, as it was (its content, owner, mode, ACL, extended attributes and times), the
// owner, mode, ACL, attributes and times of each folder the copy would change, and the names of
// the entries the copy would add; after the run's last change, what the run left there, so that an
// undo can tell a file changed since. Nothing in the set, and nothing of the installation, is ever
// followed through a link.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/folder_copy.h"

namespace qelrestore {

// The undo set's folder, in the kept settings' folder.
inline constexpr wchar_t kUndoSetName[] = L"qelrestore.undo";

// What a keeping run kept of one installation folder before its copy.
struct KeptForUndo {
  uint64_t files = 0;   // files, links and special files kept as they were
  uint64_t bytes = 0;   // their bytes
  uint64_t added = 0;   // entries the copy would add, to be removed by an undo
  bool copied = false;  // the set lies on another file system (or the host links nothing): the
                        // kept files are copies, not the files themselves
  // Entries that could not be kept (the copy leaves them alone too: see the host's form).
  std::vector<NotCopied> notKept;
  uint64_t notKeptCount = 0;
};

// What an undo of one installation folder would find.
struct UndoCheck {
  bool covered = false;  // the set holds this installation folder
  // Entries the run left that changed since (contents, times, or another entry in their place):
  // the first kNotCopiedNamed, and the count of all.
  std::vector<std::wstring> changed;
  uint64_t changedCount = 0;
  uint64_t files = 0;  // files, links and special files the undo would put back
  uint64_t bytes = 0;  // their bytes
  uint64_t added = 0;  // entries of the run the undo would remove
};

// How the undo of one installation folder ended.
struct UndoneFolder {
  CopyOutcome outcome = CopyOutcome::kIncomplete;
  std::vector<NotCopied> notPutBack;  // the first kNotCopiedNamed
  uint64_t notPutBackCount = 0;
  uint64_t files = 0;    // put back
  uint64_t removed = 0;  // entries of the run removed
};

// Names one entry of a list the host names the first kNotCopiedNamed of, and counts it.
template <typename Entry>
void NoteNamed(std::vector<Entry>& named, uint64_t& count, Entry entry) {
  if (named.size() < kNotCopiedNamed) named.push_back(std::move(entry));
  ++count;
}

class UndoKeeper {
 public:
  virtual ~UndoKeeper() = default;
  // Drops the earlier undo set at `set` (a path) and makes a new empty one, private to the run's
  // account. Throws when it cannot.
  virtual void StartUndoSet(const std::wstring& set) = 0;
  // Keeps in the set what copying the folder `source` over the folder `installation` will replace,
  // change or add (never `ownFiles`, as FolderCopier takes them), durably before it returns; the
  // copy that follows must replace what it replaces, never change a kept file in place. Throws
  // when the set cannot be written: the copy must not run then.
  virtual KeptForUndo KeepReplaced(const std::wstring& set, const std::wstring& source,
                                   const std::wstring& installation,
                                   const std::vector<std::wstring>& ownFiles) = 0;
  // After the run's last change to the installation folders: notes in the set what the run left
  // in `installation`. An undo of a set whose run never got here puts back without that check.
  virtual void NoteLeft(const std::wstring& set, const std::wstring& installation) = 0;
  // What an undo of `installation` would do, and what it finds changed; changes nothing.
  virtual UndoCheck CheckUndo(const std::wstring& set, const std::wstring& installation) = 0;
  // Puts back what the set holds of `installation`, and removes what the run added (a folder it
  // made only once empty). The set stays as it is; an undo stopped half-way can be run again.
  virtual UndoneFolder PutBackKept(const std::wstring& set, const std::wstring& installation) = 0;
  // Removes the whole set, once the undo is complete. Throws when it cannot.
  virtual void DropUndoSet(const std::wstring& set) = 0;
};

}  // namespace qelrestore
