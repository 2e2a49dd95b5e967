// Folder copies on Windows and their plan: what the shell's copy leaves out without saying so is
// named, and the plan counts only what the copy can copy.
#include <algorithm>
#include <string>
#include <vector>

#include "host/windows/windows_text.h"
#include "tests/windows/windows_toolkit.h"

namespace qelrestore::test {
namespace {

using FolderCopyTest = WindowsHostTest;

// plan\source: a.txt (3 bytes), .hidden (7, hidden under wine), sub\b.txt (5), an empty folder;
// plan\destination already has sub\b.txt.
TEST_F(FolderCopyTest, ThePlanCountsHiddenAndNestedFilesAndTheOneItWouldReplace) {
  const CopyPlan plan =
      host.PlanFolderCopy(files + L"\\plan\\source", files + L"\\plan\\destination", {});
  EXPECT_EQ(plan.files, 3u);
  EXPECT_EQ(plan.bytes, 15u);
  EXPECT_EQ(plan.replacing, 1u);
}

// wide\<name>\a.txt for each name, and wide\backup\a.txt: a fullwidth b makes "backup" in a code
// page, another folder.
TEST_F(FolderCopyTest, AFolderNamedOutsideTheCodePageIsCopiedNotAnotherOne) {
  const std::wstring wide = files + L"\\wide\\";
  for (const std::wstring name : {L"\uFF42ackup", L"\u0414\u043E\u043C\U0001F4C1"}) {
    const FolderCopy copy = host.CopyFolderContents(wide + name, wide + L"to-" + name, {});
    EXPECT_EQ(copy.outcome, CopyOutcome::kComplete)
        << "not copied: " << windows::ToUtf8(NotCopiedText(copy));
    EXPECT_EQ(Content(host, wide + L"to-" + name + L"\\a.txt"), "wide");
  }
}

// audit\source (a.txt, sub\b.txt) onto audit\destination, where a file stands as sub.
TEST_F(FolderCopyTest, AFolderWhereAFileStandsIsLeftOutOfThePlanAndNamedByTheCopy) {
  const std::wstring audit = files + L"\\audit\\";
  const CopyPlan plan = host.PlanFolderCopy(audit + L"source", audit + L"destination", {});
  EXPECT_EQ(plan.files, 1u);
  EXPECT_EQ(plan.bytes, 6u);
  EXPECT_EQ(plan.replacing, 0u);
  const FolderCopy copy = host.CopyFolderContents(audit + L"source", audit + L"destination", {});
  EXPECT_EQ(copy.outcome, CopyOutcome::kIncomplete);
  EXPECT_EQ(copy.notCopiedCount, 1u);
  EXPECT_EQ(NotCopiedText(copy), audit + L"source\\sub: a file stands where a folder goes|");
  EXPECT_EQ(Content(host, audit + L"destination\\a.txt"), "copied") << "the rest is copied";
}

// own\source: run.log, Data.txt, data.txt, prog\curdb.properties.bak and prog\app.txt; the
// destination has run.log and prog\curdb.properties.bak. The restore's own files keep what they
// hold, and neither case twin lands; the plan names what the copy names.
TEST_F(FolderCopyTest, OwnFilesAndCaseTwinsAreNamedAndNotCopied) {
  const std::wstring own = files + L"\\own\\";
  const std::vector<std::wstring> ownFiles{L"run.log", L"prog\\curdb.properties.bak*"};
  const std::wstring twin =
      L": another entry of the backup has the same name in another letter case|";
  const std::wstring expected = own + L"source\\Data.txt" + twin + own + L"source\\data.txt" +
                                twin + own +
                                L"source\\prog\\curdb.properties.bak: a file of this restore|" +
                                own + L"source\\run.log: a file of this restore|";
  CopyPlan plan = host.PlanFolderCopy(own + L"source", own + L"destination", ownFiles);
  EXPECT_EQ(plan.files, 1u);
  FolderCopy copy = host.CopyFolderContents(own + L"source", own + L"destination", ownFiles);
  EXPECT_EQ(copy.outcome, CopyOutcome::kIncomplete);
  for (std::vector<NotCopied>* named : {&plan.notCopied, &copy.notCopied}) {
    std::sort(named->begin(), named->end(),
              [](const NotCopied& a, const NotCopied& b) { return a.path < b.path; });
  }
  EXPECT_EQ(NotCopiedText(plan), expected);
  EXPECT_EQ(NotCopiedText(copy), expected);
  EXPECT_EQ(Content(host, own + L"destination\\run.log"), "run");
  EXPECT_EQ(Content(host, own + L"destination\\prog\\curdb.properties.bak"), "machine");
  EXPECT_EQ(Content(host, own + L"destination\\prog\\app.txt"), "backup");
  EXPECT_EQ(Content(host, own + L"destination\\data.txt"), "");
}

// long\source\d...\e...\f.txt is past 260 characters: wine's shell leaves it out unsaid.
TEST_F(FolderCopyTest, APathPast260CharactersIsCopiedOrNamedAsNotCopied) {
  const std::wstring longer = files + L"\\long\\";
  const FolderCopy copy = host.CopyFolderContents(longer + L"source", longer + L"destination", {});
  const std::wstring deep = std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e');
  if (Content(host, L"\\\\?\\" + longer + L"destination\\" + deep + L"\\f.txt") == "long") {
    EXPECT_EQ(copy.outcome, CopyOutcome::kComplete);
  } else {
    EXPECT_EQ(copy.notCopiedCount, 1u);
    EXPECT_EQ(NotCopiedText(copy),
              longer + L"source\\" + deep + L": it is not in the installation folder|");
  }
}

}  // namespace
}  // namespace qelrestore::test
