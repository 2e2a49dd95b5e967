#include "restore/undo_restore.h"

#include <algorithm>
#include <utility>

namespace qelrestore {

bool UndoRestore::Checked(const std::vector<std::wstring>& installations,
                          std::vector<std::pair<std::wstring, UndoCheck>>& covered) {
  uint64_t changed = 0;
  size_t named = 0;
  for (const std::wstring& installation : installations) {
    UndoCheck check = keeper_.CheckUndo(set_, installation);
    if (!check.covered) {
      log_.WriteLogLine(L"Not in the undo set: " + installation);
      continue;
    }
    changed += check.changedCount;
    for (const std::wstring& path : check.changed) {
      if (named++ < kNotCopiedNamed) log_.WriteLogLine(L"Changed since the restore: " + path);
    }
    covered.emplace_back(installation, std::move(check));
  }
  if (covered.empty()) {
    log_.LogMessage(L"Nothing to undo: the undo set " + set_ +
                    L" holds none of the installation folders; nothing was changed");
    return false;
  }
  if (changed > 0) {
    if (changed > named) {
      log_.WriteLogLine(L"Changed since the restore: " + std::to_wstring(changed - named) +
                        L" more");
    }
    // Put back over them, the changes made since would be lost without a trace.
    log_.LogMessage(L"Undo refused: " + std::to_wstring(changed) +
                    L" entries of the installation no longer match what the restore left; "
                    L"nothing was changed");
    return false;
  }
  return true;
}

UndoEnd UndoRestore::Run(const std::vector<std::wstring>& installations, bool dryRun) {
  std::vector<std::pair<std::wstring, UndoCheck>> covered;
  if (!Checked(installations, covered)) return UndoEnd::kRefused;
  bool complete = true;
  for (const auto& [installation, check] : covered) {
    if (dryRun) {
      log_.LogMessage(L"Would put back " + std::to_wstring(check.files) + L" files (" +
                      std::to_wstring(check.bytes) + L" bytes) in " + installation +
                      L" and remove " + std::to_wstring(check.added) +
                      L" entries the restore added");
      continue;
    }
    const UndoneFolder undone = keeper_.PutBackKept(set_, installation);
    log_.LogMessage(L"Put back " + std::to_wstring(undone.files) + L" files in " + installation +
                    L" and removed " + std::to_wstring(undone.removed) +
                    L" entries the restore added");
    for (const NotCopied& entry : undone.notPutBack) {
      log_.WriteLogLine(L"Not put back: " + entry.path + L": " + entry.reason);
    }
    if (undone.notPutBackCount > undone.notPutBack.size()) {
      log_.WriteLogLine(L"Not put back: " +
                        std::to_wstring(undone.notPutBackCount - undone.notPutBack.size()) +
                        L" more");
    }
    complete = complete && undone.outcome == CopyOutcome::kComplete;
  }
  log_.WriteLogLine(L"The database is not taken back: it stays as the restore left it");
  if (dryRun) return UndoEnd::kCompleted;
  if (!complete) {
    log_.LogMessage(L"Undo NOT complete");
    return UndoEnd::kNotComplete;
  }
  // Only a whole undo lets the set go: a stopped one is run again from it.
  keeper_.DropUndoSet(set_);
  log_.LogMessage(L"Undo completed");
  return UndoEnd::kCompleted;
}

}  // namespace qelrestore
