#include "tests/unit/fake_host.h"

namespace qelrestore::test {
namespace {

// The host as its call counter alone: handed the host itself, a role built on the counter only
// could as well be copied from the role the host is.
FakeCalls& CounterOf(FakeHost& host) {
  return host;
}

}  // namespace

FakeHost::FakeHost()
    : FakeClock(CounterOf(*this)),
      FakeFiles(CounterOf(*this)),
      FakeEnvironment(CounterOf(*this)),
      FakeConsole(*this, *this, *this),
      FakeFolderCopier(*this, *this),
      FakeRegistry(CounterOf(*this)),
      FakeProcesses(*this, *this, *this),
      FakeUndoKeeper(*this, *this) {
  // The drive, the program folder and the user's profile are there.
  folders = {L"C:", programFolder, *profile};
}

}  // namespace qelrestore::test
