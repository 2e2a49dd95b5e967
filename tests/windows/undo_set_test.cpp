// The undo set on Windows: what the shell's copy replaced comes back with its content, attributes,
// times and access list; what it added goes; a file changed since is named and nothing is done.
#include <string>

#include "host/windows/windows_api.h"
#include "host/windows/windows_text.h"
#include "host/windows/windows_undo_set.h"
#include "host/windows/windows_walk.h"
#include "tests/windows/windows_toolkit.h"

namespace qelrestore::test {
namespace {

using UndoSetTest = WindowsHostTest;

void Write(const std::wstring& path, const std::string& text) {
  windows::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.valid()) << "cannot write the test's file";
  DWORD wrote = 0;
  ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
}

// What an undo must give back of an entry: attributes, last-write and creation times, security
// (which wine derives from the Unix mode, so that there the last holds with the attributes).
std::wstring Described(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return L"missing";
  std::wstring security;
  windows::ReadSecurity(path, security);
  return std::to_wstring(data.dwFileAttributes & windows::kComparedAttributes) + L" " +
         std::to_wstring(windows::TicksOf(data.ftLastWriteTime)) + L" " +
         std::to_wstring(windows::TicksOf(data.ftCreationTime)) + L" " + security;
}

// A tree made here: the installation has a.txt (read-only, hidden, an access list of its own, old
// times) and sub\b.txt; the backup has both anew and new\c.txt.
class UndoTree : public UndoSetTest {
 protected:
  void SetUp() override {
    UndoSetTest::SetUp();
    const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
    root = files + L"\\undo-" + std::wstring(test.begin(), test.end());
    app = root + L"\\app";
    set = root + L"\\set";
    for (const std::wstring folder :
         {L"", L"\\app", L"\\app\\sub", L"\\backup", L"\\backup\\sub", L"\\backup\\new"}) {
      ::CreateDirectoryW((root + folder).c_str(), nullptr);
    }
    Write(app + L"\\a.txt", "old a");
    Write(app + L"\\sub\\b.txt", "old b");
    Write(root + L"\\backup\\a.txt", "new a");
    Write(root + L"\\backup\\sub\\b.txt", "new b");
    Write(root + L"\\backup\\new\\c.txt", "new c");
    {
      windows::UniqueFileHandle file(::CreateFileW((app + L"\\a.txt").c_str(),
                                                   FILE_WRITE_ATTRIBUTES | WRITE_DAC, 0, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));
      const FILETIME old{0x12345678, 0x01C00000};
      ::SetFileTime(file.get(), &old, &old, &old);
      windows::WriteSecurity(file.get(), L"D:P(A;;FA;;;SY)(A;;FR;;;WD)");
    }
    ::SetFileAttributesW((app + L"\\a.txt").c_str(),
                         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  }

  // Keeps what the restore's copy replaces, copies, and notes what it left.
  void Restore() {
    host.StartUndoSet(set);
    const KeptForUndo kept = host.KeepReplaced(set, root + L"\\backup", app, {});
    EXPECT_EQ(kept.files, 2u);
    EXPECT_EQ(kept.added, 2u);  // new and new\c.txt
    EXPECT_EQ(kept.notKeptCount, 0u);
    ASSERT_EQ(host.CopyFolderContents(root + L"\\backup", app, {}).outcome, CopyOutcome::kComplete);
    host.NoteLeft(set, app);
  }

  std::wstring root, app, set;
};

TEST_F(UndoTree, AnUndoGivesBackContentAttributesTimesAndAccessAndRemovesWhatTheCopyAdded) {
  const std::wstring before = Described(app + L"\\a.txt");
  Restore();
  ASSERT_EQ(Content(host, app + L"\\a.txt"), "new a");

  const UndoCheck check = host.CheckUndo(set, app);
  EXPECT_TRUE(check.covered);
  EXPECT_EQ(check.changedCount, 0u);
  const UndoneFolder undone = host.PutBackKept(set, app);
  EXPECT_EQ(undone.outcome, CopyOutcome::kComplete) << undone.notPutBackCount;
  EXPECT_EQ(undone.files, 2u);
  EXPECT_EQ(undone.removed, 2u);
  EXPECT_EQ(Content(host, app + L"\\a.txt"), "old a");
  EXPECT_EQ(Content(host, app + L"\\sub\\b.txt"), "old b");
  EXPECT_EQ(Described(app + L"\\a.txt"), before);
  EXPECT_FALSE(host.FolderExists(app + L"\\new"));
  host.DropUndoSet(set);
  EXPECT_FALSE(host.FolderExists(set));
}

TEST_F(UndoTree, AFileChangedSinceTheRestoreIsNamedAndTheUndoChangesNothing) {
  Restore();
  Write(app + L"\\sub\\b.txt", "edited since");
  const UndoCheck check = host.CheckUndo(set, app);
  EXPECT_EQ(check.changedCount, 1u);
  ASSERT_EQ(check.changed.size(), 1u);
  EXPECT_EQ(check.changed[0], app + L"\\sub\\b.txt");
}

}  // namespace
}  // namespace qelrestore::test
