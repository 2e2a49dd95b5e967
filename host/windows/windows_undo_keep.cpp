// Keeping what the shell's copy will replace: the set made private, each file the copy will write
// over copied into it and flushed, the entries written durably before the copy begins.
#include <string>
#include <unordered_set>
#include <vector>

#include "host/windows/windows_errors.h"
#include "host/windows/windows_undo_set.h"
#include "host/windows/windows_walk.h"

namespace qelrestore::windows {

namespace {

// Removes what the folder holds and the folder; a link or junction in it is removed, not followed.
void RemoveTree(const std::wstring& folder) {
  std::vector<std::pair<std::wstring, DWORD>> entries;
  Walk(folder, [&](const std::wstring& relative, const WIN32_FIND_DATAW* found, bool) {
    if (found != nullptr) entries.emplace_back(Joined(folder, relative), found->dwFileAttributes);
    return found != nullptr;
  });
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if ((entry->second & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ::RemoveDirectoryW(entry->first.c_str());
    } else {
      ::SetFileAttributesW(entry->first.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(entry->first.c_str());
    }
  }
  if (!::RemoveDirectoryW(folder.c_str())) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      throw Win32Error(error, L"RemoveDirectoryW", folder);
    }
  }
}

// Makes the folder, and gives it (one already there too) the access list of `security`: set on
// the folder itself, not only asked of its making, which not every system honours.
void MakeFolder(const std::wstring& folder, const std::wstring& security) {
  if (!::CreateDirectoryW(folder.c_str(), nullptr)) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) throw Win32Error(error, L"CreateDirectoryW", folder);
  }
  UniqueFileHandle made(::CreateFileW(
      folder.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!made.valid()) throw Win32Error(::GetLastError(), L"CreateFileW", folder);
  if (const DWORD error = WriteSecurity(made.get(), security); error != ERROR_SUCCESS) {
    throw Win32Error(error, L"SetSecurityInfo", folder);
  }
}

// What the entry at `path` is, for its record.
UndoRecord RecordOf(wchar_t kind, const WIN32_FILE_ATTRIBUTE_DATA& data, std::wstring relative) {
  UndoRecord record;
  record.kind = kind;
  record.attributes = data.dwFileAttributes;
  record.size = SizeOf(data.nFileSizeHigh, data.nFileSizeLow);
  record.created = data.ftCreationTime;
  record.accessed = data.ftLastAccessTime;
  record.written = data.ftLastWriteTime;
  record.path = std::move(relative);
  return record;
}

// The set's folders on the way to a kept copy, each made once.
class TreeFolders {
 public:
  TreeFolders(std::wstring tree, std::wstring security)
      : tree_(std::move(tree)), security_(std::move(security)) {}
  void MakeWayTo(const std::wstring& relative) {
    for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
         slash = relative.find(L'\\', slash + 1)) {
      const std::wstring folder = relative.substr(0, slash);
      if (made_.insert(folder).second) MakeFolder(Joined(tree_, folder), security_);
    }
  }

 private:
  std::wstring tree_;
  std::wstring security_;
  std::unordered_set<std::wstring> made_;
};

