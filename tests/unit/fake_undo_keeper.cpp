#include "tests/unit/fake_undo_keeper.h"

namespace qelrestore::test {

void FakeUndoKeeper::StartUndoSet(const std::wstring& set) {
  counter_.EnterOrThrow("StartUndoSet", set);
  sets[set].clear();
}

KeptForUndo FakeUndoKeeper::KeepReplaced(const std::wstring& set, const std::wstring& source,
                                         const std::wstring& installation,
                                         const std::vector<std::wstring>& /*ownFiles*/) {
  counter_.EnterOrThrow("KeepReplaced", installation);
  Kept& kept = sets.at(set)[installation];
  const std::wstring from = WithoutTrailingBackslashes(source) + L"\\";
  const std::wstring to = WithoutTrailingBackslashes(installation) + L"\\";
  KeptForUndo result;
  for (const auto& [path, bytes] : files_.files) {
    if (path.rfind(from, 0) != 0) continue;
    const std::wstring target = to + path.substr(from.size());
    const std::optional<std::string> old = Now(target);
    kept.before.emplace(target, old);
    if (old) {
      ++result.files;
      result.bytes += old->size();
    } else {
      ++result.added;
    }
  }
  return result;
}

void FakeUndoKeeper::NoteLeft(const std::wstring& set, const std::wstring& installation) {
  counter_.EnterOrThrow("NoteLeft", installation);
  Kept& kept = sets.at(set).at(installation);
  kept.left.emplace();
  for (const auto& [path, before] : kept.before) (*kept.left)[path] = Now(path);
}

UndoCheck FakeUndoKeeper::CheckUndo(const std::wstring& set, const std::wstring& installation) {
  counter_.EnterOrThrow("CheckUndo", installation);
  UndoCheck check;
  const Kept* kept = Find(set, installation);
  if (kept == nullptr) return check;
  check.covered = true;
  for (const auto& [path, before] : kept->before) {
    if (kept->left && kept->left->at(path) != Now(path)) {
      NoteNamed(check.changed, check.changedCount, path);
    }
    if (before) {
      ++check.files;
      check.bytes += before->size();
    } else {
      ++check.added;
    }
  }
  return check;
}

UndoneFolder FakeUndoKeeper::PutBackKept(const std::wstring& set,
                                         const std::wstring& installation) {
  counter_.EnterOrThrow("PutBackKept", installation);
  UndoneFolder undone;
  undone.outcome = CopyOutcome::kComplete;
  for (const auto& [path, before] : sets.at(set).at(installation).before) {
    if (before) {
      files_.files[path] = *before;
      ++undone.files;
    } else if (files_.files.erase(path) > 0) {
      ++undone.removed;
    }
  }
  return undone;
}

void FakeUndoKeeper::DropUndoSet(const std::wstring& set) {
  counter_.EnterOrThrow("DropUndoSet", set);
  sets.erase(set);
}

std::optional<std::string> FakeUndoKeeper::Now(const std::wstring& path) const {
  const auto found = files_.files.find(path);
  if (found == files_.files.end()) return std::nullopt;
  return found->second;
}

FakeUndoKeeper::Kept* FakeUndoKeeper::Find(const std::wstring& set,
                                           const std::wstring& installation) {
  const auto found = sets.find(set);
  if (found == sets.end()) return nullptr;
  const auto folder = found->second.find(installation);
  return folder == found->second.end() ? nullptr : &folder->second;
}

}  // namespace qelrestore::test
