// The scripted host's undo set, over the files' maps: it keeps what a copy would write over, and
// puts it back, as a host does; every call can fail through the fault counter.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/undo_set.h"
#include "tests/unit/fake_calls.h"
#include "tests/unit/fake_files.h"

namespace qelrestore::test {

class FakeUndoKeeper {
 public:
  FakeUndoKeeper(FakeCalls& counter, FakeFiles& files) : counter_(counter), files_(files) {}

  // What one installation folder's set holds: each path the copy writes, as it was (nothing:
  // the copy adds it), and as the run left it, once noted.
  struct Kept {
    std::map<std::wstring, std::optional<std::string>> before;
    std::optional<std::map<std::wstring, std::optional<std::string>>> left;
  };
  // --- Observation (and script): set -> installation folder -> what is kept ---
  std::map<std::wstring, std::map<std::wstring, Kept>> sets;

  void StartUndoSet(const std::wstring& set);
  KeptForUndo KeepReplaced(const std::wstring& set, const std::wstring& source,
                           const std::wstring& installation,
                           const std::vector<std::wstring>& ownFiles);
  void NoteLeft(const std::wstring& set, const std::wstring& installation);
  UndoCheck CheckUndo(const std::wstring& set, const std::wstring& installation);
  UndoneFolder PutBackKept(const std::wstring& set, const std::wstring& installation);
  void DropUndoSet(const std::wstring& set);

 private:
  std::optional<std::string> Now(const std::wstring& path) const;
  Kept* Find(const std::wstring& set, const std::wstring& installation);

  FakeCalls& counter_;
  FakeFiles& files_;
};

}  // namespace qelrestore::test
