#include "host/windows/windows_folder_copy.h"

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/windows/windows_api.h"
#include "host/windows/windows_text.h"
#include "host/windows/windows_walk.h"

namespace qelrestore::windows {

namespace {

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