// Copies the entry at `from` (a link as the link it is) to `to`, lets only the run's account in
// and flushes it to the disk. 0 or the system's error.
DWORD KeepCopy(const std::wstring& from, const std::wstring& to, DWORD attributes,
               const std::wstring& security) {
  if (!::CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, COPY_FILE_COPY_SYMLINK)) {
    return ::GetLastError();
  }
  // The copy's own attributes are not what is put back (the record holds those), and a read-only
  // copy could not be opened to be flushed.
  ::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
  const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  UniqueFileHandle copy(::CreateFileW(
      to.c_str(), (link ? 0 : GENERIC_WRITE) | READ_CONTROL | WRITE_DAC, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!copy.valid()) return ::GetLastError();
  if (const DWORD error = WriteSecurity(copy.get(), security); error != ERROR_SUCCESS) {
    return error;
  }
  if (!link && !::FlushFileBuffers(copy.get())) return ::GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace

void StartUndoSet(const std::wstring& set) {
  DropUndoSet(set);
  MakeFolder(Extended(set), PrivateSecurity());
}

KeptForUndo KeepReplaced(const std::wstring& set, const std::wstring& source,
                         const std::wstring& installation,
                         const std::vector<std::wstring>& ownFiles) {
  KeptForUndo kept;
  kept.copied = true;  // the shell's copy writes over files in place: each is kept as a copy
  UndoItem item;
  const std::optional<std::wstring> folder = ItemFolder(set, installation);
  if (!folder) throw Win32Error(ERROR_PATH_NOT_FOUND, L"GetFileInformationByHandle", installation);
  item.folder = *folder;
  const std::wstring security = PrivateSecurity();
  const std::wstring tree = Joined(item.folder, L"tree");
  MakeFolder(item.folder, security);
  MakeFolder(tree, security);
  TreeFolders treeFolders(tree, security);
  const std::wstring target = Extended(installation);
  const auto notKept = [&](const std::wstring& relative, std::wstring reason) {
    NoteNamed(kept.notKept, kept.notKeptCount,
              NotCopied{Joined(installation, relative), std::move(reason)});
  };
  // Records the entry at `relative` as it is: its times, attributes and security.
  const auto record = [&](wchar_t kind, const WIN32_FILE_ATTRIBUTE_DATA& data,
                          const std::wstring& relative) {
    UndoRecord entry = RecordOf(kind, data, relative);
    if (const DWORD error = ReadSecurity(Joined(target, relative), entry.security);
        error != ERROR_SUCCESS) {
      notKept(relative, ReasonOf(error));
      return false;
    }
    if (kind == L'K') {
      treeFolders.MakeWayTo(relative);
      if (const DWORD error = KeepCopy(Joined(target, relative), Joined(tree, relative),
                                       data.dwFileAttributes, security);
          error != ERROR_SUCCESS) {
        notKept(relative, ReasonOf(error));
        return false;
      }
      ++kept.files;
      kept.bytes += entry.size;
    }
    item.records.push_back(std::move(entry));
    return true;
  };
  WIN32_FILE_ATTRIBUTE_DATA root{};
  if (!::GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &root)) {
    throw Win32Error(::GetLastError(), L"GetFileAttributesExW", installation);
  }
  record(L'D', root, L"");
  // The entries the copy meets, as it meets them; what it will not copy (its own files, names
  // twice in two letter cases, a folder where a file goes or the other way round) it leaves as
  // they are.
  Walk(source, [&](const std::wstring& relative, const WIN32_FIND_DATAW* found, bool twin) {
    if (found == nullptr || twin || IsOwnFile(ownFiles, relative)) return false;
    WIN32_FILE_ATTRIBUTE_DATA there{};
    if (!::GetFileAttributesExW(Joined(target, relative).c_str(), GetFileExInfoStandard, &there)) {
      ++kept.added;
      UndoRecord added;
      added.kind = L'A';
      added.path = relative;
      item.records.push_back(std::move(added));
      return IsWalkedFolder(found->dwFileAttributes);
    }
    const bool folderThere = (there.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (IsWalkedFolder(found->dwFileAttributes)) {
      if (!folderThere) return false;
      if (!IsWalkedFolder(there.dwFileAttributes)) {
        // The shell would copy into whatever it leads to, outside what the set can take back.
        notKept(relative, L"a link or junction stands where the backup has a folder");
        return false;
      }
      return record(L'D', there, relative);
    }
    if (IsWalkedFolder(there.dwFileAttributes)) return false;
    record(L'K', there, relative);
    return false;
  });
  WriteRecords(item);
  return kept;
}

void NoteLeft(const std::wstring& set, const std::wstring& installation) {
  UndoItem item;
  if (!ReadItem(set, installation, item)) return;
  const std::wstring target = Extended(installation);
  item.left.emplace();
  for (const UndoRecord& record : item.records) {
    item.left->push_back(record.kind == L'D' ? std::nullopt : StateAt(Joined(target, record.path)));
  }
  WriteLeft(item);
}

void DropUndoSet(const std::wstring& set) {
  const std::wstring folder = Extended(set);
  const std::wstring old = folder + L".old";
  RemoveTree(old);
  // Renamed first, so that a set half removed is never taken for a whole one.
  if (!::MoveFileExW(folder.c_str(), old.c_str(), 0)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    throw Win32Error(error, L"MoveFileExW", set);
  }
  RemoveTree(old);
}

}  // namespace qelrestore::windows
