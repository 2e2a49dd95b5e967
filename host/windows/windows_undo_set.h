// The Windows form of the undo set (host/undo_set.h). The shell's copy writes over files in place,
// so before it runs every file it will replace is copied into the set. The set's folder is made
// with an access list that lets in the run's account alone, and every kept copy gets that list.
// Per installation folder, a folder of the set named after the installation folder's volume and
// file index holds:
//   "entries": one line per entry the copy would replace (K), add (A) or change (D, a folder),
//              with what it was: attributes, size, times and security descriptor;
//   "tree":    the kept copies, at their paths below the installation folder;
//   "left":    after the run's last change, what the run left under each entry's path.
// No entry is kept, checked or put back through a link or junction standing on its way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/undo_set.h"
#include "host/windows/windows_api.h"

namespace qelrestore::windows {

void StartUndoSet(const std::wstring& set);
KeptForUndo KeepReplaced(const std::wstring& set, const std::wstring& source,
                         const std::wstring& installation,
                         const std::vector<std::wstring>& ownFiles);
void NoteLeft(const std::wstring& set, const std::wstring& installation);
UndoCheck CheckUndo(const std::wstring& set, const std::wstring& installation);
UndoneFolder PutBackKept(const std::wstring& set, const std::wstring& installation);
void DropUndoSet(const std::wstring& set);

// The attributes an undo compares: those an entry's owner sets, and its type.
inline constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                             FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
inline constexpr DWORD kComparedAttributes =
    kSettableAttributes | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

// What the set holds of one entry (windows_undo_record.cpp).
struct UndoRecord {
  wchar_t kind = L'K';  // K kept, A added, D a folder changed
  DWORD attributes = 0;
  uint64_t size = 0;
  FILETIME created{}, accessed{}, written{};
  std::wstring security;  // the owner, group and access list, as a descriptor string; or empty
  std::wstring path;      // below the installation folder, "\" between names; empty: the folder
};

// What stood at an entry's path: its attributes, size and last-write time; nothing when nothing.
struct EntryState {
  DWORD attributes = 0;
  uint64_t size = 0;
  uint64_t written = 0;
  bool operator==(const EntryState&) const = default;
};

// One installation folder's part of the set.
struct UndoItem {
  std::wstring folder;  // the item's folder in the set
  std::vector<UndoRecord> records;
  std::optional<std::vector<std::optional<EntryState>>> left;  // when the run noted it
};

// The item's folder for `installation`; nothing when the installation folder has no identity.
std::optional<std::wstring> ItemFolder(const std::wstring& set, const std::wstring& installation);
// Writes the item's records durably (a file beside, flushed, moved over the name).
void WriteRecords(const UndoItem& item);
void WriteLeft(const UndoItem& item);
// Reads the item of `installation`; false when the set does not cover it.
bool ReadItem(const std::wstring& set, const std::wstring& installation, UndoItem& item);

// The state of the entry at `path` (an extended path), the link itself where one stands there.
std::optional<EntryState> StateAt(const std::wstring& path);
// Tells, for entries below `root` (an extended path), whether each folder on the way from `root`
// to the entry is a plain folder, no link or junction among them; each folder is looked at once.
class PlainWays {
 public:
  explicit PlainWays(std::wstring root) : root_(std::move(root)) {}
  bool To(const std::wstring& relative);

 private:
  std::wstring root_;
  std::unordered_map<std::wstring, bool> plain_;
};

// The owner, group and access list of the entry at `path` (not followed through a link) as a
// descriptor string, or the system's error.
DWORD ReadSecurity(const std::wstring& path, std::wstring& security);
// Gives the open entry the access list (and, where the system lets the run, the owner and group)
// of `security`. 0 or the system's error.
DWORD WriteSecurity(HANDLE entry, const std::wstring& security);
// A descriptor that lets the run's account alone in (and, inherited, into what a folder holds).
std::wstring PrivateSecurity();

}  // namespace qelrestore::windows
