// The undo of the last keeping restore: what its undo set holds of the installation folders of
// path.conf goes back as it was, and what that restore added goes. The database is not taken back.
#pragma once

#include <string>
#include <vector>

#include "host/undo_set.h"
#include "log/run_log.h"

namespace qelrestore {

// How an undo ended.
enum class UndoEnd {
  kRefused,      // nothing to undo, or the installation changed since: nothing was changed
  kCompleted,    // "Undo completed" (or a dry run's plan): the set is gone
  kNotComplete,  // "Undo NOT complete": the set stays, so that the undo can be run again
};

class UndoRestore {
 public:
  UndoRestore(UndoKeeper& keeper, RunLog& log, std::wstring set)
      : keeper_(keeper), log_(log), set_(std::move(set)) {}

  // Checks every folder of `installations` (full paths, in path.conf's order) the set covers
  // before any is changed, then puts each back; in a dry run says what it would do instead.
  UndoEnd Run(const std::vector<std::wstring>& installations, bool dryRun);

 private:
  // False, after its message, when the set covers none of them or one changed since.
  bool Checked(const std::vector<std::wstring>& installations,
               std::vector<std::pair<std::wstring, UndoCheck>>& covered);

  UndoKeeper& keeper_;
  RunLog& log_;
  std::wstring set_;
};

}  // namespace qelrestore
