// Taking a restore back on Windows: each kept copy copied beside its name, given its times, access
// list and attributes and moved over the name; what the run added removed, deepest first; the
// folders it changed given back their times, access lists and attributes.
#include <cstdio>
#include <string>
#include <vector>

#include "host/windows/windows_errors.h"
#include "host/windows/windows_undo_set.h"
#include "host/windows/windows_walk.h"

namespace qelrestore::windows {

namespace {

// True when the name holds what the set kept there: the copy put back, with its size, last-write
// time and attributes.
bool AlreadyBack(const UndoRecord& record, const std::optional<EntryState>& now) {
  return now && now->attributes == (record.attributes & kComparedAttributes) &&
         now->size == record.size && now->written == TicksOf(record.written);
}

// The folder of a path below the installation ("" for one at its top).
std::wstring FolderOf(const std::wstring& relative) {
  const size_t slash = relative.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : relative.substr(0, slash);
}

// Gives the open entry the times, access list and attributes of `record`. 0 or the system's error.
DWORD PutAttributesBack(const std::wstring& path, const UndoRecord& record) {
  {
    UniqueFileHandle entry(::CreateFileW(
        path.c_str(), MAXIMUM_ALLOWED, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    if (!entry.valid()) return ::GetLastError();
    // An access list already as it was is left alone: writing it again would spread the
    // parent's inherited entries anew, for nothing.
    std::wstring now;
    if (ReadSecurity(path, now) != ERROR_SUCCESS || now != record.security) {
      if (const DWORD error = WriteSecurity(entry.get(), record.security); error != ERROR_SUCCESS) {
        return error;
      }
    }
    if (!::SetFileTime(entry.get(), &record.created, &record.accessed, &record.written)) {
      return ::GetLastError();
    }
  }
  const DWORD attributes = record.attributes & kSettableAttributes;
  if (!::SetFileAttributesW(path.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
    return ::GetLastError();
  }
  return ERROR_SUCCESS;
}

// Copies the kept copy of `record` beside its name, gives it what it had, and moves it over the
// name: a reader finds the file the restore left or the one before it, never a mix. 0 or the
// system's error.
DWORD PutBack(const std::wstring& kept, const std::wstring& path, const UndoRecord& record) {
  wchar_t name[24];
  std::swprintf(name, 24, L".qelrestore-u%05lu", ::GetCurrentProcessId() % 100000);
  const std::wstring beside = Joined(FolderOf(path), name);
  ::SetFileAttributesW(beside.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(beside.c_str());  // one an undo killed before left
  if (!::CopyFileExW(kept.c_str(), beside.c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS)) {
    return ::GetLastError();
  }
  DWORD error = PutAttributesBack(beside, record);
  // A read-only name cannot be replaced: what stands there loses that bit just before it goes.
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (error == ERROR_SUCCESS &&
      !::MoveFileExW(beside.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = ::GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    ::SetFileAttributesW(beside.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(beside.c_str());
  }
  return error;
}

// Removes the temporary files an undo killed in the folder left there; how many.
uint64_t RemoveLeftovers(const std::wstring& folder) {
  uint64_t removed = 0;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(Joined(folder, L".qelrestore-u*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    const std::wstring path = Joined(folder, found.cFileName);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && ::DeleteFileW(path.c_str())) {
      ++removed;
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return removed;
}

}  // namespace

UndoCheck CheckUndo(const std::wstring& set, const std::wstring& installation) {
  UndoCheck check;
  UndoItem item;
  if (!ReadItem(set, installation, item)) return check;
  check.covered = true;
  const std::wstring target = Extended(installation);
  for (size_t i = 0; i < item.records.size(); ++i) {
    const UndoRecord& record = item.records[i];
    if (record.kind == L'D') continue;
    const std::optional<EntryState> now = StateAt(Joined(target, record.path));
    bool changed = false;
    if (record.kind == L'K') {
      changed = !AlreadyBack(record, now) && item.left && now != (*item.left)[i];
      ++check.files;
      check.bytes += record.size;
    } else {
      // A folder the run added changes with what is put in it; it is removed only when empty.
      const bool folder = now && (now->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                          (now->attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      changed = now && !folder && item.left && now != (*item.left)[i];
      ++check.added;
    }
    if (!changed) continue;
    NoteNamed(check.changed, check.changedCount, Joined(installation, record.path));
  }
  return check;
}

UndoneFolder PutBackKept(const std::wstring& set, const std::wstring& installation) {
  UndoneFolder undone;
  UndoItem item;
  if (!ReadItem(set, installation, item)) return undone;
  const std::wstring target = Extended(installation);
  const std::wstring tree = Joined(item.folder, L"tree");
  const auto fail = [&](const UndoRecord& record, std::wstring reason) {
    NoteNamed(undone.notPutBack, undone.notPutBackCount,
              NotCopied{Joined(installation, record.path), std::move(reason)});
  };
  PlainWays ways(target);
  for (const UndoRecord& record : item.records) {
    if (record.kind != L'K') continue;
    const std::wstring path = Joined(target, record.path);
    const std::optional<EntryState> now = StateAt(path);
    if (!ways.To(record.path)) {
      fail(record, L"the folder it was in is gone, or a link stands in its place");
    } else if (now && (now->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
               (now->attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      fail(record, L"a folder stands where it was");
    } else if (const DWORD error = AlreadyBack(record, now)
                                       ? PutAttributesBack(path, record)
                                       : PutBack(Joined(tree, record.path), path, record);
               error != ERROR_SUCCESS) {
      fail(record, ReasonOf(error));
    } else {
      ++undone.files;
    }
  }
  // What the run added goes, deepest first, so that the folders it made are empty by their turn.
  for (auto record = item.records.rbegin(); record != item.records.rend(); ++record) {
    if (record->kind != L'A') continue;
    const std::wstring path = Joined(target, record->path);
    const std::optional<EntryState> now = StateAt(path);
    if (!now) continue;
    if (!ways.To(record->path)) {
      fail(*record, L"the folder it was in is gone, or a link stands in its place");
      continue;
    }
    // A link or junction is removed itself, never what it leads to.
    const bool folder = (now->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder) ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (folder ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str())) {
      ++undone.removed;
    } else if (const DWORD error = ::GetLastError(); error != ERROR_DIR_NOT_EMPTY) {
      fail(*record, ReasonOf(error));
    }
  }
  for (auto record = item.records.rbegin(); record != item.records.rend(); ++record) {
    if (record->kind != L'D') continue;
    const std::wstring path = Joined(target, record->path);
    const std::optional<EntryState> now = StateAt(path);
    if (!ways.To(record->path) || !now || !IsWalkedFolder(now->attributes)) {
      fail(*record, L"the folder is gone, or a link stands in its place");
      continue;
    }
    undone.removed += RemoveLeftovers(path);
    if (const DWORD error = PutAttributesBack(path, *record); error != ERROR_SUCCESS) {
      fail(*record, ReasonOf(error));
    }
  }
  undone.outcome = undone.notPutBackCount == 0 ? CopyOutcome::kComplete : CopyOutcome::kIncomplete;
  return undone;
}

}  // namespace qelrestore::windows
