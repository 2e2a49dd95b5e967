// The copy of a backup folder's whole content over an installation folder, and its dry-run count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qelrestore {

// How a folder copy ended: complete, or with entries that were not copied.
enum class CopyOutcome { kComplete, kIncomplete };

// One entry a folder copy could not copy, and why.
struct NotCopied {
  std::wstring path;
  std::wstring reason;
};

// A folder copy names at most this many entries it could not copy; it counts the rest.
inline constexpr size_t kNotCopiedNamed = 100;

struct FolderCopy {
  CopyOutcome outcome = CopyOutcome::kIncomplete;
  std::vector<NotCopied>
      notCopied;                  // the first kNotCopiedNamed entries, where the host can name them
  uint64_t notCopiedCount = 0;    // every entry not copied that the host could count
  uint64_t leftoversRemoved = 0;  // temporary files a killed copy had left, removed
};

// What a folder copy would do, counted without copying.
struct CopyPlan {
  uint64_t files = 0;      // files (and links) it would copy
  uint64_t bytes = 0;      // their bytes
  uint64_t replacing = 0;  // of them, those that would replace an existing destination entry
  // The entries it cannot copy, known before it begins (a folder where a file goes, a file where
  // a folder goes): the first kNotCopiedNamed, and the count of all.
  std::vector<NotCopied> notCopied;
  uint64_t notCopiedCount = 0;
  uint64_t leftovers = 0;  // temporary files a killed copy left, which the copy would remove
};

// How many workers a host's copy may be given at most (QELRESTORE_COPY_THREADS).
inline constexpr unsigned kMaxCopyWorkers = 64;

// Why an entry of the backup that would land on one of the restore's own files (its log, its
// lock, the settings it keeps, the client's output) is not copied.
inline constexpr char kFileOfThisRestore[] = "a file of this restore";

// The folder, in the kept settings' folder, where a host keeps the records of what its copies made
// (on POSIX; the Windows shell's copy keeps none).
inline constexpr wchar_t kCopyRecordsName[] = L"qelrestore.records";

// Names an entry not copied: one of the first kNotCopiedNamed, and counted.
template <typename Outcome>
void NoteNotCopied(Outcome& outcome, std::wstring path, std::wstring reason) {
  if (outcome.notCopied.size() < kNotCopiedNamed) {
    outcome.notCopied.push_back({std::move(path), std::move(reason)});
  }
  ++outcome.notCopiedCount;
}

class FolderCopier {
 public:
  virtual ~FolderCopier() = default;
  // Copies every entry of the folder `source` (hidden ones too, recursively) into the folder
  // `destination`, replacing files of the same name and keeping entries only the destination has.
  // `ownFiles` are the restore's own files below `destination`, as paths relative to it with "\"
  // between names (a last name ending in "*" stands for every name that begins so): an entry of
  // the backup that would land on one is not copied (kFileOfThisRestore). No window of the copy
  // waits for anybody in a run nobody attends. Failures of single entries make the outcome
  // incomplete; nothing is thrown for them.
  virtual FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                        const std::vector<std::wstring>& ownFiles) = 0;
  // What CopyFolderContents would copy, counted by a walk of `source` that changes nothing.
  // Entries it cannot read are left out of the count.
  virtual CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                                  const std::vector<std::wstring>& ownFiles) = 0;
};

}  // namespace qelrestore
