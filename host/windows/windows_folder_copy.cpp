#include "host/windows/windows_folder_copy.h"

#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/windows/windows_api.h"
#include "host/windows/windows_text.h"

namespace qelrestore::windows {

namespace {

// `folder` and `name` joined by one backslash (a drive's root already ends in one).
std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
  if (name.empty()) return folder;
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L'\\' + name;
}

// The path in its extended form (\\?\C:\... or \\?\UNC\server\...), which reaches entries whose
// path is longer than MAX_PATH, the very ones the shell may have left out. The path as given when
// it cannot be made absolute.
std::wstring Extended(std::wstring path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  // "D:" alone is the current folder of drive D; the backup folder "D:" is the drive's root.
  if (path.size() == 2 && path[1] == L':') path += L'\\';
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD got = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (got == 0 || got >= needed) return path;
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// A folder whose entries are walked; a reparse point (a link or junction) is not walked.
bool IsWalkedFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

uint64_t SizeOf(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

uint64_t TicksOf(const FILETIME& time) {
  return SizeOf(time.dwHighDateTime, time.dwLowDateTime);
}

// A name as the file system compares it: without regard to letter case.
std::wstring Folded(std::wstring name) {
  if (!name.empty()) ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

// Calls `visit(relative path, found data, twin)` for every entry below `source`, folders before
// what they hold; `twin` tells an entry whose name another entry of its folder has in another
// letter case (a case-sensitive folder holds both; the installation can hold one). A folder for
// which `visit` returns false is not walked. A folder that cannot be listed is visited with no
// found data. A stack rather than recursion keeps a deep tree off the call stack.
using Visit = std::function<bool(const std::wstring&, const WIN32_FIND_DATAW*, bool)>;
void Walk(const std::wstring& source, const Visit& visit) {
  const std::wstring root = Extended(source);
  std::vector<std::wstring> folders{L""};
  std::vector<WIN32_FIND_DATAW> entries;
  std::unordered_map<std::wstring, unsigned> names;
  while (!folders.empty()) {
    const std::wstring relative = std::move(folders.back());
    folders.pop_back();
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        ::FindFirstFileExW(Joined(Joined(root, relative), L"*").c_str(), FindExInfoBasic, &found,
                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
      visit(relative, nullptr, false);
      continue;
    }
    entries.clear();
    names.clear();
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      entries.push_back(found);
      ++names[Folded(name)];
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    for (const WIN32_FIND_DATAW& entry : entries) {
      const std::wstring path = Joined(relative, entry.cFileName);
      const bool twin = names[Folded(entry.cFileName)] > 1;
      if (visit(path, &entry, twin) && !twin && IsWalkedFolder(entry.dwFileAttributes)) {
        folders.push_back(path);
      }
    }
  }
}

// True when `text` and `other` are one name to the file system.
bool SameName(std::wstring_view text, std::wstring_view other) {
  return ::CompareStringOrdinal(text.data(), static_cast<int>(text.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// Whether `relative` is one of `ownFiles` (a last name ending in "*" stands for every name that
// begins so), or, with `below`, lies on the way to one.
bool IsOwnFile(const std::vector<std::wstring>& ownFiles, std::wstring_view relative,
               bool below = false) {
  for (std::wstring_view own : ownFiles) {
    if (below) {
      if (own.size() > relative.size() && own[relative.size()] == L'\\' &&
          SameName(own.substr(0, relative.size()), relative)) {
        return true;
      }
      continue;
    }
    if (!own.ends_with(L'*')) {
      if (SameName(own, relative)) return true;
      continue;
    }
    own.remove_suffix(1);
    if (relative.size() >= own.size() && SameName(relative.substr(0, own.size()), own) &&
        relative.find(L'\\', own.size()) == std::wstring_view::npos) {
      return true;
    }
  }
  return false;
}

// Why an entry of the backup is not copied at all, or empty.
std::wstring LeftOut(const std::vector<std::wstring>& ownFiles, const std::wstring& relative,
                     bool twin) {
  if (IsOwnFile(ownFiles, relative)) {
    return std::wstring(std::begin(kFileOfThisRestore), std::end(kFileOfThisRestore) - 1);
  }
  if (twin) return L"another entry of the backup has the same name in another letter case";
  return L"";
}

// The destination entry of the same path: its attributes, size and last-write time.
bool DestinationEntry(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

// FAT keeps last-write times in steps of 2 seconds, so a copy there may differ by that much.
constexpr uint64_t kTimeSlack = 2 * 10'000'000ULL;

// Why the destination entry does not hold what the copy should have put there; empty when it
// does.
std::wstring Mismatch(const WIN32_FIND_DATAW& source, const std::wstring& destinationPath) {
  WIN32_FILE_ATTRIBUTE_DATA copy{};
  if (!DestinationEntry(destinationPath, copy)) return L"it is not in the installation folder";
  const bool folderThere = (copy.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if ((source.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return folderThere ? L"" : L"a file stands where a folder goes";
  }
  if (folderThere) return L"a folder stands where a file goes";
  // A link's own size and time are not those of what the shell copied through it.
  if ((source.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return L"";
  if (SizeOf(copy.nFileSizeHigh, copy.nFileSizeLow) !=
      SizeOf(source.nFileSizeHigh, source.nFileSizeLow)) {
    return L"the installation's file has another size than the backup's";
  }
  const uint64_t from = TicksOf(source.ftLastWriteTime);
  const uint64_t to = TicksOf(copy.ftLastWriteTime);
  if ((from > to ? from - to : to - from) > kTimeSlack) {
    return L"the installation's file has another last-write time than the backup's";
  }
  return L"";
}

}  // namespace

namespace {

struct ShellOutcome {
  int result = 0;  // the first failure's code
  bool aborted = false;
};

// The shell's copy of the entries `from` (paths, each ended by a NUL) into the folder `to`. The
// list is ended by an empty entry: the string's own NUL plus the one added here. Wide paths name
// every folder exactly; a code page would turn some characters into others.
void ShellCopy(std::wstring from, std::wstring to, bool unattended, ShellOutcome& outcome) {
  from += L'\0';
  to += L'\0';
  SHFILEOPSTRUCTW shell{};
  shell.hwnd = nullptr;
  shell.wFunc = FO_COPY;
  shell.pFrom = from.c_str();
  shell.pTo = to.c_str();
  shell.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  // Unattended runs keep the shell's own windows away: no dialog may hold the run.
  if (unattended) shell.fFlags |= FOF_SILENT | FOF_NOERRORUI;
  const int result = ::SHFileOperationW(&shell);
  if (outcome.result == 0) outcome.result = result;
  outcome.aborted = outcome.aborted || shell.fAnyOperationsAborted != FALSE;
}

// Copies what the folder `relative` of `source` holds into the same folder of `destination`,
// leaving out the entries at `leftOut` (paths below both, see IsOwnFile). The shell cannot leave
// out single entries of a folder it copies: the folders on the way to one are made here, and their
// other entries handed to the shell by name.
void CopyLeavingOut(const std::wstring& source, const std::wstring& destination,
                    const std::wstring& relative, const std::vector<std::wstring>& leftOut,
                    bool unattended, ShellOutcome& outcome) {
  std::wstring from;
  Walk(Joined(source, relative),
       [&](const std::wstring& name, const WIN32_FIND_DATAW* found, bool) {
         if (found == nullptr) return false;  // the check afterwards names it
         const std::wstring entry = Joined(relative, name);
         if (IsOwnFile(leftOut, entry)) return false;
         if (IsWalkedFolder(found->dwFileAttributes) && IsOwnFile(leftOut, entry, /*below=*/true)) {
           const std::wstring made = Extended(Joined(destination, entry));
           ::CreateDirectoryW(made.c_str(), nullptr);  // one already there is filled as it is
           ::SetFileAttributesW(made.c_str(), found->dwFileAttributes &
                                                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
           CopyLeavingOut(source, destination, entry, leftOut, unattended, outcome);
         } else {
           from += Joined(source, entry);
           from += L'\0';
         }
         return false;  // one level: the folders on the way are walked by the call above
       });
  if (!from.empty()) ShellCopy(std::move(from), Joined(destination, relative), unattended, outcome);
}

}  // namespace

FolderCopy ShellCopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                   const std::vector<std::wstring>& ownFiles, bool unattended) {
  // What the copy leaves out: the restore's own files, and the entries of a case-sensitive
  // backup folder that would land on one name. Without any, the wildcard makes the shell copy
  // what the folder holds in one call.
  std::vector<std::wstring> leftOut = ownFiles;
  Walk(source, [&](const std::wstring& relative, const WIN32_FIND_DATAW* found, bool twin) {
    if (twin) leftOut.push_back(relative);
    return found != nullptr && !IsOwnFile(ownFiles, relative);
  });
  ShellOutcome shell;
  if (leftOut.empty()) {
    ShellCopy(source + (source.empty() || source.back() != L'\\' ? L"\\*" : L"*") + L'\0',
              destination, unattended, shell);
  } else {
    CopyLeavingOut(source, destination, L"", leftOut, unattended, shell);
  }

  FolderCopy copy;
  const std::wstring target = Extended(destination);
  Walk(source, [&](const std::wstring& relative, const WIN32_FIND_DATAW* found, bool twin) {
    const std::wstring named = Joined(source, relative);
    if (found == nullptr) {
      NoteNotCopied(copy, named, L"the backup folder cannot be read");
      return false;
    }
    std::wstring reason = LeftOut(ownFiles, relative, twin);
    if (reason.empty()) reason = Mismatch(*found, Joined(target, relative));
    if (reason.empty()) return true;
    NoteNotCopied(copy, named, std::move(reason));
    return false;  // what a missing or misplaced folder holds is not there either
  });
  if (copy.notCopiedCount == 0 && (shell.result != 0 || shell.aborted)) {
    NoteNotCopied(copy, source,
                  shell.aborted
                      ? std::wstring(L"the copy was cancelled")
                      : L"the shell's copy failed with code " + std::to_wstring(shell.result));
  }
  copy.outcome = copy.notCopiedCount == 0 ? CopyOutcome::kComplete : CopyOutcome::kIncomplete;
  return copy;
}

CopyPlan PlanShellFolderCopy(const std::wstring& source, const std::wstring& destination,
                             const std::vector<std::wstring>& ownFiles) {
  // The shell's copy cannot list what it would do, so the plan walks the source itself, the way
  // the copy meets it: every entry, hidden and system ones included. An entry that is a reparse
  // point (a link or junction) is copied as the link it is, so it counts as a file and its
  // target is not walked.
  CopyPlan plan;
  const std::wstring target = Extended(destination);
  Walk(source, [&](const std::wstring& relative, const WIN32_FIND_DATAW* found, bool twin) {
    // A folder that cannot be listed is left out of the count, as the copy would leave it out.
    if (found == nullptr) return false;
    if (std::wstring reason = LeftOut(ownFiles, relative, twin); !reason.empty()) {
      NoteNotCopied(plan, Joined(source, relative), std::move(reason));
      return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA there{};
    const bool present = DestinationEntry(Joined(target, relative), there);
    const bool folderThere = present && (there.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // What the copy's own check will name, named now: the dry run tells the copy is incomplete.
    if (IsWalkedFolder(found->dwFileAttributes)) {
      if (!present || folderThere) return true;
      NoteNotCopied(plan, Joined(source, relative), L"a file stands where a folder goes");
      return false;
    }
    if (folderThere) {
      NoteNotCopied(plan, Joined(source, relative), L"a folder stands where a file goes");
      return false;
    }
    ++plan.files;
    plan.bytes += SizeOf(found->nFileSizeHigh, found->nFileSizeLow);
    if (present) ++plan.replacing;
    return false;
  });
  return plan;
}

}  // namespace qelrestore::windows
